#!/usr/bin/env python3
"""Pictures of every message box of setup.exe and Install.exe (make screenshots), into <out>/<name>.png.

The real program brings a box about wherever Wine can produce the situation (REAL); showbox.exe shows the
others (failures Wine never has) through the programs' own box code. The relay trace checks each picture.
"""

import argparse
import os
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

# Where the situations are laid out, in the tests' own prefix.
SCRATCH = "boxes"
# A current directory this long leaves no room for the shortcut's target (Install.exe behind it).
LONG_DIR = 248


def setup(m, option=""):
    medium = m.lay_medium(bootstrap=None)
    return medium + "\\setup.exe" + option, medium, None


def kit(m, folder, name="Install.exe", **how):
    kit = m.lay_kit(folder, install_name=name, **how)
    return kit + "\\" + name, kit, None


def register_in_long_folder(m):
    kit, base = m.lay_kit("registered", jre=False), m.w("long")
    cwd = m.place(base + "\\" + "d" * (LONG_DIR - len(base) - 1))[1]
    return "install.exe -register -noexecute", cwd, {"PATH": kit + ";C:\\windows\\system32;C:\\windows"}


# name: what brings the box about with the real program (command line, directory, environment).
REAL = {
    "setup-usage": lambda m: setup(m, " -help"),
    "setup-version": lambda m: setup(m, " -version"),
    "setup-launch-error": setup,
    "install-search-error": lambda m: kit(m, "renamed", "Launcher.exe"),
    # The program directory is what comes before the last "install" in the program's own name: here C:\boxes\a, which
    # does not exist.
    "install-directory-error": lambda m: kit(m, "ainstallb", "Launcher.exe", jre=False),
    "install-shortcut-error": register_in_long_folder,
    "install-launch-error": lambda m: kit(m, "bare", jre=False),
}


def shoot(m, screen, out, name):
    caption, text, style = harness.BOXES[name]
    m.clean()
    cmd, cwd, run_env = REAL[name](m) if name in REAL else ('"%s" %s %s %s' % (
        m.prefix.win(m.programs["showbox"]), caption.encode("latin-1").hex(), text.encode("latin-1").hex(),
        "error" if style == harness.MB_ICONERROR else "none"), None, None)
    run = m.run(cmd, cwd=cwd, run_env=run_env, wait=False)
    path = os.path.join(out, name + ".png")
    try:
        window = screen.wait_window(caption, run)
        if window is None:
            raise harness.HarnessError("no box %r for %s" % (caption, name))
        screen.picture(window, path + ".tmp")
        screen.press_return(window)
        run.wait_end(60)
    finally:
        run.kill()
    boxes = run.traced_boxes
    if not boxes or not boxes[0].matches(caption, text, style):
        os.remove(path + ".tmp")
        raise harness.HarnessError("%s: the first box shown was %r" % (name, boxes[:1]))
    os.replace(path + ".tmp", path)
    print("%-32s %s" % (name + ".png", "real program" if name in REAL else "showbox.exe"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--programs", required=True, help="programs.txt of a build")
    parser.add_argument("--out", required=True, help="folder for the pictures")
    parser.add_argument("-k", dest="pattern", help="only the pictures whose name contains this")
    options = parser.parse_args()
    programs = harness.read_programs(options.programs)
    reason = harness.cannot_run_reason(programs["arch"])
    if reason:
        print("screenshots: %s" % reason, file=sys.stderr)
        return harness.SKIP_STATUS
    os.makedirs(options.out, exist_ok=True)
    prefix = harness.Prefix(os.path.join(programs["work"], "wineprefix"), programs["kvitest"])
    prefix.ensure()
    m = harness.Machine(prefix, programs, prefix.drive_c(SCRATCH))
    for name in harness.BOXES:
        if not options.pattern or options.pattern in name:
            shoot(m, prefix.screen, options.out, name)
    shutil.rmtree(prefix.drive_c(SCRATCH), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
