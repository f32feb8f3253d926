"""Hostile inputs end to end: the real setup.exe and Install.exe under Wine.

What a script or a careless user may hand the two programs: command lines up
to the Windows limit, paths at the 260-character limit, bytes above 127,
folders with blanks, a Version value that is not text or is huge, and a file
where the usual location should be (tabs and quotes that only the parsing
decides are rows of the unit tables). Each
case checks that the program neither crashes (an NTSTATUS such as 0xC0000005
would be its exit status) nor hangs (the runner's time-out), and that it ends
as documented: the exact command lines it started, its full exit status, the
registry it wrote and the message boxes it showed.

The folders, stand-ins and helpers are those of run_e2e.py. Every expected
text is written out from the documented behaviour of the programs; long ones
are put together from their documented pieces (the bootstrap command is
"_instkvi.com -s", " -a " and the options in normalised form, and so on).

What Wine itself cannot do is not tried here: it starts no program whose path
is longer than 259 characters, runs no program in a current directory longer
than 258 characters, and its runner, kvitest.exe, takes a command line as hex
on its own command line, so the longest command line it can start directly is
about 16,000 characters. Longer command lines are reached through the
programs themselves: setup's options grow on their way to the bootstrap
installer ("-f" becomes "-force"), and the stand-in bootstrap installer hands
them on to Install.

Run by run_e2e.py --group hostile (tests/e2e/README.md).
"""

import os
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import run_e2e  # noqa: E402
from harness import u8  # noqa: E402
from run_e2e import JAVAW, OWN_VERSION, PROBE_ANSWER, REG_SZ, ascii_lower, rows  # noqa: E402

# The longest command line Windows starts: 32,767 characters with the terminator.
LONGEST_COMMAND = 32766
# What kvitest.exe can start directly (its command arrives hex-encoded on a command line of its own).
LONGEST_DIRECT = 16000

SETUP_LAUNCH_ERROR, INSTALL_LAUNCH_ERROR = harness.BOXES["setup-launch-error"], harness.BOXES["install-launch-error"]
SHORTCUT_ERROR, USAGE = harness.BOXES["install-shortcut-error"], harness.BOXES["setup-usage"]

# Where the bootstrap stand-in installs when it is given no location, and the command it runs there.
USUAL = "c:\\halviktorvanex\\install"
USUAL_INSTALL = "C:\\HalvikTorvanex\\Install\\Install.exe -register"


def prefix():
    return run_e2e.PREFIX


def folder_of_length(base, length):
    """A Windows folder path of exactly `length` characters: base, then parts of
    at most 100 "d"s each (no single name may be longer than a file system takes)."""
    path = base
    while len(path) < length:
        left = length - len(path) - 1          # characters behind the next backslash
        if left < 1:
            raise ValueError("no folder of %d characters below %s" % (length, base))
        part = left if left <= 100 else (100 if left - 100 >= 2 else 97)
        path += "\\" + "d" * part
    if len(path) != length:
        raise ValueError("no folder of %d characters below %s" % (length, base))
    return path


class HostileCase(run_e2e.E2ECase):
    """A run_e2e test on a clean machine, with a few helpers for hostile inputs."""

    def make(self, win_path):
        """Creates a folder of this test given by its Windows path; returns its Unix path."""
        return self.place(win_path)[0]

    def medium_at(self, win_path):
        return self.lay_medium(win_path)

    def install_at(self, win_path, standin=False):
        """Install.exe (the real one with the stand-in runtime, or the stand-in alone)."""
        return self.lay_kit(win_path, install="standin", jre=False) if standin else self.lay_kit(win_path)

    def decoy(self, win_path):
        """A program that must never be started: the recording stand-in under another name."""
        shutil.copy(run_e2e.OPTIONS.install_standin, prefix().unix(win_path))

    def import_record(self, values):
        """Writes text values into the installation record, in the 32-bit registry view that
        both builds use, through Wine's reg.exe: for values too long to pass to
        kvitest.exe on its command line. (Afterwards the test's first run no longer
        clears the record.)"""
        self.kvitest([["regdump"]])  # the test's first kvitest start clears the record
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[HKEY_LOCAL_MACHINE\\Software\\HalvikTorvanex\\HalvikTorvanexJI]"]
        for name, value in values.items():
            lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
        reg_file = os.path.join(self.root, "record.reg")
        with open(reg_file, "w", encoding="utf-16", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        code, out, err = harness.run_quietly(harness.wine("reg", "import", prefix().win(reg_file), "/reg:32"),
                                             prefix().env(), 120)
        self.assertEqual(code, 0, "reg import failed: %s" % (out + err).decode("latin-1")[-2000:])

    # --- checks -------------------------------------------------------------------

    def traced(self, run, by):
        """A traced command line of 200 characters or more is taken as possibly shortened:
        Wine's trace cuts long strings, and leaves out its "..." mark when exactly one
        character is missing. It must then begin the expected one (kvitest's record of
        the process holds it whole)."""
        starts = run.traced_starts(by)
        for start in starts:
            if start.command is not None and len(start.command) >= 200:
                start.command_cut = True
        return starts

    def assertStartedWholeOrRefused(self, run, program, command, box, cwd=None):
        """A start that Windows may refuse (a command or a program path beyond its limits):
        either the program received exactly `command` and no box was shown, or it was not
        started and exactly `box` was shown. Never a shortened command."""
        recs = self.records(program)
        if recs:
            self.assertEqual(len(recs), 1, "%s started %d times" % (program, len(recs)))
            self.assertEqual(recs[0]["cmdline"], command)
            if cwd is not None:
                self.assertEqual(recs[0]["cwd"], cwd)
            self.assertBoxes(run, [])
        else:
            self.assertBoxes(run, [box])


# --- setup -------------------------------------------------------------------------

class HostileSetupTests(HostileCase):
    """setup.exe on a medium, the stand-in bootstrap installer recording only."""

    letter = "hs"

    def setUp(self):
        super().setUp()
        self.medium = self.lay_medium()
        self.setup = self.medium + "\\setup.exe"

    def run_setup(self, cmd, env=None, **kw):
        env = dict(env or {})
        env.setdefault("KVI_BOOTSTRAP_RECORD_ONLY", "1")
        return self.run_program(cmd, env=env, **kw)

    def check_bootstrap(self, run, command, cwd=None, original_source=None, start_dir=None):
        """One run that ended by starting the bootstrap installer with `command`."""
        self.expect(run, recs={"_instkvi.com": [dict(cmdline=command, cwd=cwd or self.medium,
                                                     start_dir=start_dir or self.start)]},
                    starts=[command], record={"OriginalSource": original_source or cwd or self.medium})

    # --- command lines up to the limit --------------------------------------------

    def test_long_tail_reaches_the_bootstrap_whole(self):
        # The longest command line the runner can hand setup, in capitals.
        tail = " -QATEST " + "Q" * (LONGEST_DIRECT - len(self.setup) - 9)
        cmd = self.setup + tail
        self.assertEqual(len(cmd), LONGEST_DIRECT)
        run = self.run_setup(cmd)
        self.check_bootstrap(run, "_instkvi.com -s -a  -qatest " + "q" * (len(tail) - 9))

    @rows((2047, 2048, 2049, 4096))
    def test_bootstrap_commands_around_2048_characters(self, length):
        # A fixed 2048-byte command buffer would cut or overrun here.
        command = "_instkvi.com -s -a  -qatest " + "q" * (length - 28)
        self.assertEqual(len(command), length)
        run = self.run_setup(self.setup + " -qatest " + "q" * (length - 28))
        self.check_bootstrap(run, command)

    @rows((("blanks", lambda room: " " * room), ("dashes", lambda room: " " + "-" * (room - 1)),
           ("blank_dash", lambda room: " -" * (room // 2)), ("blank_dash_tab", lambda room: " -\t" * (room // 3))))
    def test_long_tails_of_blanks_and_dashes(self, what, tail):
        # Blank tokens are ignored and a run of dashes is one cut: no options at all.
        tail = tail(LONGEST_DIRECT - len(self.setup))
        self.check_bootstrap(self.run_setup(self.setup + tail), "_instkvi.com -s -a ")

    # Each " -f" (3 characters) reaches the bootstrap installer as " -force" (7):
    # setup's own command line stays short while the bootstrap command grows
    # to the limit and past it.
    @rows(((LONGEST_COMMAND, " -f" * 4400 + " -qatest " + "q" * 1938),
           (LONGEST_COMMAND + 1, " -f" * 4400 + " -qatest " + "q" * 1939), (35019, " -f" * 5000)))
    def test_bootstrap_command_at_the_windows_limit(self, length, args):
        command = "_instkvi.com -s -a " + args.replace(" -f", " -force")
        self.assertEqual(len(command), length)
        self.assertLessEqual(len(self.setup + args), LONGEST_DIRECT)
        run = self.run_setup(self.setup + args)
        self.assertExit(run, "0x00000000")
        # Tried in every case; beyond the limit Windows refuses it.
        self.assertStarts(run, [command if length <= LONGEST_COMMAND else run_e2e.Refused(command)])
        self.assertRegSz(run.record, "OriginalSource", self.medium)
        self.assertEqual(self.usual_location_exists(), (True, True))
        if length <= LONGEST_COMMAND:
            self.assertEqual(self.one_record("_instkvi.com")["cmdline"], command)
            self.assertBoxes(run, [])
        else:
            self.assertNotStarted("_instkvi.com")
            self.assertBoxes(run, [SETUP_LAUNCH_ERROR])

    def test_handoff_with_a_long_tail(self):
        inst = self.install_at(self.w("inst"), standin=True)
        tail = " -NoSplash -QATest " + "Q" * (LONGEST_DIRECT - len(self.setup) - 19)
        cmd = self.setup + tail
        self.assertEqual(len(cmd), LONGEST_DIRECT)
        run = self.run_setup(cmd, before=self.plant_record(OWN_VERSION, inst))
        self.assertExit(run, "0x00000000")
        handoff = inst + "\\Install.exe -silentLaunch -register  -nosplash -qatest " + "q" * (len(tail) - 19)
        self.expect(run, recs={"install.exe": [inst + "\\Install.exe -verctrl", handoff]},
                    starts=[inst + "\\Install.exe -verctrl", handoff])

    # --- paths at the limit -----------------------------------------------------------

    @rows((246, 247, 249))
    def test_program_folder_at_the_path_limit(self, length):
        # setup.exe paths of 256, 257 and 259 characters (Wine starts nothing longer).
        # _instkvi.com is looked for beside setup: within 259 characters it must start,
        # beyond that Windows may refuse, and then the launch box is shown.
        folder = self.medium_at(folder_of_length(self.w("p%d" % length), length))
        run = self.run_setup(folder + "\\setup.exe -NoSplash")
        self.assertExit(run, "0x00000000")
        self.assertRegSz(run.record, "OriginalSource", folder, length + 1)
        started = length + len("\\_instkvi.com") <= 259 or self.records("_instkvi.com")
        self.assertStarts(run, ["_instkvi.com -s -a  -nosplash" if started else run_e2e.Refused("_instkvi.com -s -a  -nosplash")])
        if length + len("\\_instkvi.com") <= 259:
            self.check_bootstrap(run, "_instkvi.com -s -a  -nosplash", cwd=folder)
        else:
            self.assertStartedWholeOrRefused(run, "_instkvi.com", "_instkvi.com -s -a  -nosplash",
                                             SETUP_LAUNCH_ERROR, cwd=folder)

    def test_current_directory_at_the_path_limit(self):
        # 258 characters: the longest current directory Wine runs a program in.
        cwd = folder_of_length(self.w("c"), 258)
        self.make(cwd)
        run = self.run_setup(self.setup + " -nosplash", cwd=cwd)
        self.check_bootstrap(run, "_instkvi.com -s -a  -nosplash", start_dir=cwd)

    @rows(("D:\\" + "s" * 258, "D:\\" + "s" * 29997))
    def test_start_directory_longer_than_a_path_is_kept(self, value):
        run = self.run_setup(self.setup, env={"KVI_START_DIR": value})
        self.expect(run, recs={"_instkvi.com": [dict(cmdline="_instkvi.com -s", start_dir=value)]})

    # No Install.exe can be read there: the folder rule refuses it unread, no probe
    # runs, and the copy is reinstalled into the stored path, which must reach the
    # bootstrap whole.
    @rows([(n, v) for n in (259, 260, 261) for v in (OWN_VERSION, "1.7-999")])
    def test_installed_path_at_the_path_limit(self, length, version):
        inst = folder_of_length(self.w("i"), length)
        run = self.run_setup(self.setup + " -nosplash", before=self.plant_record(version, inst))
        command = "_instkvi.com -s -f " + inst + " -a  -nosplash"
        self.expect(run, recs={"_instkvi.com": [command]}, starts=[command], usual=(True, True))

    def test_installed_path_at_the_path_limit_with_a_blank(self):
        inst = folder_of_length(self.w("my inst"), 260)
        run = self.run_setup(self.setup, before=self.plant_record(OWN_VERSION, inst))
        command = "_instkvi.com -s -f " + inst
        self.expect(run, recs={"_instkvi.com": [command]}, starts=[command])  # unreadable there: no probe

    @rows((259, 260, 261))
    def test_target_path_at_the_path_limit(self, length):
        target = folder_of_length(self.w("t"), length)
        run = self.run_setup(self.setup + " -Target " + target.upper())
        command = "_instkvi.com -s -f  " + target + " -a "
        self.check_bootstrap(run, command)

    @rows((16000, 40000))
    def test_installed_path_far_beyond_the_path_limit(self, length):
        # 16,000 characters: no probe (the folder cannot be read), the bootstrap command
        # (16,019 characters) starts. 40,000: it does not fit a command line, so the launch box.
        inst = self.w("i") + "\\" + "p" * (length - len(self.w("i")) - 1)
        self.assertEqual(len(inst), length)
        self.import_record({"Version": OWN_VERSION, "InstPath": inst})
        run = self.run_setup(self.setup)
        command = "_instkvi.com -s -f " + inst
        fits = len(command) <= LONGEST_COMMAND
        self.expect(run, starts=[command if fits else run_e2e.Refused(command)], recs={"_instkvi.com": [command] if fits else []},
                    boxes=[] if fits else ["setup-launch-error"])

    # --- bytes above 127 -----------------------------------------------------------------

    def test_bytes_above_127_pass_unchanged(self):
        # The programs speak UTF-8, so each of these letters is two bytes above 127.
        # Only A-Z are lowered: É, Ä, Ñ stay capitals, and a non-breaking space is no blank.
        medium = self.medium_at(self.w(u8("MÉDIUMÄ")))
        # Š and Ÿ have lower-case forms too; Š's second byte is 0xA0, the non-breaking
        # space of the Western code page.
        tail = u8("\xa0ÿéŠŸÀ")
        run = self.run_setup(medium + "\\setup.exe -Batch C:\\" + u8("Ä\\Ñ") + ".TXT -NoSplash -QATest " + tail)
        self.check_bootstrap(run, "_instkvi.com -s -a  -batch  c:\\" + u8("Ä\\Ñ") + ".txt  -nosplash  -qatest " + tail,
                             cwd=self.w(u8("mÉdiumÄ")))
        # The stored folder is the folder as setup entered it: its capitals É and Ä kept.
        self.assertEqual(run.record["OriginalSource"],
                         (REG_SZ, ("c:\\e2e\\%s\\mÉdiumÄ\0" % self.name).encode("utf-8")))

    # --- blanks in the program's path (tabs, quotes and words: the unit tables) ----------

    @rows((("quoted", '"{}\\setup.exe" -NoSplash'), ("unquoted", "{}\\setup.exe -NoSplash")))
    def test_program_path_with_blanks(self, what, cmd):
        medium = self.medium_at(self.w("my medium"))
        self.check_bootstrap(self.run_setup(cmd.format(medium)), "_instkvi.com -s -a  -nosplash", cwd=medium)

    # --- blanks in the installed path -----------------------------------------------------------

    def test_installed_path_with_a_blank_never_starts_the_front_part(self):
        # C:\...\my.exe is what an unquoted "C:\...\my inst\Install.exe" would start.
        inst = self.install_at(self.w("my inst"), standin=True)
        self.decoy(self.w("my.exe"))
        run = self.run_setup(self.setup + " -NoSplash", before=self.plant_record(OWN_VERSION, inst))
        commands = ['"' + inst + '\\Install.exe" -verctrl', '"' + inst + '\\Install.exe" -silentLaunch -register  -nosplash']
        self.expect(run, starts=commands, recs={"install.exe": commands})
        self.assertNotStarted("my.exe")

    def test_handoff_into_a_folder_with_blanks_and_bytes_above_127(self):
        # The real Install.exe answers the probe and takes the hand-off: it registers the
        # folder as it entered it (A-Z lowered, Ä and É kept) and starts the runtime.
        inst = self.install_at(self.w(u8("My KÄTÉ")))
        self.decoy(self.w("my.exe"))
        run = self.run_setup(self.setup + " -NoSplash", before=self.plant_record(OWN_VERSION, inst))
        launch, registered = JAVAW + "  -silentlaunch -register  -nosplash", self.w(u8("my kÄtÉ"))
        self.expect(run, main=['"' + inst + '\\Install.exe" -verctrl',
                               '"' + inst + '\\Install.exe" -silentLaunch -register  -nosplash'], others=[launch],
                    recs={"javaw.exe": [dict(cmdline=launch, cwd=registered)]},
                    record={"InstPath": registered, "UninstCmd": '"' + registered + '\\Install.exe" -remove',
                            "OriginalSource": self.medium})
        self.assertNotStarted("my.exe")

    def test_older_copy_with_a_blank_is_named_as_stored(self):
        inst = self.install_at(self.w("my inst"), standin=True)
        self.decoy(self.w("my.exe"))
        run = self.run_setup(self.setup + " -NoSplash", before=self.plant_record("1.7-999", inst))
        self.check_bootstrap(run, "_instkvi.com -s -f " + inst + " -a  -nosplash")
        self.assertNotStarted("my.exe")

    @rows(("inst", "my inst"))
    def test_installed_path_ending_in_a_backslash(self, folder):
        # The stored path is used as it stands: a doubled separator in front of Install.exe.
        inst = self.install_at(self.w(folder), standin=True) + "\\"
        exe = inst + "\\Install.exe"
        if " " in folder:
            exe = '"' + exe + '"'
        run = self.run_setup(self.setup, before=self.plant_record(OWN_VERSION, inst))
        commands = [exe + " -verctrl", exe + " -silentLaunch -register"]
        self.expect(run, starts=commands, recs={"install.exe": commands})

    # --- the Version value ------------------------------------------------------------------------

    def check_outcome(self, run, inst, outcome):
        """current: probed and handed off; older: reinstalled into inst; none: a plain bootstrap."""
        if outcome == "current":
            self.expect(run, starts=[inst + "\\Install.exe -verctrl", inst + "\\Install.exe -silentLaunch -register"],
                        recs={"install.exe": [dict(mode="probe"), dict(mode="other")]})
        else:
            command = "_instkvi.com -s -f " + inst if outcome == "older" else "_instkvi.com -s"
            self.expect(run, starts=[command], recs={"_instkvi.com": [command]})

    @rows([
            ("dword", b"\x02\x00\x00\x00", "older"),         # one piece
            ("dword", b"1.9-", "older"),                      # two pieces only
            ("binary", b"\xff\xfe9.9-9", "older"),            # 0, 9, 9: bytes above 127 are no digits
            ("binary", b"9.9-9", "current"),                  # no terminator
            ("binary", b"", "none"),                          # no length at all
            ("7", b"2.0-000\x000.1-000\x00\x00", "current"),  # REG_MULTI_SZ: its first string
            ("0", b"1.8-002", "current"),                     # REG_NONE
    ])
    def test_version_that_is_not_text(self, type_, data, outcome):
        inst = self.install_at(self.w("inst"), standin=True)
        run = self.run_setup(self.setup, before=[
            ["regset", "record", "Version", type_, data.hex()],
            ["regset", "record", "InstPath", "sz", (inst.encode() + b"\0").hex()]])
        self.check_outcome(run, inst, outcome)

    @rows([
            ("1.4294967295-0", "current"),              # minor clamped, not wrapped to -1
            ("1.+4294967304-0", "current"),             # not wrapped to 8
            ("1.8-2147483648", "current"),              # not wrapped to a negative build
            ("1.8-" + "9" * 5000, "current"),
            ("0.99999999999999999999999-9", "older"),   # the major decides
            ("\t1. 8-+2", "current"),                   # white space and a sign in front of digits
            (u8("\xb9.9-9"), "older"),                  # superscript one (U+00B9) is no digit: 0.9.9
            (u8("1.\xb2\xb3-9"), "older"),               # nor are superscript two and three: 1.0.9
    ])
    def test_version_fields_beyond_an_int(self, version, outcome):
        inst = self.install_at(self.w("inst"), standin=True)
        run = self.run_setup(self.setup, before=self.plant_record(version, inst))
        self.check_outcome(run, inst, outcome)

    @rows([
        ("9" * 65536, "older"),                     # 64 KiB of digits: a single piece
        ("1.8-" + "0" * (1 << 20) + "2", "current"),  # 1 MiB: a build of 2 behind a million zeros
        ("1.7-" + "9" * (1 << 20), "older"),
    ])
    def test_huge_version_values(self, version, outcome):
        inst = self.install_at(self.w("inst"), standin=True)
        self.import_record({"Version": version, "InstPath": inst})
        self.check_outcome(self.run_setup(self.setup), inst, outcome)

    # --- a file where the usual location should be ------------------------------------------------

    def put_file(self, *parts):
        path = prefix().drive_c(*parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"not a folder\r\n")
        return path

    @rows((("", None, "_instkvi.com -s -f "), (" -NoSplash", "1.7-999", "_instkvi.com -s -f  -a  -nosplash"),
           (" -target c:\\alt", None, "_instkvi.com -s -f  c:\\alt -a ")))
    def test_file_named_like_the_base_folder(self, args, older, command):
        inst = self.install_at(self.w("inst"), standin=True)
        path = self.put_file("HalvikTorvanex")
        run = self.run_setup(self.setup + args, before=self.plant_record(older, inst) if older else ())
        self.check_bootstrap(run, command)
        self.assertTrue(os.path.isfile(path), "the file was replaced")

    @rows((("", "_instkvi.com -s -f "), (" -batch c:\\b.txt", "_instkvi.com -s -f  -a  -batch  c:\\b.txt"),
           (" -target c:\\alt", "_instkvi.com -s -f  c:\\alt -a ")))
    def test_file_named_like_the_usual_location(self, args, command):
        path = self.put_file("HalvikTorvanex", "Install")
        self.check_bootstrap(self.run_setup(self.setup + args), command)
        self.assertTrue(os.path.isfile(path), "the file was replaced")

    # --- a usual location that someone else prepared -----------------------------------------------

    # Wine shows a folder's Unix owner and mode as its owner and list: a folder of
    # another Unix user is owned by Anonymous (S-1-5-7), one of mode 777 lets Everyone
    # change it, and a symbolic link is a reparse point. None of them is used; the
    # folders an earlier run left are. (base, usual, elsewhere: Unix paths.)
    @rows((("left by an earlier run", None, "_instkvi.com -s"),
           ("usual location of mode 777", lambda b, u, e: os.chmod(u, 0o777), "_instkvi.com -s -f "),
           ("base folder of mode 777", lambda b, u, e: os.chmod(b, 0o777), "_instkvi.com -s -f "),
           ("another user's usual location", lambda b, u, e: os.chown(u, 65534, -1), "_instkvi.com -s -f "),
           ("symbolic link", lambda b, u, e: (os.rmdir(u), os.symlink(e, u)), "_instkvi.com -s -f ")))
    def test_usual_location_prepared_by_someone_else(self, what, spoil, command):
        if harness.ON_WINDOWS:
            self.skipTest("Unix owners and modes; on Windows run_e2e's usual-location rows")
        base, usual = prefix().drive_c("HalvikTorvanex"), prefix().drive_c("HalvikTorvanex", "Install")
        elsewhere = self.make(self.w("elsewhere"))
        self.check_bootstrap(self.run_setup(self.setup), "_instkvi.com -s")  # makes both folders
        if spoil:
            spoil(base, usual, elsewhere)
        self.clear_records()
        self.check_bootstrap(self.run_setup(self.setup), command)
        self.assertEqual(os.listdir(elsewhere), [], "nothing was put where the link points")

    # Wine shows a Unix owner and mode as the owner and list (it keeps no list of its
    # own beside them): another Unix user's folder is owned by Anonymous (S-1-5-7),
    # one of mode 777 lets Everyone (S-1-1-0) change it. Nothing is started from
    # either: the copy counts as older, and the bootstrap is told its folder.
    @rows((("another user's folder", lambda path: os.chown(path, 65534, -1)),
           ("folder of mode 777", lambda path: os.chmod(path, 0o777))))
    def test_installed_copy_in_a_folder_others_control_is_not_probed(self, what, spoil):
        inst = self.install_at(self.w("inst"), standin=True)
        spoil(prefix().unix(inst))
        run = self.run_setup(self.setup, before=self.plant_record("1.8-002", inst))
        self.check_bootstrap(run, "_instkvi.com -s -f " + inst)

    @rows(("open", "open\\kit"))
    def test_example_bootstrap_refuses_a_folder_others_can_change(self, location):
        # Given -f into a folder of mode 777, the example bootstrap ends with 1 and
        # copies nothing, also into a folder made inside it.
        open_folder = self.make(self.w("open"))
        os.chmod(open_folder, 0o777)
        shutil.copy(self.programs["example_bootstrap"], prefix().unix(self.medium + "\\boot.exe"))
        run = self.run_program(self.medium + "\\boot.exe -s -f " + self.w(location) + " -a  -noexecute")
        self.assertExit(run, "0x00000001")
        self.assertStarts(run, [])
        self.assertEqual(os.listdir(open_folder), [], "nothing was copied")


# --- Install -----------------------------------------------------------------------

class HostileInstallTests(HostileCase):
    """The real Install.exe with the stand-in runtime."""

    letter = "hi"

    def check_registered(self, run, folder, uninstall_command):
        self.assertRegSz(run.record, "UninstCmd", uninstall_command, len(folder) + 21 + (2 if " " in folder else 0))
        self.assertRegSz(run.record, "InstPath", folder, len(folder) + 1)
        self.assertRegSz(run.record, "Version", OWN_VERSION, 8)
        self.assertRegSz(run.uninstall, "DisplayName", "Halvik Torvanex Products", 25)
        self.assertRegSz(run.uninstall, "UninstallString", uninstall_command)

    def check_no_link(self):
        self.assertFalse(os.path.exists(prefix().unix(self.link_path())), "a shortcut was made")

    def check_launch(self, run, command, cwd, runtime="javaw.exe"):
        self.expect(run, recs={runtime: [dict(cmdline=command, cwd=cwd)]}, starts=[command])
        return self.records(runtime)[0]

    # --- command lines up to the limit --------------------------------------------

    def test_long_tail_is_passed_whole(self):
        kit = self.lay_kit("kit")
        head = kit + "\\Install.exe -QATEST "
        cmd = head + "Q" * (LONGEST_DIRECT - len(head))
        run = self.run_program(cmd)
        self.check_launch(run, JAVAW + "  -qatest " + "q" * (LONGEST_DIRECT - len(head)), kit)

    def test_probe_answer_at_the_end_of_a_long_tail(self):
        kit = self.lay_kit("kit")
        head = kit + "\\Install.exe -qatest "
        run = self.run_program(head + "q" * (LONGEST_DIRECT - len(head) - 9) + " -VerCtrl", capture_stdout=True)
        self.expect(run, exit=PROBE_ANSWER, stdout=b"", starts=[], record=run_e2e.ABSENT)

    @rows((32618, 32619, LONGEST_COMMAND))
    def test_longest_command_lines_through_the_bootstrap(self, length):
        # setup's " -f" become " -force" on the way: the bootstrap installer then starts
        # "C:\HalvikTorvanex\Install\Install.exe -register" with all of them, a command
        # line of up to 32,766 characters. Install's launch command is 148 characters
        # longer (the base command and its blank instead of the folder and
        # "\Install.exe"), so it fits up to an Install command line of 32,618.
        medium = self.lay_medium(kit=True)
        k = 4300
        self.clear_records()
        m = length - len(USUAL_INSTALL) - 7 * k - 9
        options = " -force" * k + " -qatest " + "q" * m
        install_cmd = USUAL_INSTALL + options
        launch = JAVAW + "  -register" + options
        self.assertEqual(len(install_cmd), length)
        self.assertEqual(len(launch), length + 148)
        cmd = medium + "\\setup.exe" + " -f" * k + " -qatest " + "q" * m
        self.assertLessEqual(len(cmd), LONGEST_DIRECT)
        run = self.run_program(cmd)
        self.assertExit(run, "0x00000000")
        boot = self.one_record("_instkvi.com")
        self.assertEqual(boot["cmdline"], "_instkvi.com -s -a " + options)
        self.assertEqual(boot["install_cmd"], install_cmd)
        self.assertStarts(run, ["_instkvi.com -s -a " + options, install_cmd,
                                launch if len(launch) <= LONGEST_COMMAND else run_e2e.Refused(launch)])
        self.assertRegSz(run.record, "InstPath", USUAL)
        if len(launch) <= LONGEST_COMMAND:
            self.assertEqual(boot["install_exit"], "0x0")
            self.assertEqual(self.one_record("javaw.exe")["cmdline"], launch)
            self.assertBoxes(run, [])
        else:
            self.assertEqual(boot["install_exit"], "0xFFFFFFFF")
            self.assertNotStarted("javaw.exe")
            self.assertBoxes(run, [INSTALL_LAUNCH_ERROR])

    # --- paths at the limit -----------------------------------------------------------

    def test_program_folder_at_the_path_limit_registers(self):
        # Install.exe at 259 characters, the longest path Wine starts a program from;
        # its shortcut target just fits the 260-character buffer with its terminator.
        folder = self.install_at(folder_of_length(self.w("k"), 247))
        run = self.run_program(folder + "\\Install.exe -Register -NoExecute")
        self.expect(run)
        self.check_registered(run, folder, folder + "\\Install.exe -remove")
        self.check_link(folder)

    @rows(((241, ""), (247, ""), (247, " -SilentLaunch")))
    def test_program_folder_near_the_path_limit_launches(self, length, args):
        # The runtime is started as JRE\bin\javaw.exe from the program folder: within
        # 259 characters it must start; beyond, Windows may refuse, and then the launch
        # box and -1 (none with -silentLaunch). Registration comes first in either case.
        folder = self.install_at(folder_of_length(self.w("k%d" % length), length))
        run = self.run_program(folder + "\\Install.exe -Register" + args)
        launch = JAVAW + "  -register" + args.lower()
        self.check_registered(run, folder, folder + "\\Install.exe -remove")
        self.check_link(folder)
        started = length + len("\\JRE\\bin\\javaw.exe") <= 259 or self.records("javaw.exe")
        self.assertStarts(run, [launch if started else run_e2e.Refused(launch)])
        self.assertEqual(run.status.get("timeout"), "0")
        if started:
            self.check_launch(run, launch, folder)
        else:
            self.assertExit(run, "0xFFFFFFFF")
            self.assertBoxes(run, [] if args else [INSTALL_LAUNCH_ERROR])

    @rows((247, 248, 258))
    def test_current_directory_at_the_path_limit_registers(self, length):
        # Install started by its bare name (found on PATH) has no program directory and
        # registers the current directory. Up to 247 characters the shortcut's target
        # fits; beyond, the shortcut box and no shortcut, never a shortened target.
        kit = self.lay_kit("kit", jre=False)
        cwd = folder_of_length(self.w("c"), length)
        self.make(cwd)
        run = self.run_program("install.exe -register -noexecute", cwd=cwd,
                               run_env={"PATH": kit + ";C:\\windows\\system32;C:\\windows"})
        self.assertExit(run, "0x00000000")
        self.check_registered(run, cwd, cwd + "\\Install.exe -remove")
        self.assertStarts(run, [])
        if length + len("\\Install.exe") < 260:
            self.check_link(cwd)
            self.assertBoxes(run, [])
        else:
            self.check_no_link()
            self.assertBoxes(run, [SHORTCUT_ERROR])

    def test_current_directory_at_the_path_limit_is_the_start_directory(self):
        kit = self.lay_kit("kit")
        cwd = folder_of_length(self.w("c"), 258)
        self.make(cwd)
        run = self.run_program(kit + "\\Install.exe -nosplash", cwd=cwd)
        rec = self.check_launch(run, JAVAW + "  -nosplash", kit)
        self.assertEqual(rec["start_dir"], cwd)

    @rows(("D:\\" + "s" * 258, "D:\\" + "s" * 29997))
    def test_start_directory_longer_than_a_path_is_kept(self, value):
        kit = self.lay_kit("kit")
        self.clear_records()
        run = self.run_program(kit + "\\Install.exe", env={"KVI_START_DIR": value})
        rec = self.check_launch(run, JAVAW, kit)
        self.assertEqual(rec["start_dir"], value)

    # --- bytes above 127 -----------------------------------------------------------------

    def test_bytes_above_127_pass_unchanged(self):
        kit = self.install_at(self.w(u8("KÄTÉ")))
        run = self.run_program(kit + "\\Install.exe -Register -NoSplash -Input C:\\" + u8("Ñ\\É") + ".TXT " +
                               u8("\xa0ÿŠŸ"))
        # Only A-Z are lowered: the folder keeps its Ä and É, the options their Ñ, É, Š, Ÿ.
        folder = self.w(u8("kÄtÉ"))
        self.check_launch(run, JAVAW + "  -register -nosplash -input c:\\" + u8("Ñ\\É") + ".txt " + u8("\xa0ÿŠŸ"),
                          folder)
        self.check_registered(run, folder, folder + "\\Install.exe -remove")
        self.assertEqual(run.record["InstPath"][1], ("c:\\e2e\\%s\\kÄtÉ\0" % self.name).encode("utf-8"))
        self.check_link(folder)

    # --- blanks: the uninstall command ----------------------------------------------------------

    def test_uninstall_command_with_blanks_starts_install(self):
        # Windows runs the uninstall entry as a command line. Unquoted, it would start
        # C:\...\my.exe; quoted, it starts Install, which passes -remove on.
        kit = self.install_at(self.w("my kit"))
        self.decoy(self.w("my.exe"))
        run = self.run_program('"' + kit + '\\Install.exe" -register -noexecute')
        self.assertExit(run, "0x00000000")
        command = '"' + kit + '\\Install.exe" -remove'
        self.check_registered(run, kit, command)
        self.assertBoxes(run, [])
        uninstall = run.uninstall["UninstallString"][1][:-1].decode("latin-1")
        self.assertEqual(uninstall, command)
        run = self.run_program(uninstall)
        self.check_launch(run, JAVAW + "  -remove", kit)
        self.assertNotStarted("my.exe")


CLASSES = [HostileSetupTests, HostileInstallTests]
