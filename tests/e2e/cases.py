"""What the suites share: the programs' fixed texts, written out by hand, and the test on a clean machine
(E2ECase, with SetupCase and InstallCase) with the checks of one run."""

import re

import pytest

import harness

# --- fixed texts of the programs --------------------------------------------

OWN_VERSION = "1.8-002"
INSTALL_USAGE = (
    "Usage:\n\n"
    "   -help\t\tdisplays the usage information.\n\n"
    "   -nojw\t\topens a command window (useful for getting output from exceptions).\n\n"
    "   -nosplash\t\tsuppresses splash screen at startup.\n\n"
    "   -batch <file>\tperforms installation in batch mode.\n\n"
    "   -input <file>\tprefills installation input parameters.\n\n"
    "   -silent\t\tprevents output to the screen (use with -batch).\n\n"
    "   -version\t\tdisplays version information.\n\n")
_CLASSPATH = (" -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"
              ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data "
              "com.halvik.install.controlpanel.Install")
JAVA, JAVAW = "JRE\\bin\\java.exe" + _CLASSPATH, "JRE\\bin\\javaw.exe" + _CLASSPATH

# A folder name in three scripts and with a blank, as the programs see it (UTF-8 bytes).
ANY_LANGUAGE = harness.u8("Программы 安装")
# 200 Chinese letters, 600 bytes in UTF-8: far beyond 260 bytes, well within 260 characters. Four folders of 50, as a
# Linux file name holds at most 255 bytes.
LONG_CHINESE = "\\".join([harness.u8("安装程序" * 12 + "安装")] * 4)

PROBE_ANSWER = "0xFFFFFBAA"  # -1110 as a 32-bit exit status
CREATE_NO_WINDOW = 0x08000000
BOXES = harness.BOXES
REG_SZ = 1
STANDINS = ("_instkvi.com", "install.exe", "java.exe", "javaw.exe")  # the stand-ins that record their starts
ABSENT = "absent"  # expect(): a registry key that must not exist
EXPECTED = ("exit", "boxes", "recs", "starts", "main", "others", "record", "uninstall", "usual", "stdout")
# setup's probe and hand-off of the copy in {inst}, as setup names it ({exe}: quoted when it holds a blank)
PROBE, HANDOFF = "{exe} -verctrl", "{exe} -silentLaunch -register"


def default_flags(command):
    # setup's probe and hand-off of Install, a console program, get no console window (unless the hand-off's tail
    # holds -nojw); every other start no flags.
    if re.search(r'Install\.exe"? -(verctrl$|silentLaunch -register)', command) and "-nojw" not in command:
        return CREATE_NO_WINDOW
    return 0


class Refused:
    """An expected start that Windows refuses (no program there, a command line or path
    beyond its limits): no process, a failed CreateProcessA."""

    def __init__(self, start):
        self.start = start


def ascii_lower(s):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in s)


def quoted(path):
    return '"%s"' % path if " " in path else path


def fill(value, where):
    """value with each {name} of where put into its texts, also inside lists, tuples, dicts and Refused."""
    if isinstance(value, str):
        return value.format(**where) if "{" in value else value
    if isinstance(value, Refused):
        return Refused(fill(value.start, where))
    if isinstance(value, dict):
        return {k: fill(v, where) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(fill(v, where) for v in value)
    return value


def word(value):
    """The id of a row named by a text: in lower case, each run of other characters than 0-9 and a-z one "_",
    at most 24 characters."""
    return re.sub(r"[^0-9a-z]+", "_", value.lower()).strip("_")[:24] if isinstance(value, str) else None


# --- the test on a clean machine ----------------------------------------------

class E2ECase:
    """A test on a clean machine (conftest's machine fixture, self.m) in C:\\e2e\\<name>, with the checks of a run."""

    letter = "x"  # the first letter of the machine's folder name (conftest)
    cut = None    # a traced command line this long or longer may be shortened by Wine's trace

    @pytest.fixture(autouse=True)
    def clean_machine(self, machine):
        self.m, self.start, self.name = machine, machine.start, machine.win_root.rsplit("\\", 1)[1]
        self.at = dict(w=machine.w(), start=self.start, gone=machine.w("gone"), upper=machine.win_root.upper())

    def run_program(self, cmd, **kw):
        """Runs one command line on the machine; it must start, and end with all it started."""
        run = self.m.run(cmd, **kw)
        assert run.status.get("started") == "1", "the program did not start: %r" % run.status
        assert run.status.get("tree_done") == "1", \
            "processes still running after the run: %s" % run.status.get("tree_left")
        return run

    def row(self, cmd, **row):
        """Runs cmd with the row's run_program() arguments, checks it with its expect() ones ({names}: self.at)."""
        row = fill(row, self.at)
        expected = {k: row.pop(k) for k in EXPECTED if k in row}
        run = self.run_program(fill(cmd, self.at), **row)
        self.expect(run, **expected)
        return run

    def expect(self, run, exit="0x00000000", boxes=(), recs=None, starts=None, main=None, others=None,
               record=None, uninstall=None, usual=None, stdout=None):
        """A row's checks of one run: its exit status; the boxes shown (names of BOXES), no others;
        each stand-in's records (recs: {program: [command line, or {field: value}]}), none of one not
        named; the starts (of all, of the started program, of the others: assert_starts); REG_SZ values
        of the record and the uninstall entry ({name: text, (text, byte count) or None: no such value},
        or ABSENT: no such key); whether the usual location's two folders exist; the bytes printed."""
        self.assert_exit(run, exit)
        for program in STANDINS:
            want = [w if isinstance(w, dict) else {"cmdline": w} for w in (recs or {}).get(program, [])]
            got = self.m.records(program)
            assert len(got) == len(want), "%s started %d times: %r" % (program, len(got), got)
            for rec, fields in zip(got, want):
                assert {k: rec.get(k) for k in fields} == fields, program
        for by, expected in (("all", starts), ("main", main), ("others", others)):
            if expected is not None:
                self.assert_starts(run, expected, by)
        for key, values in (("record", record), ("uninstall", uninstall)):
            if values is ABSENT:
                assert getattr(run, key) is None, "the %s exists" % key
            for name, value in (values or {}).items() if values is not ABSENT else ():
                if value is None:
                    assert name not in getattr(run, key), "%s holds %s" % (key, name)
                else:
                    self.assert_reg_sz(getattr(run, key), name, *(value if isinstance(value, tuple) else (value,)))
        if usual is not None:
            assert self.m.usual_location_exists() == usual
        if stdout is not None:
            assert run.stdout == stdout
        self.assert_boxes(run, [BOXES[b] for b in boxes])

    def handed_off(self, run, folder, tail="", runtime=JAVAW, cwd=None, **more):
        """setup probed the copy in folder and handed off to it with tail; it started the runtime in cwd."""
        exe, launch = quoted(folder + "\\Install.exe"), runtime + "  -silentlaunch -register" + ascii_lower(tail)
        self.expect(run, main=[exe + " -verctrl", exe + " -silentLaunch -register" + tail], others=[launch],
                    recs={runtime[8:].split(" ")[0]: [dict(cmdline=launch, cwd=cwd or folder, start_dir=self.start)]},
                    **more)

    def launched(self, run, command, cwd=None, inherit=0, flags=0, start_dir=None, **more):
        """Install's only start was the runtime with command, in cwd (the kit), told where Install was
        started (more: other fields of its record); no box. Returns the runtime's record."""
        runtime, cwd = command.split(" ", 1)[0].rsplit("\\", 1)[1], cwd or self.kit
        self.expect(run, recs={runtime: [dict(cmdline=command, cwd=cwd, start_dir_set="1",
                                              start_dir=start_dir or self.start, **more)]},
                    starts=[(command, inherit, flags, cwd + "\\" + command.split(" ", 1)[0])])
        return self.m.records(runtime)[0]

    def registered(self, run, folder, **more):
        """Install registered folder: the record and the uninstall entry name it."""
        command = quoted(folder + "\\Install.exe") + " -remove"
        self.expect(run, record={"UninstCmd": (command, len(folder) + 21 + 2 * (" " in folder)),
                                 "InstPath": (folder, len(folder) + 1), "Version": (OWN_VERSION, 8)},
                    uninstall={"DisplayName": ("Halvik Torvanex Products", 25), "UninstallString": command}, **more)
        assert sorted(run.uninstall) == ["DisplayName", "UninstallString"]

    def assert_not_started(self, *programs):
        for program in programs:
            assert self.m.records(program) == [], program + " was started"

    def assert_boxes(self, run, expected):
        """expected: [(caption, text, style)], in order; no other box may have been shown. The boxes kvitest found on
        the screen and closed are the witness; under Wine the relay trace must agree, to the exact style."""
        for seen in (run.boxes,) if harness.ON_WINDOWS else (run.boxes, run.traced_boxes):
            assert len(seen) == len(expected), "boxes shown: %r" % seen
            for box, (caption, text, style) in zip(seen, expected):
                assert box.matches(caption, text, style), \
                    "box %r, expected caption %r, text %r, style 0x%X" % (box, caption, text, style)

    def assert_starts(self, run, expected, by="all"):
        """expected: command lines (with default_flags), or (command line, inherit flag, creation flags[,
        application name]), in order; Refused(...) around one Windows refuses. The witness on every host is
        kvitest's list of the run's processes (harness.Proc.matches); one that ended before kvitest could read
        it lost a race with kvitest, not with the program (harness.StartRace). Under Wine the relay trace is a
        second witness of what a process cannot show: the flags, the application name and command line as
        passed (Wine quotes an unquoted path with a blank before the process receives it), no environment or
        directory of its own, and the refused starts (harness.Start.matches)."""
        expected = [(e.start, True) if isinstance(e, Refused) else (e, False) for e in expected]
        expected = [(((e if isinstance(e, tuple) else (e, 0, default_flags(e))) + (None,))[:4], refused)
                    for e, refused in expected]
        made = [e for e, refused in expected if not refused]
        procs = run.starts(by)
        if any(p.state.startswith("unread (ended") for p in procs):
            raise harness.StartRace("a process ended before kvitest read it: %r" % procs)
        assert len(procs) == len(made), "processes started: %r" % procs
        for proc, (command, _, _, application) in zip(procs, made):
            assert proc.matches(command, application), "%r, expected %r, application %r" % (proc, command, application)
        if harness.ON_WINDOWS:
            return
        starts = run.traced_starts(by)
        for start in starts if self.cut else ():
            # Wine's trace cuts long strings, and leaves out its "..." mark when exactly one character is missing:
            # such a start need only begin the expected one (kvitest's list above holds it whole).
            start.command_cut |= start.command is not None and len(start.command) >= self.cut
            start.application_cut |= len(start.application_text or "") >= self.cut
        assert len(starts) == len(expected), "processes started (trace): %r" % starts
        for start, ((command, inherit, flags, application), refused) in zip(starts, expected):
            assert start.matches(command, inherit, flags, application) and start.succeeded is not refused, \
                "%r, expected %r, inherit %d, flags 0x%X, application %r%s" % (
                    start, command, inherit, flags, application, ", refused" if refused else "")

    def assert_exit(self, run, status):
        assert run.status.get("timeout") == "0", "the program did not end in time"
        assert run.status["exit"] == status

    def assert_reg_sz(self, values, name, text, nbytes=None):
        """A REG_SZ value holding text and its terminator (nbytes: an exact count to check too)."""
        assert values is not None, "the key holding %s does not exist" % name
        assert name in values, "value %s missing: %r" % (name, values)
        type_, data = values[name]
        assert type_ == REG_SZ, name + " is not REG_SZ"
        assert data == text.encode("latin-1") + b"\0", name
        assert nbytes is None or len(data) == nbytes, name + " byte count"

    def check_link(self, folder, workdir=None):
        v = self.m.link()
        assert v.get("loaded") == "1", "no shortcut at " + self.m.link_path()
        assert ascii_lower(v["target"]) == ascii_lower(folder + "\\Install.exe")
        assert (v["description"], v["workdir"], v["icon"], v["icon_index"], v["arguments"]) == \
            ("Halvik Torvanex Install", workdir or folder, folder + "\\Install.exe", "0", "")

    def plant_record(self, version, inst_path, version_type="sz", terminated=True):
        """kvitest commands that write an installation record as a registered copy would."""
        v = version.encode("latin-1") + (b"\0" if terminated else b"")
        return [["regset", "record", "Version", version_type, v.hex()],
                ["regset", "record", "InstPath", "sz", (inst_path.encode("latin-1") + b"\0").hex()]]


class SetupCase(E2ECase):
    """setup.exe on a medium, the stand-in bootstrap installer recording only."""

    @pytest.fixture(autouse=True)
    def setup_medium(self, clean_machine):
        self.medium = self.m.lay_medium()
        self.setup = self.medium + "\\setup.exe"
        self.at.update(medium=self.medium, setup=self.setup)

    def run_setup(self, args="", env=None, setup=None, **kw):
        env = dict({"KVI_BOOTSTRAP_RECORD_ONLY": "1"}, **(env or {}))
        return self.run_program((setup or self.setup) + args, env=env, **kw)

    def over(self, args="", inst="inst", plant=None, boot=None, install=(), probe_exit=PROBE_ANSWER, cwd="{medium}",
             start_dir="{start}", setup=None, run=None, **expected):
        """setup with args over the installation record plant ((Version, InstPath[, type, terminated])
        or kvitest commands), a stand-in Install.exe in inst ({inst}; {exe}: its Install.exe as setup
        names it). It ran the bootstrap installer with boot (None: not run; Refused), the stand-in with
        install (its probe, then its hand-off), both in cwd told start_dir, and recorded cwd as
        OriginalSource. run: more for run_setup(); expected: more for expect(); texts with {names} of self.at."""
        if inst:
            self.at["inst"] = self.m.lay_kit(inst, install="standin", jre=False)
            self.at["exe"] = quoted(self.at["inst"] + "\\Install.exe")
        args, plant, boot, install, cwd, start_dir, setup, run, expected = fill(
            (args, plant, boot, install, cwd, start_dir, setup, run or {}, expected), self.at)
        result = self.run_setup(args, setup=setup, before=self.plant_record(*plant) if isinstance(plant, tuple)
                                else plant or (), **run)
        ran = dict(cwd=cwd, start_dir_set="1", start_dir=start_dir)
        installs = [dict(ran, cmdline=c, mode="probe" if n == 0 else "other") for n, c in enumerate(install)]
        for probe in installs[:1]:
            probe["exit"] = probe_exit
        expected.setdefault("record", {"OriginalSource": (cwd, len(cwd) + 1)})
        expected.setdefault("starts", [c["cmdline"] for c in installs] + ([boot] if boot else []))
        recs = {"install.exe": installs, "_instkvi.com": [dict(ran, cmdline=boot)] if isinstance(boot, str) else []}
        self.expect(result, recs=recs, **expected)
        return result


class InstallCase(E2ECase):
    """The real Install.exe in a kit folder with the stand-in runtime."""

    @pytest.fixture(autouse=True)
    def install_kit(self, clean_machine):
        self.kit = self.m.lay_kit("kit")
        self.install = self.kit + "\\Install.exe"
        self.at.update(kit=self.kit, install=self.install)
