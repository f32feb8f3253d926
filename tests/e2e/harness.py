"""The machine every end-to-end use works on (Machine), and what lies under it: the host
(Wine here, Windows there), the prefix and its display, kvitest.exe, the stand-ins'
records, the one catalogue of the programs' boxes (BOXES) and Wine's relay trace, a
second, Wine-only witness. Standard library only.
"""

import atexit
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.parse

# Wine's relay trace is limited to these functions (see Prefix._create): it
# shows which message boxes were shown, which processes were started and which
# folders were created with which security descriptor.
RELAY_INCLUDE = "user32.MessageBoxA;kernel32.CreateProcessA;kernel32.CreateDirectoryA"
# Every program draws in one virtual desktop of Wine's: its windows are then no
# top-level X windows, whose closing Wine would hold up for two seconds waiting
# for a window manager that the suite's display does not have.
PREFIX_LAYOUT = "kvi-e2e prefix 4: virtual desktop, 32-bit Uninstall key; RelayInclude=" + RELAY_INCLUDE
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Wine's own 64-bit loader and server. Debian's "wine" command always takes
# the 32-bit loader when it is installed, which cannot start at all on a host
# that runs no 32-bit x86 code; there, everything goes through these directly.
# The one place that knows the host: on Windows the programs start directly
# and drive C: is the machine's own; anywhere else they run under Wine in a
# prefix of the tests' own, whose drive_c is drive C:.
ON_WINDOWS = os.name == "nt"
WINE64_LOADER = "/usr/lib/wine/wine64"
WINE64_SERVER = "/usr/lib/wine/wineserver64"
SKIP_STATUS = 77  # a suite that cannot run on this host (ctest's SKIP_RETURN_CODE)
_ARCHES = None


def wine_arches():
    """The builds whose programs this host runs under Wine: ["i686", "x86_64"],
    or ["x86_64"] alone on a host that cannot run 32-bit x86 code (or with
    KVI_WINE64_ONLY=1). The Makefile decides once per command and passes it
    down as KVI_WINE_ARCHES; without it, tools/wine_arches.sh is asked once."""
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
    """None when this host runs the programs of `arch` under Wine, else one line saying why not."""
    if arch in wine_arches():
        return None
    why = "KVI_WINE64_ONLY=1 asks for the 64-bit road" if os.environ.get("KVI_WINE64_ONLY") == "1" \
        else "this host cannot run 32-bit code"
    return "%s; the %s build is checked statically only" % (why, arch)


def wine(*args):
    """The command that runs a Windows program (or a Wine tool such as wineboot or
    reg) with the loader this host can use."""
    if ON_WINDOWS:
        return list(args)
    return (["wine"] if host_runs_32bit() else [WINE64_LOADER]) + list(args)


def wineserver(*args):
    return (["wineserver"] if host_runs_32bit() else [WINE64_SERVER]) + list(args)


def loader_env(env):
    """Points Wine's own later starts (programs, the server) at the loader in use."""
    if not host_runs_32bit():
        env["WINELOADER"] = WINE64_LOADER
        env["WINESERVER"] = WINE64_SERVER
    return env


def prefix_path(path):
    """A prefix made under one set of loaders is never used under the other."""
    return path if host_runs_32bit() else path + "-wine64"


class HarnessError(Exception):
    """The test machinery itself failed (as opposed to a program under test)."""


def run_quietly(args, env, timeout):
    """Runs a Unix command and returns (exit code, stdout bytes, stderr bytes).

    Output goes through files, not pipes: Wine's own background processes
    (services, the desktop) inherit them and may outlive the command by a
    minute, and a pipe would not see its end until they are gone. For the
    same reason the command runs in a session of its own, away from the
    caller's process group."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            r = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               timeout=timeout, check=False, start_new_session=True)
        except subprocess.TimeoutExpired as e:
            raise HarnessError("%s did not end within %d s" % (" ".join(args[:2]), timeout)) from e
        out.seek(0)
        err.seek(0)
        return r.returncode, out.read(), err.read()


def unescape(value):
    """Undoes the percent-escaping of records and kvitest output; returns bytes."""
    return urllib.parse.unquote_to_bytes(value)


def text(value):
    """A record value as text (the programs' texts are 8-bit; latin-1 keeps every byte)."""
    return unescape(value).decode("latin-1")


def u8(s):
    """A name in any language as the tests handle texts: one character per byte of
    its UTF-8 form. The programs and the helpers run with UTF-8 as their ANSI code
    page, so this is how records, traces and the registry give such a name back,
    and how a command line or a path carries it to them."""
    return s.encode("utf-8").decode("latin-1")


def unix_name(s):
    """A text of the tests (one character per byte) as a name on the Unix side: its
    bytes read as UTF-8 when they are UTF-8 (see u8), else the text unchanged."""
    try:
        return s.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return s


def read_kv(path):
    """Reads key=value lines into a dict of texts."""
    result = {}
    with open(path, "rb") as f:
        for raw in f.read().decode("latin-1").splitlines():
            if "=" in raw:
                key, _, value = raw.partition("=")
                result[key] = text(value)
    return result


def read_records(path):
    """Reads the records a stand-in appended; a record without its end line is an error."""
    if not os.path.exists(path):
        return []
    records, current = [], None
    with open(path, "rb") as f:
        for raw in f.read().decode("latin-1").splitlines():
            if raw == "--- record":
                current = {}
            elif raw == "--- end":
                if current is None:
                    raise HarnessError("record end without start in " + path)
                records.append(current)
                current = None
            elif current is not None and "=" in raw:
                key, _, value = raw.partition("=")
                current[key] = text(value)
    if current is not None:
        raise HarnessError("unfinished record in " + path)
    return records


def _wine_unescape(s):
    """Undoes the escaping of strings in Wine's debug output (\\n, \\t, \\xNN, ...)."""
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "x" and i + 4 <= len(s):
                out.append(chr(int(s[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(simple.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


_CALL_RE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Call (?:user32|USER32|kernel32|KERNEL32)\.(\w+)\((.*)\) ret=\w+$",
                      re.M)
_ARG_RE = re.compile(r'([0-9a-fA-F]+)(?: "((?:[^"\\]|\\.)*)"(\.\.\.)?)?(?:,|$)')
_RET_RE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Ret  (?:kernel32|KERNEL32)\.CreateProcessA\(\) retval=([0-9a-f]+)",
                     re.M)


class Arg:
    """One argument of a traced call: its number and, for a string, the text
    (cut is true when Wine shortened it; the text is then a prefix)."""

    def __init__(self, number, text_, cut):
        self.number = number
        self.text = text_
        self.cut = cut

    def low32(self):
        # A 64-bit trace shows whole registers; an int argument is their low half.
        return self.number & 0xFFFFFFFF


def _parse_args(text_):
    args = []
    for a in _ARG_RE.finditer(text_):
        if a.group(0) == "":
            break
        args.append(Arg(int(a.group(1), 16),
                        None if a.group(2) is None else _wine_unescape(a.group(2)), bool(a.group(3))))
    return args


def parse_calls(trace):
    """[(pid, function, [Arg])] for each traced call, in order."""
    return [(int(m.group(1), 16), m.group(3), _parse_args(m.group(4))) for m in _CALL_RE.finditer(trace)]


def _same_text(seen, cut, want):
    return want.startswith(seen) if cut else seen == want


class Box:
    """One MessageBoxA call seen in the relay trace."""

    def __init__(self, pid, args):
        self.pid = pid
        self.owner = args[0].number
        self.text = args[1].text or ""
        self.text_cut = args[1].cut
        self.caption = args[2].text or ""
        self.caption_cut = args[2].cut
        self.style = args[3].low32()

    def matches(self, caption, text_, style=None):
        return (_same_text(self.caption, self.caption_cut, caption) and _same_text(self.text, self.text_cut, text_)
                and (style is None or self.style == style) and self.owner == 0)

    def __repr__(self):
        return "Box(pid=%d, caption=%r, text=%r%s, style=0x%X)" % (
            self.pid, self.caption, self.text, "..." if self.text_cut else "", self.style)


# --- the programs' message boxes, each written once ------------------------------

MB_OK = 0x0
MB_ICONERROR = 0x10

SETUP_USAGE = (
    "Usage:\n\n"
    "   -target <path>\talternate location to install KVI (usual location C:\\HalvikTorvanex\\Install)\n\n"
    "   -force\t\tforces installation of this version of KVI regardless of existing version\n\n"
    "   -noexecute\tallows installation of KVI but inhibits invocation of KVI\n\n"
    "   -batch <file>\tperforms installation in batch mode\n\n"
    "   -input <file>\tprefills installation input parameters\n\n"
    "   -nosplash\tsuppresses splash screen at startup\n\n"
    "   -nojw\t\topens a command window (useful for getting output from exceptions).\n\n"
    "   -version\t\tdisplays version information\n\n"
    "   -silent\t\truns batch in silent mode (use with -batch)\n\n"
    "   -help\t\tdisplays usage information\n\n")
SETUP_VERSION = " Halvik Torvanex Install version 1.8-002 "

# name: (caption, text, style). The tests, the display suite and the pictures
# (screenshots.py, which names how each is brought about) all take them from here.
BOXES = {
    "setup-usage": ("Usage Help", SETUP_USAGE, MB_OK),
    "setup-version": ("Version Information", SETUP_VERSION, MB_OK),
    "setup-original-source-error": ("Registration Error", "Error setting original source.  It may be because you do "
                                    "not have administrator privileges.  This should not affect the operation of "
                                    "your program.", MB_ICONERROR),
    "setup-launch-error": ("Application Launch Error", "Error Launching Installation.", MB_ICONERROR),
    "install-search-error": ("Search Error", "Error finding install", MB_OK),
    "install-directory-error": ("Set Directory Error", "Error navigating to Install Application directory.",
                                MB_ICONERROR),
    "install-registration-error": ("Registration Error", "Error registering Install Application.", MB_ICONERROR),
    "install-shortcut-error": ("Start Menu Creation Error", "Error creating start menu entry for Halvik Install",
                               MB_OK),
    "install-launch-error": ("Application Launch Error", "Error launching Install Application.", MB_ICONERROR),
    "install-launch-memory-error": ("Application Launch Error",
                                    "Error launching Install Application.  Possible memory allocation problem.",
                                    MB_ICONERROR),
    "install-pipe-error": ("CreatePipe Error", "CreatePipe(&hChildStdinRd, &hChildStdinWr, &saAttr, 0)", MB_OK),
    "install-pipe-input-error": ("SetStdHandle Error", "SetStdHandle(STD_INPUT_HANDLE, hChildStdinRd)", MB_OK),
    "install-duplicate-error": ("DuplicateHandle Error", "DuplicateHandle(...", MB_OK),
    "install-restore-input-error": ("SetStdHandle Error", "SetStdHandle(STD_INPUT_HANDLE, hSaveStdin)", MB_OK),
    "install-invalid-input-error": ("INVALID_HANDLE_VALUE Error", "(hInputFile == INVALID_HANDLE_VALUE)", MB_OK),
    "install-close-error": ("CloseHandle Error", "CloseHandle(hChildStdinWrDup)", MB_OK),
    "install-process-code-error": ("Application Error", "Error Getting Process Code.", MB_ICONERROR),
}


class ShownBox:
    """One message box as kvitest.exe saw it on the screen and closed it with OK:
    its caption, text, whether it showed an icon (the programs' only icon is the
    error icon) and whether it had an owner window."""

    def __init__(self, status, n):
        self.caption = status.get("box.%d.caption" % n, "")
        self.text = status.get("box.%d.text" % n, "")
        self.icon = status.get("box.%d.icon" % n) == "1"
        self.owned = status.get("box.%d.owner" % n) == "1"
        self.pid = int(status.get("box.%d.pid" % n, "0"))

    def matches(self, caption, text_, style=None):
        return (self.caption == caption and self.text == text_ and not self.owned
                and (style is None or self.icon == bool(style & 0x10)))

    def __repr__(self):
        return "ShownBox(pid=%d, caption=%r, text=%r%s)" % (self.pid, self.caption, self.text,
                                                          ", error icon" if self.icon else "")


def shown_boxes(status):
    """The boxes a kvitest run status (read_kv) lists, in the order they appeared."""
    return [ShownBox(status, n) for n in range(1, int(status.get("boxes", "0")) + 1)]


# Processes that a run's job holds beside the ones the programs started: the
# console host that Windows and Wine start for a console program given no
# window of its own (setup's probe and hand-off), and Wine's desktop process.
NOT_STARTED_BY_THE_PROGRAMS = ("conhost.exe",) if ON_WINDOWS else ("conhost.exe", "explorer.exe")
# Wine makes a process before it loads the program, and a start that then fails
# leaves a process that never ran, ended with STATUS_DLL_NOT_FOUND: Wine's shell
# starts its menu builder (disabled in the prefix) for each shortcut saved.
# Windows makes no process for a start that fails.
NEVER_RAN = "unread (ended, 0xC0000135)"


class Proc:
    """One process of a run as kvitest read it from the process itself: the program
    it runs (image), the command line it received, the process that started it.
    kvitest lists one that ended before it could be read as unread."""

    def __init__(self, status, n):
        k = "proc.%d." % n
        self.pid, self.parent = int(status[k + "pid"]), int(status.get(k + "parent") or 0)
        self.image, self.command = status.get(k + "image", ""), status.get(k + "cmdline", "")
        self.state = status.get(k + "state", "")
        self.read = self.state == "read"

    def name(self):
        return self.image.lower().rsplit("\\", 1)[-1]

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
        if not self.read:
            return "Proc(pid=%d, parent=%d, image=%r, %s)" % (self.pid, self.parent, self.image, self.state)
        return "Proc(pid=%d, parent=%d, image=%r, command=%r)" % (self.pid, self.parent, self.image, self.command)


def listed_procs(status):
    """The processes of a kvitest run status, in the order they began; the
    console host and Wine's desktop left out by their program's name, and
    under Wine a process that never ran."""
    procs = [Proc(status, n) for n in range(1, int(status.get("procs", "0")) + 1)]
    return [p for p in procs if p.name() not in NOT_STARTED_BY_THE_PROGRAMS
            and (ON_WINDOWS or p.state != NEVER_RAN)]


# Programs the programs start by a full path that they resolve themselves: the
# bootstrap installer beside setup, the runtime under Install's folder. Every
# other command line names its program itself, with no separate name.
RESOLVED_PROGRAMS = ("_instkvi.com", "JRE\\bin\\java.exe", "JRE\\bin\\javaw.exe")


class Start:
    """One CreateProcessA call seen in the relay trace."""

    def __init__(self, pid, args):
        self.pid = pid
        self.application = args[0].number
        self.application_text = args[0].text
        self.application_cut = args[0].cut
        self.command = args[1].text
        self.command_cut = args[1].cut
        self.inherit = args[4].low32()
        self.flags = args[5].low32()
        self.environment = args[6].number
        self.directory = args[7].number
        self.succeeded = None   # what CreateProcessA returned, when the trace shows it

    def application_matches(self, command, application=None):
        """The application name: the given full path (any letter case); without
        one, for a command that starts with a resolved program, a full path
        ending in that program's name, else no name at all."""
        first = command.split(" ", 1)[0]
        if application is None and first not in RESOLVED_PROGRAMS:
            return self.application == 0
        seen = (self.application_text or "").lower()
        if application is not None:
            return self.application != 0 and _same_text(seen, self.application_cut, application.lower())
        # Wine's trace may cut a long string, without its "..." mark when one
        # character is missing: then only the drive can be checked.
        cut = self.application_cut or len(seen) >= 200
        return (self.application != 0 and re.match(r"^[a-z]:\\", seen) is not None
                and (cut or seen.endswith("\\" + first.lower())))

    def matches(self, command, inherit=0, flags=0, application=None):
        """The command line (with the application name application_matches wants),
        setup's or Install's own environment and directory, and the given inherit
        flag and creation flags."""
        return (self.application_matches(command, application) and self.command is not None
                and _same_text(self.command, self.command_cut, command)
                and self.inherit == inherit and self.flags == flags
                and self.environment == 0 and self.directory == 0)

    def __repr__(self):
        return "Start(pid=%d, application=%r, command=%r%s, inherit=%d, flags=0x%X%s%s)" % (
            self.pid, self.application_text, self.command, "..." if self.command_cut else "", self.inherit,
            self.flags, "" if self.environment == 0 and self.directory == 0 else ", environment/directory given",
            ", failed" if self.succeeded is False else "")


def parse_boxes(trace):
    return [Box(pid, args) for pid, fn, args in parse_calls(trace) if fn == "MessageBoxA" and len(args) == 4]


def parse_starts(trace):
    """Each CreateProcessA call, with what it returned: a thread's calls return in
    the order it made them, and no traced call nests in another."""
    returns = {}
    for m in _RET_RE.finditer(trace):
        returns.setdefault(m.group(1, 2), []).append(int(m.group(3), 16) != 0)
    starts = []
    for m in _CALL_RE.finditer(trace):
        if m.group(3) != "CreateProcessA":
            continue
        args, results = _parse_args(m.group(4)), returns.get(m.group(1, 2))
        succeeded = results.pop(0) if results else None
        if len(args) == 10:
            starts.append(Start(int(m.group(1), 16), args))
            starts[-1].succeeded = succeeded
    return starts


def parse_dir_creations(trace):
    """[(pid, path, whether security attributes were given)] for each CreateDirectoryA call."""
    return [(pid, args[0].text, args[1].number != 0) for pid, fn, args in parse_calls(trace)
            if fn == "CreateDirectoryA" and len(args) == 2]


class Result:
    """What one start of kvitest.exe gave: its output, and the boxes shown meanwhile."""

    def __init__(self, returncode, stdout, trace):
        self.returncode = returncode
        self.stdout = stdout
        self.trace = trace
        self.boxes = parse_boxes(trace)
        self.starts = parse_starts(trace)
        self.dir_creations = parse_dir_creations(trace)
        self.values = {}
        for line in stdout.decode("latin-1").splitlines():
            if "=" in line:
                key, _, value = line.partition("=")
                self.values[key] = text(value)


def kvitest_args(kvitest_exe, chain):
    """kvitest.exe and its commands (lists of arguments), joined by its ";;"."""
    args = [kvitest_exe]
    for i, command in enumerate(chain):
        if i:
            args.append(";;")
        args += command
    return args


def run_command(status, cmd, cwd=None, stdin=None, stdout=None, console=False, env=None, unset=(),
                timeout_ms=60000, tree_timeout_ms=30000, press_ok=True):
    """The kvitest arguments that run one command line (given as text, passed on byte for byte).
    press_ok=False: kvitest records the boxes but leaves them for the caller to close."""
    args = ["run", "--status", status, "--cmd-hex", cmd.encode("latin-1").hex(),
            "--timeout", str(timeout_ms), "--tree-timeout", str(tree_timeout_ms)]
    if not press_ok:
        args += ["--boxes", "leave"]
    if cwd:
        args += ["--cwd-hex", cwd.encode("latin-1").hex()]
    if stdin:
        args += ["--stdin", stdin]
    if stdout:
        args += ["--stdout", stdout]
    if console:
        args += ["--console", "1"]
    for name, value in (env or {}).items():
        args += ["--env", "%s=%s" % (name, value)]
    for name in unset:
        args += ["--unset", name]
    return args


class Prefix:
    """A Wine prefix of the tests' own, with the helper kvitest.exe of one architecture."""

    def __init__(self, path, kvitest):
        self.path = os.path.abspath(prefix_path(path))
        self.kvitest_exe = os.path.abspath(kvitest)
        self._programs = None
        # A display for every run, as a Windows session has one: a box is then a
        # window that waits for its OK, which kvitest.exe finds, reads and presses.
        self.screen = None

    # --- paths -----------------------------------------------------------

    def drive_c(self, *parts):
        return os.path.join("C:\\" if ON_WINDOWS else os.path.join(self.path, "drive_c"), *parts)

    def win(self, unix_path):
        """The Windows path of a file under drive_c, or a Z: path for any other."""
        unix_path = os.path.abspath(unix_path)
        if ON_WINDOWS:
            return unix_path
        root = self.drive_c()
        if unix_path == root or unix_path.startswith(root + os.sep):
            rest = os.path.relpath(unix_path, root)
            return "C:\\" + ("" if rest == "." else rest.replace("/", "\\"))
        return "Z:" + unix_path.replace("/", "\\")

    def unix(self, win_path):
        """The Unix path of a C: path, its folders found in any letter case as Windows would."""
        if not re.match(r"^[cC]:\\", win_path):
            raise HarnessError("not a C: path: " + win_path)
        win_path = unix_name(win_path)
        if ON_WINDOWS:
            return win_path
        path = self.drive_c()
        for part in (p for p in win_path[3:].split("\\") if p):
            exact = os.path.join(path, part)
            if not os.path.exists(exact) and os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        exact = os.path.join(path, entry)
                        break
            path = exact
        return path

    # --- environment -----------------------------------------------------

    def running(self, command_start):
        """True while a Windows process of this prefix runs whose command line
        begins with command_start (any letter case). Under Wine each Windows
        process is a Unix one, its command line in place of the Unix one."""
        want = command_start.lower().encode("latin-1")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ")
                if not cmdline.lower().startswith(want):
                    continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("WINEPREFIX=" + self.path).encode() in f.read().split(b"\0"):
                        return True
            except OSError:
                continue  # ended meanwhile, or not ours to read
        return False

    def env(self, extra=None, relay=False):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("KVI_") and k not in (
                   "DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG", "WINEARCH", "WINEPREFIX",
                   "WINEDLLOVERRIDES", "WINELOADER", "WINESERVER")}
        if ON_WINDOWS:
            env.update(extra or {})
            return env
        env["WINEPREFIX"] = self.path
        env["WINEDLLOVERRIDES"] = DLL_OVERRIDES
        env["WINEDEBUG"] = "-all,+pid,+relay" if relay else "-all"
        if self.screen is not None:
            env["DISPLAY"] = self.screen.display
        loader_env(env)
        env.update(extra or {})
        return env

    # --- life cycle ------------------------------------------------------

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
            layout = None
            if os.path.exists(marker):
                with open(marker) as f:
                    layout = f.read().strip()
            if layout is None:
                self._create()
            elif layout != PREFIX_LAYOUT:
                self._configure()
        # A server that stays a while after the last program has ended keeps
        # Wine's desktop process alive between the steps of a test; the
        # desktop is started here, before any run, so no run has to wait for it.
        # (It ends by itself a minute after the last program; when one is
        # running already, this one just ends.)
        subprocess.Popen(wineserver("-p60"), env=self.env(), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        r = self.kvitest([["desktop"]])
        if r.returncode != 0:
            raise HarnessError("Wine does not run kvitest.exe:\n" + r.trace[-3000:])

    def _create(self):
        if os.path.exists(self.path):
            shutil.rmtree(self.path)
        self._steps([wine("wineboot", "-i")], self.env({"WINEARCH": "win64"}))
        self._configure()

    def _configure(self):
        self._steps([
            wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                 "/d", RELAY_INCLUDE, "/f"),
            wine("reg", "add", "HKCU\\Software\\Wine\\Explorer", "/v", "Desktop", "/d", "Default", "/f"),
            # Windows always has the key of the uninstall entries in the 32-bit view; a
            # prefix made without Wine's 32-bit half lacks it.
            wine("reg", "add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/reg:32", "/f"),
            wine("reg", "add", "HKCU\\Software\\Wine\\Explorer\\Desktops", "/v", "Default", "/d", "640x480", "/f"),
        ], self.env())
        with open(os.path.join(self.path, ".kvi-e2e-ready"), "w") as f:
            f.write(PREFIX_LAYOUT + "\n")

    def _steps(self, steps, env):
        for step in steps:
            code, out, err = run_quietly(step, env, 300)
            if code != 0:
                raise HarnessError("making the Wine prefix failed at %s:\n%s" % (
                    " ".join(step), (out + err).decode("utf-8", "replace")[-3000:]))

    # --- kvitest -----------------------------------------------------------

    def kvitest(self, chain, env=None, relay=False, timeout=180):
        """Runs kvitest.exe once with the given commands (lists of arguments), in order."""
        code, out, err = run_quietly(wine(*kvitest_args(self.kvitest_exe, chain)), self.env(env, relay), timeout)
        return Result(code, out, err.decode("latin-1"))

    def programs_folder(self):
        """The current user's Programs folder of the Start menu (a Windows path)."""
        if self._programs is None:
            r = self.kvitest([["programs"]])
            if "programs" not in r.values:
                raise HarnessError("kvitest programs gave nothing:\n" + r.trace[-2000:])
            self._programs = r.values["programs"]
        return self._programs


def parse_reg_value(value):
    """'type,size,hex' from kvitest regdump/regget into (type, bytes)."""
    type_, size, hex_ = value.split(",", 2)
    data = bytes.fromhex(hex_)
    if len(data) != int(size):
        raise HarnessError("regdump size mismatch: " + value)
    return int(type_), data


def registry(values, key):
    """The values of one key ("record" or "uninstall") from kvitest regdump output,
    as {name: (type, bytes)}, or None when the key does not exist."""
    if values.get(key + ".exists") != "1":
        return None
    prefix = key + ".value."
    return {k[len(prefix):]: parse_reg_value(v) for k, v in values.items() if k.startswith(prefix)}


class Screen:
    """A virtual X display of our own (Xvfb), on which Wine draws the boxes for
    real; xdotool finds their windows and presses their OK, ImageMagick's
    import takes pictures. Xvfb picks a display number that is free (-displayfd),
    so two runs side by side (the two builds, or another user's) never meet."""

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
        number = b""
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

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def env(self, env):
        """A Wine environment (Prefix.env) that draws on this display."""
        env = dict(env)
        env["DISPLAY"] = self.display
        return env

    def start(self, prefix, chain, trace_path, env=None, relay=False):
        """Starts kvitest.exe with the given commands (as Prefix.kvitest) in a Wine
        desktop of 640x480 on this display, and returns at once: the caller
        presses the boxes' OK, then waits for kvitest's status file. Wine's
        trace goes to trace_path."""
        args = kvitest_args(prefix.win(prefix.kvitest_exe), chain)
        with open(trace_path, "wb") as trace:
            return subprocess.Popen(wine("explorer", "/desktop=kvi," + self.size, *args),
                                    env=self.env(prefix.env(env, relay)), stdin=subprocess.DEVNULL,
                                    stdout=trace, stderr=trace, start_new_session=True)

    def _tool(self, *args, check=True):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": self.display}
        r = subprocess.run(list(args), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60, check=False)
        if check and r.returncode != 0:
            raise HarnessError("%s failed: %s" % (" ".join(args[:2]), r.stderr.decode("utf-8", "replace")))
        return r

    def windows(self, title):
        """The X windows, visible ones only, whose title is exactly `title`."""
        r = self._tool("xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title), check=False)
        return [int(w) for w in r.stdout.split()]

    def wait_window(self, title, timeout=60, still=None):
        """The one window titled `title`, once it is there; None after `timeout`
        seconds, or as soon as still() turns false (the program has ended)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.windows(title)
            if len(found) == 1:
                return found[0]
            if len(found) > 1:
                raise HarnessError("%d windows titled %r" % (len(found), title))
            if still is not None and not still():
                return None
            time.sleep(0.2)
        return None

    def focus(self, window):
        """Gives the window the keyboard."""
        self._tool("xdotool", "windowfocus", "--sync", str(window))

    def press_return(self, window):
        """Presses Return in the window: the OK of a box."""
        self.focus(window)
        self._tool("xdotool", "key", "--clearmodifiers", "Return")

    def picture(self, window, path, colours=64):
        """A PNG of the window alone, its colours reduced (Wine's boxes use few).
        A window is mapped a moment before Wine paints it: until the picture
        shows more than a plain area, it is taken again."""
        self.focus(window)
        for _ in range(40):
            time.sleep(0.25)
            self._tool("import", "-window", str(window), "+dither", "-colors", str(colours), "-strip",
                       "PNG8:" + path)
            if int(self._tool("identify", "-format", "%k", path).stdout or b"0") > 4:
                return
        raise HarnessError("the window %d was never painted" % window)


def read_programs(listing):
    """A build's programs.txt as {name: path}; a name without a folder lies beside
    the list (a kit copied to another machine)."""
    programs = {}
    with open(listing) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if key:
                programs[key] = value if key == "arch" else os.path.join(
                    os.path.dirname(os.path.abspath(listing)), value)
    return programs


def remove(path):
    """Removes a folder, a file or a link, whichever stands at path."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


class Machine:
    """The Windows machine of one test, of the demonstration or of the pictures of
    boxes: lays out media and kits in a folder of its own, cleans the machine, runs
    a command line through kvitest.exe and reads back the stand-ins' records, the
    registry, the shortcut, the exit status and the boxes."""

    def __init__(self, prefix, programs, root, win_root=None):
        self.prefix, self.programs, self.root = prefix, programs, root
        self.win_root = win_root or prefix.win(root)
        self.rec = os.path.join(root, "rec")
        self.start = None      # the current directory of a run that names none
        self.runs = 0
        self.failed_starts = []
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

    # --- laying out ------------------------------------------------------

    def dir(self, *parts):
        return os.path.join(self.root, *(unix_name(p) for p in parts))

    def w(self, *parts):
        return self.win_root + "".join("\\" + p for p in parts)

    def place(self, folder):
        """A folder below the machine's own (or any C: path), made: (Unix path, Windows path)."""
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
        """A file of this machine holding data, for a program's standard input; its Windows path."""
        with open(self.dir(name), "wb") as f:
            f.write(data)
        return self.prefix.win(self.dir(name))

    # --- running and reading back -------------------------------------------

    def kvitest(self, chain, env=None):
        """One start of kvitest.exe; the first after clean() also clears the registry."""
        if self._clear_registry:
            chain, self._clear_registry = [["regdel"]] + list(chain), False
        extra = {"KVI_RECORD_DIR": self.prefix.win(self.rec)}
        extra.update(env or {})
        r = self.prefix.kvitest(chain, env=extra, relay=True)
        if r.returncode != 0:
            raise HarnessError("kvitest.exe failed:\n%s\n%s" % (r.stdout.decode("latin-1"), r.trace[-3000:]))
        return r

    def run(self, cmd, cwd=None, before=(), after=(), env=None, stdin=None, capture_stdout=False,
            console=False, run_env=None, unset=(), timeout_ms=60000):
        """Runs one command line (byte for byte): a Run with its exit status, the boxes
        shown, the registry afterwards and what it printed."""
        self.runs += 1
        status = os.path.join(self.rec, "status-%d.txt" % self.runs)
        out = os.path.join(self.rec, "stdout-%d.bin" % self.runs) if capture_stdout else None
        chain = list(before) + [run_command(
            self.prefix.win(status), cmd, cwd=cwd or self.start, stdin=stdin,
            stdout=self.prefix.win(out) if out else None, console=console, env=run_env, unset=unset,
            timeout_ms=timeout_ms)] + list(after) + [["regdump"]]
        r = self.kvitest(chain, env=env)
        if not os.path.exists(status):
            raise HarnessError("no status from kvitest run:\n" + r.trace[-3000:])
        run = Run(read_kv(status), r, out)
        self.failed_starts += [s for s in r.starts if s.succeeded is False]
        return run

    def show(self, screen, cmd, cwd=None, env=None, console=False, before=(), run_env=None):
        """Starts one command line on screen (a Screen) and returns at once: a ScreenRun,
        whose boxes wait for the caller to press their OK."""
        self.runs += 1
        run = ScreenRun(os.path.join(self.rec, "status-%d.txt" % self.runs),
                        os.path.join(self.rec, "trace-%d.txt" % self.runs))
        chain = [["regdel"]] + list(before) + [run_command(self.prefix.win(run.status_path), cmd,
                                                           cwd=cwd or self.start, console=console, env=run_env,
                                                           press_ok=False)]
        self._clear_registry = False
        run.process = screen.start(self.prefix, chain, run.trace_path,
                                   env=dict({"KVI_RECORD_DIR": self.prefix.win(self.rec)}, **(env or {})))
        return run

    def records(self, program):
        return read_records(os.path.join(self.rec, program + ".rec"))

    def clear_records(self):
        for name in os.listdir(self.rec):
            if name.endswith(".rec"):
                os.remove(os.path.join(self.rec, name))

    def link(self):
        """The shortcut Install makes, as kvitest reads it ("loaded" is "1" when it is there)."""
        return self.kvitest([["lnkread", self.link_path()]]).values

    def usual_location_exists(self):
        return (os.path.isdir(self.prefix.drive_c("HalvikTorvanex")),
                os.path.isdir(self.prefix.drive_c("HalvikTorvanex", "Install")))


# FILETIME (100 ns since 1601) of the Unix epoch: kvitest gives the end of a run so.
UNIX_EPOCH_FILETIME = 116444736000000000


class ScreenRun:
    """One start of a program on the screen (Machine.show): its kvitest status file and Wine's trace."""

    def __init__(self, status_path, trace_path):
        self.status_path, self.trace_path = status_path, trace_path
        self.process, self.status, self.trace = None, None, ""

    def ended(self):
        return os.path.exists(self.status_path)

    def wait_end(self, timeout):
        """Waits for kvitest's status; True when the run has ended within timeout seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.ended():
                # The status is written in one piece once the run and everything it started have ended.
                time.sleep(0.2)
                self.status = read_kv(self.status_path)
                break
            time.sleep(0.1)
        try:
            self.process.wait(30)  # the Wine desktop ends once its last program has
        except subprocess.TimeoutExpired:
            pass  # a desktop that lingers is not the program's fault; kill() ends it
        with open(self.trace_path, "rb") as f:
            self.trace = f.read().decode("latin-1")
        return self.status is not None

    def ended_at_unix(self):
        return (int(self.status["time_end"]) - UNIX_EPOCH_FILETIME) / 1e7

    @property
    def boxes(self):
        """The boxes kvitest saw (it leaves them for the suite to close)."""
        return shown_boxes(self.status or {})

    @property
    def traced_boxes(self):
        return parse_boxes(self.trace)

    def box_answers(self):
        """What each MessageBoxA call of the run returned (the button that closed it)."""
        return [int(v, 16) for v in re.findall(r"^[0-9a-f]+:[0-9a-f]+:Ret  user32\.MessageBoxA\(.*retval=([0-9a-f]+)",
                                               self.trace, re.M | re.I)]

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, 9)  # the session of the desktop started for this run
            self.process.wait()


class Run:
    """One command line's run: kvitest's status, the boxes it saw (and under Wine
    the relay trace's), the registry afterwards and what the program printed."""

    def __init__(self, status, result, stdout_file):
        self.status = status
        self.result = result
        self.boxes = shown_boxes(status)
        self.traced_boxes = result.boxes
        self.record = registry(result.values, "record")
        self.uninstall = registry(result.values, "uninstall")
        self.stdout = None
        if stdout_file and os.path.exists(stdout_file):
            with open(stdout_file, "rb") as f:
                self.stdout = f.read()

    def ended_at(self):
        return int(self.status["time_end"])

    def created_dirs(self):
        """The folders the started program asked CreateDirectoryA for, each with whether
        it gave a security descriptor (Wine's relay trace: not on Windows)."""
        main = int(self.status["main_pid"])
        return [(path, given) for pid, path, given in self.result.dir_creations if pid == main]

    def starts(self, by="all"):
        """The processes started during the run, as kvitest read them from the processes
        themselves (every host): by the started program ("main"), by the others
        ("others"), or by all of them ("all"); the started program itself is left out.
        One kvitest could not read counts as started by another."""
        runner, main = int(self.status["runner_pid"]), int(self.status.get("main_pid", "0"))
        return [p for p in listed_procs(self.status) if p.parent != runner and (
            by == "all" or (by == "main") == (p.parent == main))]

    def traced_starts(self, by="all"):
        """The same, as Wine's relay trace shows the CreateProcessA calls (Wine only):
        also the starts that failed, with their flags; kvitest's own start is left out."""
        runner, main = int(self.status["runner_pid"]), int(self.status.get("main_pid", "0"))
        return [s for s in self.result.starts if s.pid != runner and (
            by == "all" or (by == "main") == (s.pid == main))]
