"""The machine of every end-to-end use (Machine) and what lies under it: the host, the prefix and its
display, kvitest.exe, the stand-ins' records, the catalogue of boxes and Wine's relay trace (a Wine-only witness)."""

import atexit
import codecs
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.parse

# Wine's relay trace is limited to these functions: which boxes were shown, which processes were started and which
# folders were created with which descriptor.
RELAY_INCLUDE = "user32.MessageBoxA;kernel32.CreateProcessA;kernel32.CreateDirectoryA"
# Every program draws in one virtual desktop of Wine's: its windows are then no top-level X windows, whose closing
# Wine would hold up for two seconds waiting for a window manager that the suite's display does not have.
PREFIX_LAYOUT = "kvi-e2e prefix 4: virtual desktop, 32-bit Uninstall key; RelayInclude=" + RELAY_INCLUDE
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# The one place that knows the host: on Windows the programs start directly and drive C: is the machine's own;
# elsewhere they run under Wine in a prefix of the tests' own. Debian's "wine" always takes the 32-bit loader when it
# is installed, which cannot start at all on a host that runs no 32-bit x86 code; there, everything goes through
# Wine's own 64-bit loader and server.
ON_WINDOWS = os.name == "nt"
WINE64_LOADER = "/usr/lib/wine/wine64"
WINE64_SERVER = "/usr/lib/wine/wineserver64"
SKIP_STATUS = 77  # a suite that cannot run on this host (ctest's SKIP_RETURN_CODE)
_ARCHES = None


class HarnessError(Exception):
    """The test machinery itself failed, not a program under test."""


class StartRace(HarnessError):
    """kvitest.exe ended without a word, or a process ended before kvitest read it: a race under load, run again."""


def wine_arches():
    """["i686", "x86_64"], or ["x86_64"] on a host that runs no 32-bit code (KVI_WINE_ARCHES, from the Makefile)."""
    global _ARCHES
    if _ARCHES is None:
        answer = "i686 x86_64" if ON_WINDOWS else os.environ.get("KVI_WINE_ARCHES")
        if not answer:
            script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine_arches.sh")
            answer = subprocess.run(["sh", script], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                    check=True).stdout.decode()
        _ARCHES = answer.split()
        if not _ARCHES or any(a not in ("i686", "x86_64") for a in _ARCHES):
            raise HarnessError("unexpected answer from the Wine probe: %r" % answer)
    return _ARCHES


def host_runs_32bit():
    return "i686" in wine_arches()


def cannot_run_reason(arch):
    if arch in wine_arches():
        return None
    why = "KVI_WINE64_ONLY=1 asks for the 64-bit road" if os.environ.get("KVI_WINE64_ONLY") == "1" \
        else "this host cannot run 32-bit code"
    return "%s; the %s build is checked statically only" % (why, arch)


def wine(*args):
    if ON_WINDOWS:
        return list(args)
    return (["wine"] if host_runs_32bit() else [WINE64_LOADER]) + list(args)


def wineserver(*args):
    return (["wineserver"] if host_runs_32bit() else [WINE64_SERVER]) + list(args)


def loader_env(env):
    if not host_runs_32bit():
        env.update(WINELOADER=WINE64_LOADER, WINESERVER=WINE64_SERVER)
    return env


def prefix_path(path):
    return path if host_runs_32bit() else path + "-wine64"


def run_quietly(args, env, timeout):
    """Runs a Unix command: (exit code, stdout bytes, stderr bytes). Output goes through
    files, in a session of its own: Wine's background processes inherit them and may
    outlive the command by a minute, and a pipe would not see its end until they are gone."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            r = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               timeout=timeout, check=False, start_new_session=True)
        except subprocess.TimeoutExpired as e:
            raise HarnessError("%s did not end within %d s" % (" ".join(args[:2]), timeout)) from e
        out.seek(0)
        err.seek(0)
        return r.returncode, out.read(), err.read()


# --- texts, records and key=value output ----------------------------------------

def u8(s):
    """A name in any language as the tests handle texts: one character per byte of its UTF-8 form."""
    return s.encode("utf-8").decode("latin-1")


def unix_name(s):
    """A text of the tests (see u8) as a name on the Unix side."""
    try:
        return s.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return s


def parse_kv(data):
    """key=value lines, values percent-escaped; the programs' texts are 8-bit, latin-1 keeps every byte."""
    pairs = (line.partition("=") for line in data.splitlines() if "=" in line)
    return {k: urllib.parse.unquote_to_bytes(v).decode("latin-1") for k, _, v in pairs}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_text(path):
    return read_bytes(path).decode("latin-1")


def read_kv(path):
    return parse_kv(read_text(path))


def read_records(path):
    """The records a stand-in appended; a record without its end line is an error."""
    records, current = [], None
    for line in read_text(path).splitlines() if os.path.exists(path) else ():
        if line == "--- record":
            current = {}
        elif line == "--- end":
            if current is None:
                raise HarnessError("record end without start in " + path)
            records.append(current)
            current = None
        elif current is not None:
            current.update(parse_kv(line))
    if current is not None:
        raise HarnessError("unfinished record in " + path)
    return records


def registry(values, key):
    """One key ("record" or "uninstall") of kvitest regdump output as {name: (type, bytes)}, or None."""
    if values.get(key + ".exists") != "1":
        return None
    result, prefix = {}, key + ".value."
    for name, value in ((k[len(prefix):], v) for k, v in values.items() if k.startswith(prefix)):
        type_, size, hex_ = value.split(",", 2)
        result[name] = (int(type_), bytes.fromhex(hex_))
        if len(result[name][1]) != int(size):
            raise HarnessError("regdump size mismatch: " + value)
    return result


# --- the programs' message boxes, as the tests' golden file has them -------------

MB_OK = 0x0
MB_ICONERROR = 0x10


def _expected_boxes():
    """name: (caption, text, style) of every box, from the tests' golden file (tests/expected_boxes.txt), for the
    tests, the display suite and the pictures."""
    boxes = {}
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "expected_boxes.txt"),
              encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name, caption, icon, text_ = line.rstrip("\n").split("\t", 3)
            text_ = re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), text_)
            boxes[name] = (caption, text_, MB_ICONERROR if icon == "error" else MB_OK)
    return boxes


BOXES = _expected_boxes()


def _same_text(seen, cut, want):
    return want.startswith(seen) if cut else seen == want


class Box:
    """One message box: as kvitest saw it on the screen and closed it (its icon: the programs' only one is the error
    icon), or, style given, as the relay trace shows the MessageBoxA call (a text that Wine cut is a prefix)."""

    def __init__(self, pid, caption, text_, owned, icon=False, style=None, cut=(False, False)):
        self.pid, self.caption, self.text, self.owned, self.style, self.cut = pid, caption, text_, owned, style, cut
        self.icon = icon if style is None else bool(style & MB_ICONERROR)

    def matches(self, caption, text_, style=None):
        return (_same_text(self.caption, self.cut[0], caption) and _same_text(self.text, self.cut[1], text_)
                and not self.owned and (style is None or (
                    self.icon == bool(style & MB_ICONERROR) if self.style is None else self.style == style)))

    def __repr__(self):
        return "Box(pid=%d, caption=%r, text=%r%s, %s)" % (
            self.pid, self.caption, self.text, "..." if self.cut[1] else "",
            "error icon" if self.style is None and self.icon else "style=0x%X" % (self.style or 0))


# --- the processes of a run -----------------------------------------------------

# Processes that a run's job holds beside the ones the programs started: the console host that Windows and Wine start
# for a console program given no window of its own (setup's probe and hand-off), and Wine's desktop process.
NOT_STARTED_BY_THE_PROGRAMS = ("conhost.exe",) if ON_WINDOWS else ("conhost.exe", "explorer.exe")
# Wine makes a process before it loads the program, and a start that then fails leaves one that never ran; Windows
# makes no process for a start that fails.
NEVER_RAN = "unread (ended, 0xC0000135)"


class Proc:
    """One process of a run as kvitest read it from the process itself (every host)."""

    def __init__(self, status, n):
        self.pid, self.parent, self.image, self.command, self.state = (
            status.get("proc.%d.%s" % (n, key), "") for key in ("pid", "parent", "image", "cmdline", "state"))
        self.pid, self.parent = int(self.pid), int(self.parent or 0)
        self.read = self.state == "read"

    def matches(self, command, application=None):
        """The whole command line, and the program: the given application name, else
        the program the command line names first (a full path, or a path ending so)."""
        if not self.read or self.command != command:
            return False
        first = command[1:].split('"', 1)[0] if command.startswith('"') else command.split(" ", 1)[0]
        # Windows takes a doubled backslash in a path as one.
        want, image = re.sub(r"\\+", r"\\", (application or first).lower()), self.image.lower()
        return image == want or (re.match(r"^[a-z]:\\", want) is None and image.endswith("\\" + want))

    def __repr__(self):
        return "Proc(pid=%d, parent=%d, image=%r, %s)" % (
            self.pid, self.parent, self.image, "command=%r" % self.command if self.read else self.state)


# --- Wine's relay trace -----------------------------------------------------------

_CALL_RE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Call (?:user32|USER32|kernel32|KERNEL32)\.(\w+)\((.*)\) ret=\w+$",
                      re.M)
_ARG_RE = re.compile(r'([0-9a-fA-F]+)(?: "((?:[^"\\]|\\.)*)"(\.\.\.)?)?(?:,|$)')
_RET_RE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Ret  (?:kernel32|KERNEL32)\.CreateProcessA\(\) retval=([0-9a-f]+)",
                     re.M)


def wine_unescape(s):
    """Undoes the escaping of strings in Wine's debug output (\\n, \\t, \\xNN, ...)."""
    return codecs.decode(s.encode("latin-1"), "unicode_escape")


def parse_calls(trace, function):
    """[(pid, thread, [(number, text or None, cut)])] for each traced call of function, in order.
    A 64-bit trace shows whole registers: an int argument is their low half."""
    calls = []
    for m in _CALL_RE.finditer(trace):
        if m.group(3) == function:
            args = [(int(a.group(1), 16), None if a.group(2) is None else wine_unescape(a.group(2)),
                     bool(a.group(3))) for a in _ARG_RE.finditer(m.group(4))]
            calls.append((int(m.group(1), 16), m.group(2), args))
    return calls


# Programs the programs start by a full path that they resolve themselves: the bootstrap installer beside setup, the
# runtime under Install's folder. Every other command line names its program itself, with no separate name.
RESOLVED_PROGRAMS = ("_instkvi.com", "JRE\\bin\\java.exe", "JRE\\bin\\javaw.exe")


class Start:
    """One CreateProcessA call seen in the relay trace, and whether it succeeded (None: not shown)."""

    def __init__(self, pid, args, succeeded):
        self.pid, self.succeeded = pid, succeeded
        (self.application, self.application_text, self.application_cut), (_, self.command, self.command_cut) = args[:2]
        self.inherit, self.flags = args[4][0] & 0xFFFFFFFF, args[5][0] & 0xFFFFFFFF
        self.environment, self.directory = args[6][0], args[7][0]

    def application_matches(self, command, application=None):
        """The given full path (any letter case); without one, for a command that starts
        with a resolved program, a full path ending in its name, else no name at all."""
        first = command.split(" ", 1)[0]
        if application is None and first not in RESOLVED_PROGRAMS:
            return self.application == 0
        seen = (self.application_text or "").lower()
        if application is not None:
            return self.application != 0 and _same_text(seen, self.application_cut, application.lower())
        # Wine's trace may cut a long string, without its "..." mark when one character is missing: then only the
        # drive can be checked.
        cut = self.application_cut or len(seen) >= 200
        return (self.application != 0 and re.match(r"^[a-z]:\\", seen) is not None
                and (cut or seen.endswith("\\" + first.lower())))

    def matches(self, command, inherit=0, flags=0, application=None):
        return (self.application_matches(command, application) and self.command is not None
                and _same_text(self.command, self.command_cut, command)
                and self.inherit == inherit and self.flags == flags
                and self.environment == 0 and self.directory == 0)

    def __repr__(self):
        return "Start(pid=%d, application=%r, command=%r%s, inherit=%d, flags=0x%X%s%s)" % (
            self.pid, self.application_text, self.command, "..." if self.command_cut else "", self.inherit,
            self.flags, "" if self.environment == 0 and self.directory == 0 else ", environment/directory given",
            ", failed" if self.succeeded is False else "")


def parse_starts(trace):
    """Each CreateProcessA call with what it returned: a thread's calls return in the
    order it made them, and no traced call nests in another."""
    returns = {}
    for m in _RET_RE.finditer(trace):
        returns.setdefault((int(m.group(1), 16), m.group(2)), []).append(int(m.group(3), 16) != 0)
    calls = parse_calls(trace, "CreateProcessA")
    results = [returns[(pid, t)].pop(0) if returns.get((pid, t)) else None for pid, t, _ in calls]
    return [Start(pid, args, ok) for (pid, _, args), ok in zip(calls, results) if len(args) == 10]


# --- kvitest.exe --------------------------------------------------------------------

class Result:  # one start of kvitest.exe
    def __init__(self, returncode, stdout, trace):
        self.returncode, self.stdout, self.trace = returncode, stdout, trace
        self.values = parse_kv(stdout.decode("latin-1"))


def kvitest_args(kvitest_exe, chain):
    return [kvitest_exe] + [a for i, command in enumerate(chain) for a in ([";;"] if i else []) + list(command)]


class Prefix:
    """A Wine prefix of the tests' own, with the helper kvitest.exe of one architecture."""

    def __init__(self, path, kvitest):
        self.path = os.path.abspath(prefix_path(path))
        self.kvitest_exe = os.path.abspath(kvitest)
        self._programs = None
        # A display for every run, as a Windows session has one: a box is then a window that waits for its OK, which
        # kvitest.exe finds, reads and presses.
        self.screen = None

    def drive_c(self, *parts):
        return os.path.join("C:\\" if ON_WINDOWS else os.path.join(self.path, "drive_c"), *parts)

    def win(self, unix_path):
        unix_path, root = os.path.abspath(unix_path), self.drive_c()
        if ON_WINDOWS:
            return unix_path
        if unix_path == root or unix_path.startswith(root + os.sep):
            rest = os.path.relpath(unix_path, root)
            return "C:\\" + ("" if rest == "." else rest.replace("/", "\\"))
        return "Z:" + unix_path.replace("/", "\\")

    def unix(self, win_path):
        """The Unix path of a C: path, its folders found in any letter case as Windows would."""
        if not re.match(r"^[cC]:\\", win_path):
            raise HarnessError("not a C: path: " + win_path)
        win_path, path = unix_name(win_path), self.drive_c()
        if ON_WINDOWS:
            return win_path
        for part in (p for p in win_path[3:].split("\\") if p):
            exact = os.path.join(path, part)
            if not os.path.exists(exact) and os.path.isdir(path):
                exact = next((os.path.join(path, e) for e in os.listdir(path) if e.lower() == part.lower()), exact)
            path = exact
        return path

    def running(self, command_start):
        """Whether a process of this prefix runs whose command line begins so (any case): under Wine a Unix one."""
        want = command_start.lower().encode("latin-1")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if read_bytes("/proc/%s/cmdline" % pid).replace(b"\0", b" ").lower().startswith(want) and \
                        ("WINEPREFIX=" + self.path).encode() in read_bytes("/proc/%s/environ" % pid).split(b"\0"):
                    return True
            except OSError:
                continue  # ended meanwhile, or not ours to read
        return False

    def env(self, extra=None, relay=False):
        env = {k: v for k, v in os.environ.items() if not k.startswith("KVI_") and k not in (
            "DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG", "WINEARCH", "WINEPREFIX", "WINEDLLOVERRIDES", "WINELOADER",
            "WINESERVER")}
        if not ON_WINDOWS:
            env.update(WINEPREFIX=self.path, WINEDLLOVERRIDES=DLL_OVERRIDES,
                       WINEDEBUG="-all,+pid,+relay" if relay else "-all")
            if self.screen is not None:
                env["DISPLAY"] = self.screen.display
            loader_env(env)
        env.update(extra or {})
        return env

    def ensure(self):
        """Makes the prefix on first use, then keeps its Wine server and desktop running."""
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        if ON_WINDOWS:
            return  # a real session: its own display, no prefix to make
        if self.screen is None:
            self.screen = Screen()
            atexit.register(self.screen.close)
        import fcntl  # Unix only, like everything below
        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            marker = os.path.join(self.path, ".kvi-e2e-ready")
            layout = read_text(marker).strip() if os.path.exists(marker) else None
            steps = [] if layout == PREFIX_LAYOUT else [(wine("reg", "add", key, *args, "/f"), {}) for key, args in (
                ("HKCU\\Software\\Wine\\Debug", ("/v", "RelayInclude", "/t", "REG_SZ", "/d", RELAY_INCLUDE)),
                ("HKCU\\Software\\Wine\\Explorer", ("/v", "Desktop", "/d", "Default")),
                ("HKCU\\Software\\Wine\\Explorer\\Desktops", ("/v", "Default", "/d", "640x480")),
                # Windows always has the key of the uninstall entries in the 32-bit view; a prefix made without Wine's
                # 32-bit half lacks it.
                ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", ("/reg:32",)))]
            if layout is None:
                shutil.rmtree(self.path, ignore_errors=True)
                steps.insert(0, (wine("wineboot", "-i"), {"WINEARCH": "win64"}))
            for step, env in steps:
                code, out, err = run_quietly(step, self.env(env), 300)
                if code != 0:
                    raise HarnessError("making the Wine prefix failed at %s:\n%s" % (
                        " ".join(step), (out + err).decode("utf-8", "replace")[-3000:]))
            if steps:
                with open(marker, "w") as f:
                    f.write(PREFIX_LAYOUT + "\n")
        # A server that stays a while after the last program keeps Wine's desktop process alive between the steps of
        # a test; the desktop is started here, so no run waits for it. (When a server runs already, this one ends.)
        subprocess.Popen(wineserver("-p60"), env=self.env(), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        r = self.kvitest([["desktop"]])
        if r.returncode != 0:
            raise HarnessError("Wine does not run kvitest.exe:\n" + r.trace[-3000:])

    def kvitest(self, chain, env=None, relay=False, timeout=180):
        code, out, err = run_quietly(wine(*kvitest_args(self.kvitest_exe, chain)), self.env(env, relay), timeout)
        return Result(code, out, err.decode("latin-1"))

    def programs_folder(self):
        """The current user's Programs folder of the Start menu."""
        if self._programs is None:
            r = self.kvitest([["programs"]])
            if "programs" not in r.values:
                raise HarnessError("kvitest programs gave nothing:\n" + r.trace[-2000:])
            self._programs = r.values["programs"]
        return self._programs


class Screen:
    """An Xvfb display of our own (at a free number: two runs side by side never meet) on which Wine draws
    the boxes; xdotool finds and presses them, ImageMagick's import takes pictures."""

    def __init__(self, width=640, height=480):
        self.size = "%dx%d" % (width, height)
        for tool in ("Xvfb", "xdotool"):
            if shutil.which(tool) is None:
                raise HarnessError("%s is missing (tools/deps.sh installs it)" % tool)
        read_end, write_end = os.pipe()
        self._server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size + "x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as f:
            number = f.readline().strip()  # ends when Xvfb is ready, or when it dies
        if not number.isdigit():
            self.close()
            raise HarnessError("Xvfb did not start")
        self.display = ":" + number.decode()

    def close(self):
        if self._server.poll() is None:
            self._server.terminate()
            try:
                self._server.wait(10)
            except subprocess.TimeoutExpired:
                self._server.kill()
                self._server.wait()

    def _tool(self, *args, check=True):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": self.display}
        r = subprocess.run(list(args), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60, check=False)
        if check and r.returncode != 0:
            raise HarnessError("%s failed: %s" % (" ".join(args[:2]), r.stderr.decode("utf-8", "replace")))
        return r

    def windows(self, title):
        r = self._tool("xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title), check=False)
        return [int(w) for w in r.stdout.split()]

    def wait_window(self, title, run, timeout=60):
        """The one window titled `title`; None after `timeout` s or once the run has ended."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.windows(title)
            if len(found) > 1:
                raise HarnessError("%d windows titled %r" % (len(found), title))
            if found or run.ended():
                return found[0] if found else None
            time.sleep(0.2)
        return None

    def press_return(self, window):
        """Presses Return in the window: the OK of a box."""
        self._tool("xdotool", "windowfocus", "--sync", str(window))
        self._tool("xdotool", "key", "--clearmodifiers", "Return")

    def picture(self, window, path, colours=64):
        """A PNG of the window alone, taken again until it shows more than a plain area:
        a window is mapped a moment before Wine paints it."""
        self._tool("xdotool", "windowfocus", "--sync", str(window))
        for _ in range(40):
            time.sleep(0.25)
            self._tool("import", "-window", str(window), "+dither", "-colors", str(colours), "-strip", "PNG8:" + path)
            if int(self._tool("identify", "-format", "%k", path).stdout or b"0") > 4:
                return
        raise HarnessError("the window %d was never painted" % window)


# --- the machine ------------------------------------------------------------------

def read_programs(listing):
    """A build's programs.txt as {name: path}, a name without a folder beside the list."""
    with open(listing) as f:
        pairs = [line.strip().partition("=") for line in f]
    return {key: value if key == "arch" else os.path.join(os.path.dirname(os.path.abspath(listing)), value)
            for key, _, value in pairs if key}


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


class Machine:
    """The Windows machine of a test, the demonstration or the pictures: media and kits in a folder of its
    own, command lines run through kvitest.exe, and the records, registry and shortcut read back."""

    def __init__(self, prefix, programs, root, win_root=None):
        self.prefix, self.programs, self.root = prefix, programs, root
        self.win_root = win_root or prefix.win(root)
        self.rec = os.path.join(root, "rec")
        self.start = None      # the current directory of a run that names none
        self.runs = 0
        self._clear_registry = True

    def shortcut_folder(self):
        return self.prefix.programs_folder() + "\\Halvik Torvanex"

    def link_path(self):
        return self.shortcut_folder() + "\\Halvik Install.lnk"

    def clean(self):
        """A fresh folder, no usual location (folder or file) and no Start-menu folder;
        the next kvitest start clears the installation record and uninstall entry."""
        for path in (self.root, self.prefix.drive_c("HalvikTorvanex"), self.prefix.unix(self.shortcut_folder())):
            remove(path)
        os.makedirs(self.rec)
        self._clear_registry = True
        return self

    def dir(self, *parts):
        return os.path.join(self.root, *(unix_name(p) for p in parts))

    def w(self, *parts):
        return self.win_root + "".join("\\" + p for p in parts)

    def place(self, folder):
        """A folder below the machine's own (or a C: path), made: (Unix path, Windows path)."""
        if re.match(r"^[A-Za-z]:\\", folder):
            unix, win = self.prefix.unix(folder), folder
        else:
            unix, win = self.dir(*folder.split("\\")), self.w(folder)
        os.makedirs(unix, exist_ok=True)
        return unix, win

    def lay_medium(self, folder="medium", setup_name="setup.exe", bootstrap="bootstrap", kit=False):
        """setup.exe and a bootstrap installer ("bootstrap": the stand-in, "example_bootstrap",
        None: none), with kit=True the kit in "kit" beside them; the medium's Windows path."""
        unix, win = self.place(folder)
        shutil.copy(self.programs["setup"], os.path.join(unix, setup_name))
        if bootstrap:
            shutil.copy(self.programs[bootstrap], os.path.join(unix, "_instkvi.com"))
        if kit:
            self.lay_kit(folder + "\\kit")
        return win

    def lay_kit(self, folder, install="real", jre=True, install_name="Install.exe"):
        """Install.exe (the real one, "standin", or None) and JRE\\bin; the folder's Windows path."""
        unix, win = self.place(folder)
        if install:
            shutil.copy(self.programs["install" if install == "real" else "install_standin"],
                        os.path.join(unix, install_name))
        if jre:
            os.makedirs(os.path.join(unix, "JRE", "bin"), exist_ok=True)
            for name in ("java", "javaw"):
                shutil.copy(self.programs[name], os.path.join(unix, "JRE", "bin", name + ".exe"))
        return win

    def input_file(self, name, data):
        with open(self.dir(name), "wb") as f:
            f.write(data)
        return self.prefix.win(self.dir(name))

    def kvitest(self, chain, env=None, trace_path=None):
        """One start of kvitest.exe (the first after clean() also clears the registry): its
        Result; with a trace_path, for Wine's trace, it returns at once: the Popen."""
        if self._clear_registry:
            chain, self._clear_registry = [["regdel"]] + list(chain), False
        env = dict({"KVI_RECORD_DIR": self.prefix.win(self.rec)}, **(env or {}))
        if trace_path:
            with open(trace_path, "wb") as trace:
                return subprocess.Popen(wine(*kvitest_args(self.prefix.kvitest_exe, chain)),
                                        env=self.prefix.env(env, relay=True), stdin=subprocess.DEVNULL,
                                        stdout=trace, stderr=trace, start_new_session=True)
        r = self.prefix.kvitest(chain, env=env, relay=True)
        if r.returncode != 0:
            raise StartRace("kvitest.exe failed:\n%s\n%s" % (r.stdout.decode("latin-1"), r.trace[-3000:]))
        return r

    def run(self, cmd, cwd=None, before=(), after=(), env=None, stdin=None, capture_stdout=False,
            console=False, run_env=None, unset=(), timeout_ms=60000, wait=True):
        """Runs one command line (byte for byte): a Run. wait=False: returns at once, and the
        run's boxes wait for the caller to press their OK on the prefix's screen (Run.wait_end)."""
        self.runs += 1
        status, trace, out = (os.path.join(self.rec, "%s-%d.%s" % (name, self.runs, ext))
                              for name, ext in (("status", "txt"), ("trace", "txt"), ("stdout", "bin")))
        cwd = cwd or self.start
        args = ["run", "--status", self.prefix.win(status), "--cmd-hex", cmd.encode("latin-1").hex(),
                "--timeout", str(timeout_ms), "--tree-timeout", "30000"]
        args += [] if wait else ["--boxes", "leave"]
        args += ["--cwd-hex", cwd.encode("latin-1").hex()] if cwd else []
        args += (["--stdin", stdin] if stdin else []) + (["--stdout", self.prefix.win(out)] if capture_stdout else [])
        args += ["--console", "1"] if console else []
        args += [a for name, value in (run_env or {}).items() for a in ("--env", "%s=%s" % (name, value))]
        args += [a for name in unset for a in ("--unset", name)]
        chain = list(before) + [args] + list(after)
        if not wait:
            return Run(status, process=self.kvitest(chain, env, trace), trace_path=trace)
        r = self.kvitest(chain + [["regdump"]], env=env)
        if not os.path.exists(status):
            raise HarnessError("no status from kvitest run:\n" + r.trace[-3000:])
        return Run(status, result=r, stdout_path=out if capture_stdout else None)

    def records(self, program):
        return read_records(os.path.join(self.rec, program + ".rec"))

    def clear_records(self):
        for name in os.listdir(self.rec):
            if name.endswith(".rec"):
                os.remove(os.path.join(self.rec, name))

    def link(self):
        """The shortcut Install makes, as kvitest reads it ("loaded": "1" when it is there)."""
        return self.kvitest([["lnkread", self.link_path()]]).values

    def usual_location_exists(self):
        return (os.path.isdir(self.prefix.drive_c("HalvikTorvanex")),
                os.path.isdir(self.prefix.drive_c("HalvikTorvanex", "Install")))


# FILETIME (100 ns since 1601) of the Unix epoch: kvitest gives the end of a run so.
UNIX_EPOCH_FILETIME = 116444736000000000


class Run:
    """One command line's run: kvitest's status, the registry afterwards, what the program printed and
    (under Wine) the relay trace; a run not waited for has them once wait_end() has seen it end."""

    def __init__(self, status_path, result=None, stdout_path=None, process=None, trace_path=None):
        self.status_path, self.result, self.process, self.trace_path = status_path, result, process, trace_path
        self.status = read_kv(status_path) if result else None
        self.stdout = read_bytes(stdout_path) if stdout_path and os.path.exists(stdout_path) else None

    def ended(self):
        return os.path.exists(self.status_path)

    def wait_end(self, timeout):
        """Whether a run not waited for ends within timeout seconds."""
        deadline = time.monotonic() + timeout
        while self.status is None and time.monotonic() < deadline:
            time.sleep(0.1)
            if self.ended():
                # The status is written in one piece once the run and everything it started have ended.
                time.sleep(0.2)
                self.status = read_kv(self.status_path)
        try:
            self.process.wait(30)  # Wine's trace is whole once kvitest has ended
        except subprocess.TimeoutExpired:
            pass  # a kvitest that lingers is not the program's fault; kill() ends it
        self.result = Result(0, b"", read_text(self.trace_path))
        return self.status is not None

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, 9)  # kvitest's session, and the programs it started there
            self.process.wait()

    def ended_at(self):
        return int(self.status["time_end"])

    @property
    def boxes(self):
        status = self.status or {}
        boxes = ([status.get("box.%d.%s" % (n, key), "") for key in ("pid", "caption", "text", "owner", "icon")]
                 for n in range(1, int(status.get("boxes", "0")) + 1))
        return [Box(int(pid or 0), caption, text_, owner == "1", icon=icon == "1")
                for pid, caption, text_, owner, icon in boxes]

    @property
    def traced_boxes(self):
        return [Box(pid, a[2][1] or "", a[1][1] or "", a[0][0] != 0, style=a[3][0] & 0xFFFFFFFF,
                    cut=(a[2][2], a[1][2]))
                for pid, _, a in parse_calls(self.result.trace, "MessageBoxA") if len(a) == 4]

    record = property(lambda self: registry(self.result.values, "record"))
    uninstall = property(lambda self: registry(self.result.values, "uninstall"))

    def box_answers(self):
        """The button that closed each traced box."""
        return [int(v, 16) for v in re.findall(r"^[0-9a-f]+:[0-9a-f]+:Ret  user32\.MessageBoxA\(.*retval=([0-9a-f]+)",
                                               self.result.trace, re.M | re.I)]

    def created_dirs(self):
        """[(folder, whether a descriptor was given)] of the started program's CreateDirectoryA calls (Wine only)."""
        return [(a[0][1], a[1][0] != 0) for pid, _, a in parse_calls(self.result.trace, "CreateDirectoryA")
                if len(a) == 2 and pid == int(self.status["main_pid"])]

    def _by(self, starter, by):
        runner, main = int(self.status["runner_pid"]), int(self.status.get("main_pid", "0"))
        return starter != runner and (by == "all" or (by == "main") == (starter == main))

    def starts(self, by="all"):
        """The processes started by the started program ("main"), the others ("others") or all,
        as kvitest read them (every host). One kvitest could not read counts as started by another."""
        procs = [Proc(self.status, n) for n in range(1, int(self.status.get("procs", "0")) + 1)]
        return [p for p in procs if self._by(p.parent, by) and (ON_WINDOWS or p.state != NEVER_RAN)
                and p.image.lower().rsplit("\\", 1)[-1] not in NOT_STARTED_BY_THE_PROGRAMS]

    def traced_starts(self, by="all"):
        """The same as the relay trace shows them (Wine only): also those that failed, with their flags."""
        return [s for s in parse_starts(self.result.trace) if self._by(s.pid, by)]
