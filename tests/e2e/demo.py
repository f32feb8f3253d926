#!/usr/bin/env python3
"""The whole installation road under Wine, on a demonstration medium, told step by step.

Called by demo.sh with a build folder (the i686 one, or the x86_64 one on a
host that runs no 32-bit code). The medium (setup.exe and the example
bootstrap installer _instkvi.com of examples/bootstrap, made with NSIS, which
carries the kit: Install.exe and the stand-in Java runtime) is laid out in
<build>/demo/medium. The first run of setup finds a clean machine and starts
the bootstrap installer, which installs the kit into
C:\\HalvikTorvanex\\Install and runs Install -register; the second run finds
that copy current, probes it and hands off to it, and the stand-in runtime
receives the launch command. Exits 1 when a step did not happen.

tools/check_signing.py lays out the same medium with the stand-in bootstrap
installer instead (Demo's default), whose record tells that setup started it.
With KVI_TRACE set (`KVI_TRACE='C:\\trace.txt' make demo`, a C: path of the
Wine prefix) both runs go with the trace on, and the lines each run added to
that file are shown after it.
"""

import os
import shutil
import struct
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

OPTIONS = "-nosplash"
USUAL = "C:\\HalvikTorvanex\\Install"
# The machine field of a PE header, for each build.
PE_MACHINE = {"i686": 0x14C, "x86_64": 0x8664}


class Demo:
    def __init__(self, build, bootstrap="standin", root=None, programs=None):
        """bootstrap: "example" (examples/bootstrap, with its kit inside) or "standin"
        (tests/e2e/standins, beside the kit in the medium's folder "kit"); root: the
        demonstration's folder (<build>/demo); programs: some of the build's replaced."""
        self.bootstrap = bootstrap
        self.build = os.path.abspath(build)
        listing = os.path.join(self.build, "tests", "e2e", "programs.txt")
        if not os.path.exists(listing):
            raise SystemExit("demo: %s is missing; build the e2e_tools target first" % listing)
        self.programs = harness.read_programs(listing)
        self.programs.update(programs or {})
        self.prefix = harness.Prefix(os.path.join(self.programs["work"], "wineprefix"), self.programs["kvitest"])
        self.m = harness.Machine(self.prefix, self.programs, root or os.path.join(self.build, "demo"))
        self.medium = self.m.dir("medium")
        self.missing = []
        self.trace = os.environ.get("KVI_TRACE", "")

    # --- output --------------------------------------------------------------

    @staticmethod
    def say(text="", indent=0):
        print("  " * indent + text)

    @staticmethod
    def quoted(text):
        # Blanks matter in these command lines: show each text between quotes.
        return '"%s"' % text

    def check(self, ok, what):
        if not ok:
            self.missing.append(what)
            self.say("!! did not happen: " + what, 1)
        return ok

    # --- the medium ------------------------------------------------------------

    def lay_out(self):
        """A clean machine and the medium on it."""
        self.m.clean()
        if self.bootstrap == "example":
            self.m.lay_medium(bootstrap="example_bootstrap")
        else:
            self.m.lay_medium(kit=True)

    def bootstrap_is_pe(self):
        """The release check of the medium: _instkvi.com is a PE program of this build's
        machine (MZ header, PE header where it points), not a DOS .com file, which
        Windows would run in a DOS machine that 64-bit Windows no longer has."""
        with open(os.path.join(self.medium, "_instkvi.com"), "rb") as f:
            head = f.read(4096)
        pe = struct.unpack_from("<I", head, 0x3C)[0] if head[:2] == b"MZ" and len(head) >= 0x40 else len(head)
        machine = struct.unpack_from("<H", head, pe + 4)[0] if head[pe:pe + 4] == b"PE\0\0" else None
        return self.check(machine == PE_MACHINE[self.programs["arch"]],
                          "_instkvi.com being a PE program for %s (machine 0x%X, not %s)" % (
                              self.programs["arch"], PE_MACHINE[self.programs["arch"]],
                              "a PE file" if machine is None else "0x%X" % machine))

    def installed_files(self):
        """The files under the usual location, as folder\\name, in order."""
        top = self.prefix.unix(USUAL)
        return sorted(os.path.relpath(os.path.join(d, n), top).replace("/", "\\")
                      for d, _, names in os.walk(top) for n in names)

    def run_setup(self):
        self.m.clear_records()
        command = self.m.w("medium") + "\\setup.exe " + OPTIONS
        self.say("> " + command)
        try:
            run = self.m.run(command, cwd=self.m.w("medium"), env={"KVI_TRACE": self.trace} if self.trace else None)
        except harness.HarnessError as e:
            raise SystemExit("demo: %s" % e) from e
        st = run.status
        self.say("setup ended with exit status %s after %s ms" % (st.get("exit"), st.get("elapsed_ms")), 1)
        self.check(st.get("exit") == "0x00000000", "setup ending with exit status 0")
        return run

    def show_trace(self):
        """The lines the run added to the trace file."""
        if not self.trace:
            return
        path = self.prefix.unix(self.trace)
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
        self.say("the trace in %s:" % self.trace, 1)
        for line in lines[self.trace_seen:]:
            self.say(line, 2)
        self.trace_seen = len(lines)

    def show_starts(self, starts, who):
        # What each started process received and which program it runs, as kvitest read them.
        for s in starts:
            self.say("%s started %s" % (who, self.quoted(s.command)), 1)
            self.say("the program: " + s.image, 2)

    def show_boxes(self, run):
        for box in run.boxes:
            self.say("message box %r: %r" % (box.caption, box.text), 1)
        if not run.boxes:
            self.say("no message box was shown", 1)

    def show_registry(self, run):
        for key, title in (("record", "installation record  HKLM\\Software\\HalvikTorvanex\\HalvikTorvanexJI"),
                           ("uninstall", "uninstall entry      HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
                                         "\\Uninstall\\HalvikTorvanexJI")):
            entries = getattr(run, key)
            view = " (the 32-bit registry view)" if self.programs["arch"] == "i686" else ""
            if entries is None:
                self.say(title + view + ": not there", 1)
                continue
            self.say(title + view + ":", 1)
            for name in sorted(entries):
                type_, data = entries[name]
                shown = data.rstrip(b"\0").decode("latin-1")
                self.say("%-16s %s  %2d bytes  %s" % (name, "REG_SZ" if type_ == 1 else "type %d" % type_,
                                                       len(data), self.quoted(shown)), 2)

    def show_link(self):
        values = self.m.link()
        if not self.check(values.get("loaded") == "1", "the Start-menu shortcut " + self.m.link_path()):
            return
        self.say("Start-menu shortcut " + self.m.link_path() + ":", 1)
        for key, title in (("target", "target"), ("arguments", "arguments"), ("workdir", "working directory"),
                           ("description", "description"), ("icon", "icon")):
            value = values.get(key, "")
            if key == "icon":
                value += ", index " + values.get("icon_index", "?")
            self.say("%-18s %s" % (title, self.quoted(value) if key != "icon" else value), 2)

    def show_runtime(self, expect_tail):
        recs = self.m.records("javaw.exe") + self.m.records("java.exe")
        if not self.check(len(recs) == 1, "the stand-in Java runtime being started once"):
            return
        rec = recs[0]
        self.say("the stand-in Java runtime (%s) received:" % rec["program"], 1)
        self.say("command line      " + self.quoted(rec["cmdline"]), 2)
        self.say("directory         " + rec["cwd"], 2)
        self.say("KVI_START_DIR     " + rec["start_dir"], 2)
        self.check(rec["cmdline"].endswith(expect_tail), "the launch command ending in " + self.quoted(expect_tail))

    # --- the road ----------------------------------------------------------------

    def main(self):
        arch = self.programs["arch"]
        print("Halvik Torvanex start-up programs under Wine (%s build)" % arch)
        reason = harness.cannot_run_reason("i686")
        if reason and arch != "i686":
            print("Note: the shipped programs in dist/ are the i686 build, and they do not run here: %s." % reason)
            print("This demonstration shows the %s build of the same sources instead." % arch)
        elif harness.cannot_run_reason(arch):
            raise SystemExit("demo: %s" % harness.cannot_run_reason(arch))
        self.prefix.ensure()
        self.lay_out()
        self.trace_seen = 0
        if self.trace and os.path.exists(self.prefix.unix(self.trace)):
            os.remove(self.prefix.unix(self.trace))
        self.say("Demonstration medium " + self.m.w("medium") + ":")
        self.say("setup.exe, and _instkvi.com: the example bootstrap installer of examples/bootstrap,", 1)
        self.say("made with NSIS; it carries the kit: this build's Install.exe and, standing in", 1)
        self.say("for the Java runtime, JRE\\bin\\java.exe and javaw.exe", 1)
        if self.bootstrap_is_pe():
            self.say("_instkvi.com is a PE program (MZ and PE headers, %s code), not a DOS .com file" % arch, 1)
        self.say("Wine prefix " + self.prefix.path + ": installation record removed, no " + USUAL)

        print()
        print("1. First run: setup on a clean machine")
        run = self.run_setup()
        self.show_starts(run.starts("main"), "setup")
        self.check(any(s.command.startswith("_instkvi.com -s") for s in run.starts("main")),
                   "setup starting the bootstrap installer")
        files = self.installed_files()
        self.say("the bootstrap installer put its kit into %s: %s" % (USUAL, ", ".join(files)), 1)
        self.check("Install.exe" in files, "the bootstrap installer installing Install.exe")
        self.say("and ran %s\\Install.exe -register with the options after -a; Install wrote:" % USUAL, 1)
        record = run.record or {}
        self.show_registry(run)
        self.check("InstPath" in record and "Version" in record, "Install -register writing the record")
        self.check(run.uninstall, "Install -register writing the uninstall entry")
        self.show_link()
        self.show_starts([s for s in run.starts("others") if s.command and s.command.startswith("JRE")], "Install")
        self.show_runtime("-register " + OPTIONS)
        self.show_boxes(run)
        self.show_trace()

        print()
        print("2. Second run: setup finds the installed copy")
        run = self.run_setup()
        by_setup = run.starts("main")
        if by_setup:
            self.say("setup probed the installed copy: " + self.quoted(by_setup[0].command), 1)
        if len(by_setup) > 1:
            self.say("it answered -1110, so setup handed off: " + self.quoted(by_setup[1].command), 1)
        self.check(len(by_setup) == 2 and "-verctrl" in by_setup[0].command
                   and "-silentLaunch -register" in by_setup[1].command, "the version probe and the hand-off")
        again = [s for s in by_setup if s.command.startswith("_instkvi.com")]
        self.check(not again, "no bootstrap installer on the second run")
        if not again:
            self.say("no bootstrap installer this time", 1)
        self.show_starts(run.starts("others"), "Install")
        self.show_runtime("-silentlaunch -register  " + OPTIONS)
        self.show_boxes(run)
        self.show_trace()

        print()
        if self.missing:
            print("The demonstration FAILED: %d step(s) did not happen:" % len(self.missing))
            for what in self.missing:
                self.say("- " + what, 1)
            return 1
        print("Every step happened.")
        return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: demo.py <build folder>")
    sys.exit(Demo(sys.argv[1], bootstrap="example").main())
