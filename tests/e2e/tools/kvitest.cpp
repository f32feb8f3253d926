// kvitest: the Windows-side helper of the end-to-end tests, built for each
// architecture; like the programs under test it asks for the 32-bit registry
// view by name, so both builds read and write the same keys. Several subcommands may be chained in one start, separated by ";;".
//
//   run --status FILE --cmd-hex HEX [--cwd-hex HEX] [--stdin FILE|pipe:FILE|none|nul]
//       [--stdout FILE] [--console 1] [--flags N] [--env NAME=VALUE]
//       [--unset NAME] [--timeout MS] [--tree-timeout MS]
//       Starts the command line (hex-encoded bytes, passed to CreateProcessA
//       verbatim) in a job object, waits for it, then for every process it
//       started in turn, and writes to FILE the full 32-bit exit status, the
//       elapsed time and the wall-clock time at which it ended. --stdin none
//       gives the program no standard input at all; nul the NUL device;
//       pipe:FILE the read end of a pipe into which the runner writes FILE's
//       bytes, then closes it (as `type FILE | program` does).
//       --console 1 starts it in a new console of the runner's own (Wine
//       gives a program started from a Unix shell none), reading from that
//       console unless --stdin says otherwise. --env and --unset
//       change the environment that the program inherits.
//       Meanwhile it watches the windows of the processes of the run: each
//       message box is written to FILE (box.N.caption, .text, .icon, .owner,
//       .pid) and closed with its OK, as a user at a real session would;
//       --boxes leave lets a caller press them itself (the display suite).
//       And it lists every process of the run, the started one first, in
//       the order they began (proc.N.pid, .parent, .image, .cmdline as the
//       process received it, .state "read" or "unread"; procs=N).
//   regdump              prints every value of the record and the uninstall entry
//   regget KEY NAME      prints one value: type, byte count, bytes in hex
//   regset KEY NAME TYPE HEX   writes exact bytes (TYPE sz, binary, dword or a number)
//   regdel               deletes the record and the uninstall entry
//   lnkread PATH         loads a shell link and prints its properties
//   programs             prints the current user's Programs folder
//   desktop              makes Wine start its desktop process now, outside any run
//   sddl                 converts setup's access list of the usual location and
//                        prints its control bits, owner (a SID, or 0) and entries
//   secread PATH         prints a file's or folder's owner and entries the same way
//   secset PATH SDDL     gives a file or folder the owner and access list of SDDL
//   keyacl get|set uninstall-parent [SDDL]   reads or replaces the access list of
//                        the key that holds the uninstall entries
// KEY is "record" or "uninstall". Output lines are key=value, values
// percent-escaped as in the stand-ins' records.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../../common/constants.h"
#include "../standins/record.h"

namespace {

const char kRecordKey[] = "Software\\HalvikTorvanex\\HalvikTorvanexJI";
const char kRecordParent[] = "Software\\HalvikTorvanex";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HalvikTorvanexJI";

void out(const char* key, const std::string& value) {
    std::printf("%s=%s\n", key, standin::escape(value).c_str());
}

std::string to_hex(const unsigned char* p, size_t n) {
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += hex[p[i] >> 4];
        s += hex[p[i] & 15];
    }
    return s;
}

const char* key_path(const std::string& alias) {
    if (alias == "record") return kRecordKey;
    if (alias == "uninstall") return kUninstallKey;
    return nullptr;
}

// --- run --------------------------------------------------------------------

HANDLE inheritable(HANDLE h) {
    HANDLE dup = nullptr;
    if (h && h != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return dup;
    return nullptr;
}

// The process ids of the job (the run's whole tree).
std::vector<DWORD> job_pids(HANDLE job) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[255];
    } ids;
    std::vector<DWORD> pids;
    if (job && QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i)
            pids.push_back(static_cast<DWORD>(ids.list.ProcessIdList[i]));
    return pids;
}

// Wine's desktop process (explorer.exe) is started by the first program that
// needs a window and lives as long as the Wine server; it is no part of a run.
bool only_desktop_left(HANDLE job, std::string& names) {
    names.clear();
    std::vector<DWORD> pids = job_pids(job);
    if (pids.empty()) return false;  // unreadable: the caller goes on waiting
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    bool desktop_only = true;
    for (DWORD pid : pids) {
        std::string name = "?";
        PROCESSENTRY32 pe;
        pe.dwSize = sizeof pe;
        for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
            if (pe.th32ProcessID == pid) name = pe.szExeFile;
        names += (names.empty() ? "" : ",") + name + ":" + std::to_string(pid);
        if (standin::lower(name) != "explorer.exe") desktop_only = false;
    }
    if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
    return desktop_only;
}

// The writer of --stdin pipe:FILE: copies the file into the pipe from a
// thread of its own, so that the runner can wait for the program meanwhile.
struct PipeFeed {
    HANDLE write = nullptr;
    std::string file;
};

DWORD WINAPI feed_pipe(void* param) {
    PipeFeed* feed = static_cast<PipeFeed*>(param);
    HANDLE source = CreateFileA(feed->file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (source != INVALID_HANDLE_VALUE) {
        static char buffer[16384];
        DWORD got = 0, wrote = 0;
        while (ReadFile(source, buffer, sizeof buffer, &got, nullptr) && got > 0)
            if (!WriteFile(feed->write, buffer, got, &wrote, nullptr)) break;
        CloseHandle(source);
    }
    CloseHandle(feed->write);
    return 0;
}

// Finds the message boxes (dialog class, a static of id 0xFFFF holding the
// text) of the run's processes, writes each once and presses its OK.
struct BoxWatch {
    HANDLE job = nullptr;
    bool press = true;
    std::vector<DWORD> pids;
    std::vector<HWND> seen;
    std::string* result = nullptr;
    DWORD began = GetTickCount();

    void sweep() {
        for (size_t i = 0; i < seen.size(); ++i)
            if (seen[i] && !IsWindow(seen[i])) {
                *result += "box." + std::to_string(i + 1) + ".gone_ms=" + std::to_string(GetTickCount() - began) + "\n";
                seen[i] = nullptr;
            }
        pids = job_pids(job);
        if (!pids.empty()) EnumWindows(on_window, reinterpret_cast<LPARAM>(this));
    }

    static std::string text_of(HWND w) {
        static char buffer[65536];
        buffer[0] = 0;
        // A window's own text, without a message to its (perhaps busy) owner.
        int n = GetWindowTextA(w, buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? n : 0);
    }

    // A box's parts: its text (a static without SS_ICON) and its icon, when it
    // shows one. Windows and Wine give them different ids, so by kind.
    struct Parts {
        HWND text = nullptr;
        bool icon = false;
    };
    static BOOL CALLBACK on_child(HWND c, LPARAM param) {
        Parts* parts = reinterpret_cast<Parts*>(param);
        char cls[16] = "";
        GetClassNameA(c, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") != 0) return TRUE;
        if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            DWORD_PTR hicon = 0;
            if (IsWindowVisible(c)) SendMessageTimeoutA(c, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &hicon);
            parts->icon = parts->icon || hicon != 0;
        } else if (!parts->text) {
            parts->text = c;
        }
        return TRUE;
    }

    static BOOL CALLBACK on_window(HWND w, LPARAM param) {
        BoxWatch* self = reinterpret_cast<BoxWatch*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        char cls[16] = "";
        GetClassNameA(w, cls, sizeof cls);
        bool ours = false;
        for (DWORD p : self->pids) ours = ours || p == pid;
        if (!ours || std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(w) || !GetDlgItem(w, IDOK)) return TRUE;
        bool known = false;
        for (HWND s : self->seen) known = known || s == w;
        if (!known) {
            Parts parts;
            EnumChildWindows(w, on_child, reinterpret_cast<LPARAM>(&parts));
            if (!parts.text) return TRUE;
            self->seen.push_back(w);
            std::string n = "box." + std::to_string(self->seen.size()) + ".";
            std::string& r = *self->result;
            r += n + "caption=" + standin::escape(text_of(w)) + "\n";
            r += n + "text=" + standin::escape(text_of(parts.text)) + "\n";
            r += n + "icon=" + (parts.icon ? "1" : "0") + "\n";
            r += n + "owner=" + (GetWindow(w, GW_OWNER) ? "1" : "0") + "\n";
            r += n + "pid=" + std::to_string(pid) + "\n";
            r += n + "seen_ms=" + std::to_string(GetTickCount() - self->began) + "\n";
            r += "boxes=" + std::to_string(self->seen.size()) + "\n";
        }
        // Pressed again on every sweep while it stays: a click that came
        // before the box took input is not lost.
        if (self->press)
            PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, IDOK)));
        return TRUE;
    }
};

// --- the processes of a run -------------------------------------------------------

// Every process of the run's job, in the order the job announced it: its
// image, its command line as the process itself holds it (the process
// parameters in its PEB, UTF-16 read across and written as UTF-8), and the
// process that started it. The job's completion port names each new process
// at once, so that one that ends quickly is still read: under Wine a new
// process fills in its parameters itself, so a read is tried again until it
// succeeds or the process has ended. One that could not be read is listed as
// "unread", never left out. A 32-bit runner reads 32-bit processes only: the
// programs it runs are built for its own architecture, and a 64-bit one is
// listed as unread (64-bit).
struct ProcessWatch {
    struct Proc {
        DWORD pid = 0;
        HANDLE handle = nullptr;
        DWORD since = 0;
        bool done = false, announced = false;
        std::string parent, image, cmdline, state;
    };
    HANDLE job = nullptr, port = nullptr, thread = nullptr;
    std::vector<Proc> procs;

    typedef LONG(NTAPI* QueryProcess)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QueryProcess query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));

    static std::string utf8(const std::wstring& w) {
        if (w.empty()) return std::string();
        int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? n : 0, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
        return s;
    }

    // A UNICODE_STRING of the other process; base: where its parameters lie,
    // for parameters not yet normalised (their buffers are offsets then).
    static bool read_string(HANDLE h, const UNICODE_STRING& us, const char* base, bool offsets, std::wstring& out) {
        out.assign(us.Length / 2, L'\0');
        if (us.Length == 0) return true;
        const char* at = reinterpret_cast<const char*>(us.Buffer);
        if (offsets) at = base + reinterpret_cast<ULONG_PTR>(us.Buffer);
        SIZE_T got = 0;
        return ReadProcessMemory(h, at, &out[0], us.Length, &got) && got == us.Length;
    }

    // One attempt at reading a process; true once it is read.
    bool read(Proc& p) {
        PROCESS_BASIC_INFORMATION info;
        ULONG size = 0;
        if (!query || query(p.handle, ProcessBasicInformation, &info, sizeof info, &size) != 0) return false;
        p.parent = std::to_string(static_cast<unsigned long>(info.InheritedFromUniqueProcessId));
        wchar_t full[32768];
        DWORD n = sizeof full / sizeof full[0];
        if (p.image.empty() && QueryFullProcessImageNameW(p.handle, 0, full, &n)) p.image = utf8(std::wstring(full, n));
        BOOL self_wow = FALSE, other_wow = FALSE;
        IsWow64Process(GetCurrentProcess(), &self_wow);
        IsWow64Process(p.handle, &other_wow);
        if (self_wow && !other_wow) {
            p.state = "unread (64-bit)";
            return true;
        }
        PEB peb;
        RTL_USER_PROCESS_PARAMETERS params;
        SIZE_T got = 0;
        if (!info.PebBaseAddress || !ReadProcessMemory(p.handle, info.PebBaseAddress, &peb, sizeof peb, &got) ||
            !peb.ProcessParameters ||
            !ReadProcessMemory(p.handle, peb.ProcessParameters, &params, sizeof params, &got))
            return false;
        // The flags word after the two lengths: 1 once the buffers are addresses.
        ULONG flags = 0;
        std::memcpy(&flags, params.Reserved1 + 8, sizeof flags);
        const char* base = reinterpret_cast<const char*>(peb.ProcessParameters);
        std::wstring image, line;
        // No command line holds a NUL: one seen is not written yet (Wine).
        if (!read_string(p.handle, params.ImagePathName, base, !(flags & 1), image) ||
            !read_string(p.handle, params.CommandLine, base, !(flags & 1), line) || params.CommandLine.Buffer == nullptr ||
            line.empty() || line.find(L'\0') != std::wstring::npos)
            return false;
        if (p.image.empty()) p.image = utf8(image);
        p.cmdline = utf8(line);
        p.state = "read";
        return true;
    }

    static HANDLE open(DWORD pid) {
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
        return h ? h : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    }

    void attempt(Proc& p, bool last) {
        if (p.done) return;
        if (!p.handle) {
            p.state = "unread (gone)";  // ended before it could be opened
            p.done = true;
            return;
        }
        // Wine signals a process that has no thread running yet, a new one too:
        // it has ended only once it has an exit status.
        DWORD code = STILL_ACTIVE;
        bool ended = WaitForSingleObject(p.handle, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(p.handle, &code) &&
                     code != STILL_ACTIVE;
        if (read(p)) {
            p.done = true;
        } else if (ended || last || GetTickCount() - p.since > 10000) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
            p.state = ended ? std::string("unread (ended, ") + hex + ")" : std::string("unread");
            p.done = true;
        }
        if (p.done) {
            CloseHandle(p.handle);
            p.handle = nullptr;
        }
    }

    // Each announcement is a new process, unless the job's own list showed it
    // first. That list also catches a process whose announcement is lost:
    // Windows does not promise to deliver them. (A process id may come back
    // for a later process of the run once the first has ended.)
    void add(DWORD pid, bool announced) {
        for (Proc& p : procs)
            if (p.pid == pid && (!announced || !p.announced)) {
                p.announced = p.announced || announced;
                return;
            }
        Proc p;
        p.pid = pid;
        p.announced = announced;
        p.since = GetTickCount();
        p.handle = open(pid);
        procs.push_back(p);
    }

    void loop() {
        for (bool over = false; !over;) {
            bool waiting = false;
            for (Proc& p : procs) waiting = waiting || !p.done;
            DWORD message = 0, wait = waiting ? 1 : 100;
            ULONG_PTR key = 0;
            LPOVERLAPPED data = nullptr;
            for (; GetQueuedCompletionStatus(port, &message, &key, &data, wait); wait = 0) {
                if (key == 2) over = true;  // the run is over: a last attempt at each
                if (key == 1 && message == JOB_OBJECT_MSG_NEW_PROCESS)
                    add(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data)), true);
            }
            for (DWORD pid : job_pids(job)) add(pid, false);
            for (Proc& p : procs) attempt(p, over);
        }
    }

    static DWORD WINAPI main(void* self) {
        static_cast<ProcessWatch*>(self)->loop();
        return 0;
    }

    bool start(HANDLE run_job) {
        job = run_job;
        port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT link = {reinterpret_cast<PVOID>(1), port};
        if (!port || !SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &link, sizeof link))
            return false;
        thread = CreateThread(nullptr, 0, main, this, 0, nullptr);
        return thread != nullptr;
    }

    void finish(std::string& result) {
        if (thread) {
            PostQueuedCompletionStatus(port, 0, 2, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        if (port) CloseHandle(port);
        size_t n = 0;
        for (const Proc& p : procs) {
            std::string k = "proc." + std::to_string(++n) + ".";
            result += k + "pid=" + std::to_string(p.pid) + "\n";
            result += k + "parent=" + standin::escape(p.parent) + "\n";
            result += k + "state=" + standin::escape(p.state) + "\n";
            result += k + "image=" + standin::escape(p.image) + "\n";
            result += k + "cmdline=" + standin::escape(p.cmdline) + "\n";
        }
        result += "procs=" + std::to_string(n) + "\n";
    }
};

int cmd_run(const std::vector<std::string>& args) {
    std::string status_file, cmd, cwd, stdin_from, stdout_file;
    DWORD timeout = 60000, tree_timeout = 30000, flags = 0;
    bool console = false, press_boxes = true;
    struct EnvChange {
        std::string name, value;
        bool set;
    };
    std::vector<EnvChange> env;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& k = args[i];
        const std::string& v = args[i + 1];
        if (k == "--status") status_file = v;
        else if (k == "--cmd-hex") standin::from_hex(v, cmd);
        else if (k == "--cwd-hex") standin::from_hex(v, cwd);
        else if (k == "--stdin") stdin_from = v;
        else if (k == "--stdout") stdout_file = v;
        else if (k == "--timeout") timeout = std::strtoul(v.c_str(), nullptr, 0);
        else if (k == "--tree-timeout") tree_timeout = std::strtoul(v.c_str(), nullptr, 0);
        else if (k == "--console") console = v == "1";
        else if (k == "--flags") flags = std::strtoul(v.c_str(), nullptr, 0);
        else if (k == "--boxes") press_boxes = v != "leave";
        else if (k == "--env" && v.find('=') != std::string::npos)
            env.push_back({v.substr(0, v.find('=')), v.substr(v.find('=') + 1), true});
        else if (k == "--unset") env.push_back({v, std::string(), false});
        else {
            std::fprintf(stderr, "kvitest run: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (status_file.empty() || cmd.empty()) {
        std::fprintf(stderr, "kvitest run: --status and --cmd-hex are required\n");
        return 2;
    }

    std::string result;
    auto put = [&result](const char* key, const std::string& value) {
        result += key;
        result += '=';
        result += standin::escape(value);
        result += '\n';
    };
    put("runner_pid", std::to_string(GetCurrentProcessId()));

    // --console 1: the program starts in a real console of ours (Wine gives a
    // program started from a Unix shell none), with the console's handles as
    // its standard handles unless --stdin or --stdout say otherwise.
    HANDLE saved[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                       GetStdHandle(STD_ERROR_HANDLE)};
    if (console) {
        FreeConsole();
        BOOL ok = AllocConsole();
        put("alloc_console", ok ? "1" : "0");
    }

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    BOOL inherit = FALSE;
    HANDLE in = nullptr, outh = nullptr, err = nullptr;
    PipeFeed feed;
    HANDLE feeder = nullptr;
    // Wine leaves the runner's own standard input (the Unix one) in place after
    // AllocConsole; the console's input buffer is handed over by name instead,
    // so that the program really reads from a console.
    if (console && stdin_from.empty()) stdin_from = "conin";
    if (!stdin_from.empty() || !stdout_file.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        if (stdin_from == "none") {
            in = nullptr;
        } else if (stdin_from.rfind("pipe:", 0) == 0) {
            HANDLE read_end = nullptr;
            if (!CreatePipe(&read_end, &feed.write, nullptr, 0)) {
                std::fprintf(stderr, "kvitest run: cannot make a pipe\n");
                return 2;
            }
            in = inheritable(read_end);
            CloseHandle(read_end);
            feed.file = stdin_from.substr(5);
        } else if (stdin_from == "conin") {
            in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
            // Whether that input is a console as programs test for one. (Wine
            // without a terminal makes a console whose input does not answer.)
            DWORD mode = 0;
            put("console_input", GetConsoleMode(in, &mode) ? "1" : "0");
        } else if (stdin_from == "nul") {
            in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        } else if (!stdin_from.empty()) {
            in = CreateFileA(stdin_from.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, nullptr);
            if (in == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "kvitest run: cannot open %s\n", stdin_from.c_str());
                return 2;
            }
        } else {
            in = inheritable(GetStdHandle(STD_INPUT_HANDLE));
        }
        if (!stdout_file.empty())
            outh = CreateFileA(stdout_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
        else
            outh = inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
        err = inheritable(console ? GetStdHandle(STD_ERROR_HANDLE) : saved[2]);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = outh;
        si.hStdError = err;
        inherit = TRUE;
    }

    // The program inherits the changed environment; the runner's own is put
    // back right after the start, for the next command of the chain.
    std::vector<EnvChange> before;
    for (const auto& e : env) {
        std::string old;
        bool was_set = standin::get_env(e.name.c_str(), old);
        before.push_back({e.name, old, was_set});
        SetEnvironmentVariableA(e.name.c_str(), e.set ? e.value.c_str() : nullptr);
    }

    // A program named without a path is searched for in the current
    // directory too: that of the runner, so it moves to cwd for the start.
    std::string runner_dir = standin::current_dir();
    if (!cwd.empty()) SetCurrentDirectoryA(cwd.c_str());

    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    ProcessWatch watch;
    put("procs_watched", job && watch.start(job) ? "1" : "0");
    PROCESS_INFORMATION pi;
    std::string line = cmd;
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, inherit, CREATE_SUSPENDED | flags, nullptr,
                                  cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    DWORD start_error = started ? 0 : GetLastError();
    SetCurrentDirectoryA(runner_dir.c_str());
    for (auto e = before.rbegin(); e != before.rend(); ++e)
        SetEnvironmentVariableA(e->name.c_str(), e->set ? e->value.c_str() : nullptr);
    if (in && in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (outh && outh != INVALID_HANDLE_VALUE) CloseHandle(outh);
    if (err) CloseHandle(err);
    if (console) {
        SetStdHandle(STD_INPUT_HANDLE, saved[0]);
        SetStdHandle(STD_OUTPUT_HANDLE, saved[1]);
        SetStdHandle(STD_ERROR_HANDLE, saved[2]);
    }
    if (!started) {
        put("started", "0");
        put("start_error", std::to_string(start_error));
    } else {
        put("started", "1");
        put("main_pid", std::to_string(pi.dwProcessId));
        bool in_job = job && AssignProcessToJobObject(job, pi.hProcess);
        put("in_job", in_job ? "1" : "0");
        if (feed.write) feeder = CreateThread(nullptr, 0, feed_pipe, &feed, 0, nullptr);
        LARGE_INTEGER freq, t0, t1;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&t0);
        BoxWatch boxes;
        boxes.job = in_job ? job : nullptr;
        boxes.press = press_boxes;
        boxes.result = &result;
        put("boxes", "0");
        ResumeThread(pi.hThread);
        DWORD w = WAIT_TIMEOUT;
        for (DWORD slept = 0; w == WAIT_TIMEOUT && slept < timeout; slept += 50) {
            w = WaitForSingleObject(pi.hProcess, 50);
            boxes.sweep();
        }
        QueryPerformanceCounter(&t1);
        unsigned long long ended = standin::now_filetime();
        put("timeout", w == WAIT_OBJECT_0 ? "0" : "1");
        if (w != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
        put("exit", hex);
        put("elapsed_ms", std::to_string((t1.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart));
        put("time_end", std::to_string(ended));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);

        // Everything the program started belongs to the job too: wait until
        // the last of them has ended, so that a test sees the whole run.
        DWORD waited = 0;
        bool tree_done = !in_job;
        std::string left;
        while (in_job) {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
            if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr))
                break;
            if (info.ActiveProcesses == 0 || (waited % 200 == 0 && only_desktop_left(job, left))) {
                tree_done = true;
                break;
            }
            if (waited >= tree_timeout) break;
            if (waited % 50 == 0) boxes.sweep();
            Sleep(10);
            waited += 10;
        }
        if (in_job && !tree_done) {
            // A stand-in that hangs: report what is left and end the run's processes.
            only_desktop_left(job, left);
            put("tree_left", left);
            TerminateJobObject(job, 0xDEAD);
        }
        put("tree_done", tree_done ? "1" : "0");
        put("tree_ms", std::to_string(waited));
    }
    watch.finish(result);
    if (job) CloseHandle(job);
    if (feeder) {
        WaitForSingleObject(feeder, 10000);
        CloseHandle(feeder);
    } else if (feed.write) {
        CloseHandle(feed.write);
    }

    HANDLE f = CreateFileA(status_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "kvitest run: cannot write %s\n", status_file.c_str());
        return 2;
    }
    DWORD written = 0;
    WriteFile(f, result.data(), static_cast<DWORD>(result.size()), &written, nullptr);
    CloseHandle(f);
    return 0;
}

// --- the usual location's access list ---------------------------------------------

void print_descriptor(PSECURITY_DESCRIPTOR sd);

int cmd_sddl() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kvi::kInstalledFolderSddl, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        out("converted", "0");
        return 0;
    }
    out("converted", "1");
    print_descriptor(sd);
    LocalFree(sd);
    return 0;
}

// A folder's owner and access list, as Windows reports them.
int cmd_secread(const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD r = GetNamedSecurityInfoA(args[0].c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    nullptr, nullptr, &sd);
    out("read", r == ERROR_SUCCESS ? "1" : "0");
    if (r != ERROR_SUCCESS) return 0;
    print_descriptor(sd);
    LocalFree(sd);
    return 0;
}

// Turns on a privilege of the runner's token (an administrator's has them, off).
void enable_privilege(const char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(token);
}

// Gives a file or folder the owner and access list of an SDDL text. Any owner:
// Windows lets a holder of the restore privilege name one other than itself.
int cmd_secset(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    enable_privilege("SeRestorePrivilege");
    enable_privilege("SeTakeOwnershipPrivilege");
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(args[1].c_str(), SDDL_REVISION_1, &sd, nullptr)) return 2;
    PSID owner = nullptr;
    PACL acl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    GetSecurityDescriptorControl(sd, &control, &revision);
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::string path = args[0];
    DWORD r = SetNamedSecurityInfoA(&path[0], SE_FILE_OBJECT, what, owner, nullptr, acl, nullptr);
    LocalFree(sd);
    out("set", r == ERROR_SUCCESS ? "1" : std::to_string(r));
    return r == ERROR_SUCCESS ? 0 : 1;
}

// keyacl get|set KEY [SDDL]: the access list of a key below HKLM (32-bit view),
// as SDDL; KEY "uninstall-parent" is the key the uninstall entries lie in.
int cmd_keyacl(const std::vector<std::string>& args) {
    if (args.size() < 2 || args[1] != "uninstall-parent") return 2;
    const char* path = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    bool set = args[0] == "set" && args.size() == 3;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, (set ? WRITE_DAC : READ_CONTROL) | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS)
        return 1;
    LONG r = ERROR_SUCCESS;
    if (set) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(args[2].c_str(), SDDL_REVISION_1, &sd, nullptr)) {
            RegCloseKey(key);
            return 2;
        }
        r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
        LocalFree(sd);
    } else {
        static char buffer[8192];
        DWORD size = sizeof buffer;
        char* text = nullptr;
        r = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
        if (r == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 &text, nullptr)) {
            out("sddl", text);
            LocalFree(text);
        }
    }
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 0 : 1;
}

void print_descriptor(PSECURITY_DESCRIPTOR sd) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    out("dacl_protected", (control & SE_DACL_PROTECTED) ? "1" : "0");
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    std::string owner_text = "0";
    char* owner_sid = nullptr;
    if (owner && ConvertSidToStringSidA(owner, &owner_sid)) {
        owner_text = owner_sid;
        LocalFree(owner_sid);
    }
    out("owner", owner_text);
    BOOL present = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    out("dacl_present", present && acl ? "1" : "0");
    if (present && acl) {
        out("aces", std::to_string(acl->AceCount));
        for (WORD i = 0; i < acl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(acl, i, &ace)) continue;
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            std::string sid_text = "?";
            char* sid = nullptr;
            if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ConvertSidToStringSidA(&allowed->SidStart, &sid)) {
                sid_text = sid;
                LocalFree(sid);
            }
            char head[64];
            std::snprintf(head, sizeof head, "%u,0x%X,0x%lX,", allowed->Header.AceType, allowed->Header.AceFlags,
                          static_cast<unsigned long>(allowed->Mask));
            out(("ace" + std::to_string(i)).c_str(), head + sid_text);
        }
    }
}

// --- registry ------------------------------------------------------------------

void dump_key(const char* alias) {
    HKEY key;
    std::string prefix = std::string(alias) + ".";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path(alias), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        out((prefix + "exists").c_str(), "0");
        return;
    }
    out((prefix + "exists").c_str(), "1");
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD name_len = sizeof name, type = 0, size = 0;
        static unsigned char data[65536];
        size = sizeof data;
        if (RegEnumValueA(key, i, name, &name_len, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::string n(name, name_len);
        out((prefix + "value." + (n.empty() ? std::string("(default)") : n)).c_str(),
            std::to_string(type) + "," + std::to_string(size) + "," + to_hex(data, size));
    }
    RegCloseKey(key);
}

int cmd_regget(const std::vector<std::string>& args) {
    if (args.size() != 2 || !key_path(args[0])) return 2;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path(args[0]), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        out("exists", "0");
        return 0;
    }
    DWORD type = 0, size = 0;
    static unsigned char data[65536];
    size = sizeof data;
    LONG r = RegQueryValueExA(key, args[1].c_str(), nullptr, &type, data, &size);
    RegCloseKey(key);
    out("exists", r == ERROR_SUCCESS ? "1" : "0");
    if (r == ERROR_SUCCESS) out("value", std::to_string(type) + "," + std::to_string(size) + "," + to_hex(data, size));
    return 0;
}

int cmd_regset(const std::vector<std::string>& args) {
    if (args.size() != 4 || !key_path(args[0])) return 2;
    DWORD type;
    if (args[2] == "sz") type = REG_SZ;
    else if (args[2] == "binary") type = REG_BINARY;
    else if (args[2] == "dword") type = REG_DWORD;
    else type = std::strtoul(args[2].c_str(), nullptr, 0);
    std::string bytes;
    if (!standin::from_hex(args[3], bytes)) return 2;
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path(args[0]), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "kvitest regset: cannot create key\n");
        return 1;
    }
    LONG r = RegSetValueExA(key, args[1].c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        std::fprintf(stderr, "kvitest regset: write failed (%ld)\n", r);
        return 1;
    }
    return 0;
}

int cmd_regdel() {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordParent, KEY_WOW64_32KEY, 0);  // only when nothing else is below it
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY, 0);
    HKEY key;
    bool left = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS;
    if (left) RegCloseKey(key);
    bool left2 = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS;
    if (left2) RegCloseKey(key);
    if (left || left2) {
        std::fprintf(stderr, "kvitest regdel: a key is still there\n");
        return 1;
    }
    return 0;
}

// --- shell ---------------------------------------------------------------------

int cmd_lnkread(const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void**>(&link));
    if (FAILED(hr)) {
        out("loaded", "0");
        CoUninitialize();
        return 1;
    }
    IPersistFile* file = nullptr;
    hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    wchar_t wide[MAX_PATH * 2];
    MultiByteToWideChar(CP_ACP, 0, args[0].c_str(), -1, wide, MAX_PATH * 2);
    if (SUCCEEDED(hr)) hr = file->Load(wide, STGM_READ);
    out("loaded", SUCCEEDED(hr) ? "1" : "0");
    if (SUCCEEDED(hr)) {
        char buf[MAX_PATH * 4];
        WIN32_FIND_DATAA fd;
        buf[0] = 0;
        link->GetPath(buf, sizeof buf, &fd, SLGP_RAWPATH);
        out("target", buf);
        buf[0] = 0;
        link->GetDescription(buf, sizeof buf);
        out("description", buf);
        buf[0] = 0;
        link->GetWorkingDirectory(buf, sizeof buf);
        out("workdir", buf);
        buf[0] = 0;
        int index = -1;
        link->GetIconLocation(buf, sizeof buf, &index);
        out("icon", buf);
        out("icon_index", std::to_string(index));
        buf[0] = 0;
        link->GetArguments(buf, sizeof buf);
        out("arguments", buf);
        int show = 0;
        link->GetShowCmd(&show);
        out("show", std::to_string(show));
        WORD hotkey = 0;
        link->GetHotkey(&hotkey);
        out("hotkey", std::to_string(hotkey));
    }
    if (file) file->Release();
    link->Release();
    CoUninitialize();
    return 0;
}

int cmd_programs() {
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, 0, path))) return 1;
    out("programs", path);
    return 0;
}

int dispatch(const std::vector<std::string>& cmd) {
    if (cmd.empty()) return 2;
    std::vector<std::string> args(cmd.begin() + 1, cmd.end());
    const std::string& name = cmd[0];
    if (name == "run") return cmd_run(args);
    if (name == "sddl") return cmd_sddl();
    if (name == "secread") return cmd_secread(args);
    if (name == "secset") return cmd_secset(args);
    if (name == "keyacl") return cmd_keyacl(args);
    if (name == "regdump") {
        dump_key("record");
        dump_key("uninstall");
        return 0;
    }
    if (name == "regget") return cmd_regget(args);
    if (name == "regset") return cmd_regset(args);
    if (name == "regdel") return cmd_regdel();
    if (name == "lnkread") return cmd_lnkread(args);
    if (name == "programs") return cmd_programs();
    if (name == "desktop") {
        out("desktop", std::to_string(reinterpret_cast<ULONG_PTR>(GetDesktopWindow())));
        return 0;
    }
    std::fprintf(stderr, "kvitest: unknown command %s\n", name.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int worst = 0;
    std::vector<std::string> cmd;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::strcmp(argv[i], ";;") == 0) {
            std::fflush(stdout);
            int r = dispatch(cmd);
            std::printf("status.%s=%d\n", cmd.empty() ? "" : cmd[0].c_str(), r);
            std::fflush(stdout);
            if (r > worst) worst = r;
            cmd.clear();
        } else {
            cmd.push_back(argv[i]);
        }
    }
    return worst;
}
