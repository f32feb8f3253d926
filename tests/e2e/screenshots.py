#!/usr/bin/env python3
"""Pictures of every message box of setup.exe and Install.exe (make screenshots).

Each box is brought about under Wine on a virtual display, as a user would
meet it, with the real program wherever Wine can produce the situation: a
medium without the bootstrap installer, Install under another name, a kit
without the Java runtime, and so on. The others need failures Wine never
has (a registry write refused to an administrator, a pipe that cannot be
made); showbox.exe shows those through the programs' own message-box code
with the very same text, caption and style. Every picture is checked against
the relay trace before it is kept: the box shown must be the one named.

Writes <out>/<name>.png, each cut to the box's window. docs/boxes.md shows them.

Usage: screenshots.py --programs <build>/tests/e2e/programs.txt --out docs/boxes [-k NAME]
"""

import argparse
import os
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import MB_ICONERROR  # noqa: E402

# Where the situations are laid out, in the tests' own prefix.
SCRATCH = "boxes"
# A current directory this long leaves no room for the shortcut's target (Install.exe behind it).
LONG_DIR = 248

# name: how it is brought about, ("real", situation) or ("showbox",); the box itself is harness.BOXES[name].
HOW = {
    "setup-usage": ("real", "setup -help"),
    "setup-version": ("real", "setup -version"),
    "setup-original-source-error": ("showbox",),
    "setup-launch-error": ("real", "setup without _instkvi.com"),
    "install-search-error": ("real", "Install renamed"),
    "install-directory-error": ("real", "install in a folder name"),
    "install-registration-error": ("showbox",),
    "install-shortcut-error": ("real", "register in a long folder"),
    "install-launch-error": ("real", "kit without runtime"),
    "install-launch-memory-error": ("showbox",),
    "install-pipe-error": ("showbox",),
    "install-pipe-input-error": ("showbox",),
    "install-duplicate-error": ("showbox",),
    "install-restore-input-error": ("showbox",),
    "install-invalid-input-error": ("showbox",),
    "install-close-error": ("showbox",),
    "install-process-code-error": ("showbox",),
}


class Shooter:
    def __init__(self, options, prefix, screen):
        self.o = options
        self.prefix = prefix
        self.screen = screen
        self.m = harness.Machine(prefix, vars(options), prefix.drive_c(SCRATCH))

    def situation(self, name, how):
        """The command line, its directory and environment that bring the box about."""
        if how[0] == "showbox":
            return None, None, {}
        what, m = how[1], self.m
        if what.startswith("setup"):
            medium = m.lay_medium(bootstrap=None)
            if what == "setup without _instkvi.com":
                return medium + "\\setup.exe", medium, {}
            return medium + "\\setup.exe " + what.split()[1], medium, {}
        if what == "Install renamed":
            kit = m.lay_kit("renamed", install_name="Launcher.exe")
            return kit + "\\Launcher.exe", kit, {}
        if what == "install in a folder name":
            # The program directory is what comes before the last "install" in
            # the program's own name: here C:\boxes\a, which does not exist.
            kit = m.lay_kit("ainstallb", install_name="Launcher.exe", jre=False)
            return kit + "\\Launcher.exe", kit, {}
        if what == "kit without runtime":
            kit = m.lay_kit("bare", jre=False)
            return kit + "\\Install.exe", kit, {}
        if what == "register in a long folder":
            kit = m.lay_kit("registered", jre=False)
            base = m.w("long")
            cwd = m.place(base + "\\" + "d" * (LONG_DIR - len(base) - 1))[1]
            return "install.exe -register -noexecute", cwd, {"PATH": kit + ";C:\\windows\\system32;C:\\windows"}
        raise ValueError(what)

    def shoot(self, name, caption, text, style, how):
        self.m.clean()
        cmd, cwd, run_env = self.situation(name, how)
        if cmd is None:
            cmd = '"%s" %s %s %s' % (self.prefix.win(self.o.showbox), caption.encode("latin-1").hex(),
                                     text.encode("latin-1").hex(), "error" if style == MB_ICONERROR else "none")
        run = self.m.show(self.screen, cmd, cwd=cwd, env={"WINEDEBUG": "-all,+pid,+relay"}, run_env=run_env)
        try:
            window = self.screen.wait_window(caption, timeout=60, still=lambda: not run.ended())
            if window is None:
                raise harness.HarnessError("no box %r for %s" % (caption, name))
            path = os.path.join(self.o.out, name + ".png")
            self.screen.picture(window, path + ".tmp")
            self.screen.press_return(window)
            run.wait_end(60)
        finally:
            run.kill()
        boxes = run.traced_boxes
        if not boxes or not boxes[0].matches(caption, text, style):
            os.remove(path + ".tmp")
            raise harness.HarnessError("%s: the first box shown was %r" % (name, boxes[:1]))
        os.replace(path + ".tmp", path)
        print("%-32s %s" % (name + ".png", "real program" if how[0] == "real" else "showbox.exe"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--programs", required=True, help="programs.txt of a build")
    parser.add_argument("--out", required=True, help="folder for the pictures")
    parser.add_argument("-k", dest="pattern", help="only the pictures whose name contains this")
    options = parser.parse_args()
    for key, value in harness.read_programs(options.programs).items():
        setattr(options, key, value)
    reason = harness.cannot_run_reason(options.arch)
    if reason:
        print("screenshots: %s" % reason, file=sys.stderr)
        return harness.SKIP_STATUS
    os.makedirs(options.out, exist_ok=True)
    prefix = harness.Prefix(os.path.join(options.work, "wineprefix"), options.kvitest)
    prefix.ensure()
    with harness.Screen() as screen:
        shooter = Shooter(options, prefix, screen)
        for name, how in HOW.items():
            if not options.pattern or options.pattern in name:
                shooter.shoot(name, *harness.BOXES[name], how)
    shutil.rmtree(prefix.drive_c(SCRATCH), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
