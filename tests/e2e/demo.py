#!/usr/bin/env python3
"""The whole installation road under Wine on a demonstration medium, told step by step (demo.sh <build>):
installation by the example bootstrap installer, then the hand-off. Exits 1 when a step did not happen.
tools/check_signing.py lays out the medium with the stand-in bootstrap instead. With KVI_TRACE set (a C:
path of the prefix) the lines each run added to that trace are shown after it.
"""

import os
import struct
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

OPTIONS = "-nosplash"
USUAL = "C:\\HalvikTorvanex\\Install"
PE_MACHINE = {"i686": 0x14C, "x86_64": 0x8664}
KEYS = (("record", "installation record  HKLM\\Software\\HalvikTorvanex\\HalvikTorvanexJI"),
        ("uninstall", "uninstall entry      HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
                      "\\HalvikTorvanexJI"))
LINK = (("target", "target"), ("arguments", "arguments"), ("workdir", "working directory"),
        ("description", "description"))


def say(text="", indent=1):
    print("  " * indent + text)


def quoted(text):
    return '"%s"' % text  # blanks matter in these command lines


def say_starts(what, starts):
    for s in starts:
        say(what + quoted(s.command))
        say("the program: " + s.image, 2)


class Demo:
    def __init__(self, build, bootstrap="standin", root=None, programs=None):
        """bootstrap: "example" or "standin"; programs: some of the build's replaced."""
        self.bootstrap, self.build = bootstrap, os.path.abspath(build)
        listing = os.path.join(self.build, "tests", "e2e", "programs.txt")
        if not os.path.exists(listing):
            raise SystemExit("demo: %s is missing; build the e2e_tools target first" % listing)
        self.programs = dict(harness.read_programs(listing), **(programs or {}))
        self.prefix = harness.Prefix(os.path.join(self.programs["work"], "wineprefix"), self.programs["kvitest"])
        self.m = harness.Machine(self.prefix, self.programs, root or os.path.join(self.build, "demo"))
        self.missing, self.trace, self.trace_seen = [], os.environ.get("KVI_TRACE", ""), 0

    def check(self, ok, what):
        if not ok:
            self.missing.append(what)
            say("!! did not happen: " + what)
        return ok

    def lay_out(self):
        """A clean machine and the medium on it."""
        self.m.clean()
        self.m.lay_medium(**(dict(bootstrap="example_bootstrap") if self.bootstrap == "example" else dict(kit=True)))

    def bootstrap_is_pe(self):
        """_instkvi.com is a PE program of this build's machine, not a DOS .com file, which
        Windows would run in a DOS machine that 64-bit Windows no longer has."""
        head = harness.read_bytes(self.m.dir("medium", "_instkvi.com"))[:4096]
        pe = struct.unpack_from("<I", head, 0x3C)[0] if head[:2] == b"MZ" and len(head) >= 0x40 else len(head)
        machine = struct.unpack_from("<H", head, pe + 4)[0] if head[pe:pe + 4] == b"PE\0\0" else None
        arch = self.programs["arch"]
        return self.check(machine == PE_MACHINE[arch], "_instkvi.com being a PE program for %s (machine 0x%X, not %s)"
                          % (arch, PE_MACHINE[arch], "a PE file" if machine is None else "0x%X" % machine))

    def run_setup(self):
        self.m.clear_records()
        command = self.m.w("medium") + "\\setup.exe " + OPTIONS
        say("> " + command, 0)
        try:
            run = self.m.run(command, cwd=self.m.w("medium"), env={"KVI_TRACE": self.trace} if self.trace else None)
        except harness.HarnessError as e:
            raise SystemExit("demo: %s" % e) from e
        say("setup ended with exit status %s after %s ms" % (run.status.get("exit"), run.status.get("elapsed_ms")))
        self.check(run.status.get("exit") == "0x00000000", "setup ending with exit status 0")
        return run

    def show(self, run, expect_tail):
        """What Install started, what the runtime received, the boxes, the trace's new lines."""
        say_starts("Install started ", [s for s in run.starts("others") if s.command.startswith("JRE")])
        recs = self.m.records("javaw.exe") + self.m.records("java.exe")
        if self.check(len(recs) == 1, "the stand-in Java runtime being started once"):
            say("the stand-in Java runtime (%s) received:" % recs[0]["program"])
            for title, key in (("command line", "cmdline"), ("directory", "cwd"), ("KVI_START_DIR", "start_dir")):
                say("%-17s %s" % (title, quoted(recs[0][key]) if key == "cmdline" else recs[0][key]), 2)
            self.check(recs[0]["cmdline"].endswith(expect_tail), "the launch command ending in " + quoted(expect_tail))
        for box in run.boxes:
            say("message box %r: %r" % (box.caption, box.text))
        if not run.boxes:
            say("no message box was shown")
        if self.trace:
            lines = harness.read_bytes(self.prefix.unix(self.trace)).decode("utf-8", "replace").splitlines()
            say("the trace in %s:" % self.trace)
            for line in lines[self.trace_seen:]:
                say(line, 2)
            self.trace_seen = len(lines)

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
        if self.trace:
            harness.remove(self.prefix.unix(self.trace))
        say("Demonstration medium " + self.m.w("medium") + ":", 0)
        say("setup.exe, and _instkvi.com: the example bootstrap installer of examples/bootstrap,")
        say("made with NSIS; it carries the kit: this build's Install.exe and, standing in")
        say("for the Java runtime, JRE\\bin\\java.exe and javaw.exe")
        if self.bootstrap_is_pe():
            say("_instkvi.com is a PE program (MZ and PE headers, %s code), not a DOS .com file" % arch)
        say("Wine prefix " + self.prefix.path + ": installation record removed, no " + USUAL, 0)

        print("\n1. First run: setup on a clean machine")
        run = self.run_setup()
        say_starts("setup started ", run.starts("main"))
        self.check(any(s.command.startswith("_instkvi.com -s") for s in run.starts("main")),
                   "setup starting the bootstrap installer")
        top = self.prefix.unix(USUAL)
        files = sorted(os.path.relpath(os.path.join(d, n), top).replace("/", "\\")
                       for d, _, names in os.walk(top) for n in names)
        say("the bootstrap installer put its kit into %s: %s" % (USUAL, ", ".join(files)))
        self.check("Install.exe" in files, "the bootstrap installer installing Install.exe")
        say("and ran %s\\Install.exe -register with the options after -a; Install wrote:" % USUAL)
        view = " (the 32-bit registry view)" if arch == "i686" else ""
        for key, title in KEYS:
            entries = getattr(run, key)
            say(title + view + (":" if entries is not None else ": not there"))
            for name, (type_, data) in sorted((entries or {}).items()):
                say("%-16s %s  %2d bytes  %s" % (name, "REG_SZ" if type_ == 1 else "type %d" % type_, len(data),
                                                 quoted(data.rstrip(b"\0").decode("latin-1"))), 2)
        self.check("InstPath" in (run.record or {}) and "Version" in (run.record or {}),
                   "Install -register writing the record")
        self.check(run.uninstall, "Install -register writing the uninstall entry")
        link = self.m.link()
        if self.check(link.get("loaded") == "1", "the Start-menu shortcut " + self.m.link_path()):
            say("Start-menu shortcut " + self.m.link_path() + ":")
            for key, title in LINK:
                say("%-18s %s" % (title, quoted(link.get(key, ""))), 2)
            say("%-18s %s, index %s" % ("icon", link.get("icon", ""), link.get("icon_index", "?")), 2)
        self.show(run, "-register " + OPTIONS)

        print("\n2. Second run: setup finds the installed copy")
        run = self.run_setup()
        by_setup = run.starts("main")
        if by_setup:
            say("setup probed the installed copy: " + quoted(by_setup[0].command))
        if len(by_setup) > 1:
            say("it answered -1110, so setup handed off: " + quoted(by_setup[1].command))
        self.check(len(by_setup) == 2 and "-verctrl" in by_setup[0].command
                   and "-silentLaunch -register" in by_setup[1].command, "the version probe and the hand-off")
        if self.check(not [s for s in by_setup if s.command.startswith("_instkvi.com")],
                      "no bootstrap installer on the second run"):
            say("no bootstrap installer this time")
        self.show(run, "-silentlaunch -register  " + OPTIONS)

        print()
        if self.missing:
            print("The demonstration FAILED: %d step(s) did not happen:" % len(self.missing))
            for what in self.missing:
                say("- " + what)
            return 1
        print("Every step happened.")
        return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: demo.py <build folder>")
    sys.exit(Demo(sys.argv[1], bootstrap="example").main())
