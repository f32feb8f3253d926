// kvitest: the Windows-side tool of the end-to-end tests, built for each architecture; like the
// programs it names the 32-bit registry view, so both builds read and write the same keys.
// Commands may be chained in one start, separated by ";;"; each ends with a line status.NAME=N.
//
//   run --status FILE --cmd-hex HEX [--cwd-hex HEX] [--stdin FILE|pipe:FILE|none|nul] [--stdout FILE]
//       [--console 1] [--flags N] [--env NAME=VALUE] [--unset NAME] [--timeout MS] [--tree-timeout MS]
//       [--boxes leave]
//       Starts the command line (its bytes, passed to CreateProcessA verbatim) in a job object, waits
//       for it and every process it started, and writes to FILE the full 32-bit exit status and times;
//       meanwhile it writes each message box of the run's processes (box.N.*) and closes it with its
//       OK, as a user at a real session would (--boxes leave: the caller presses them), and lists every
//       process of the run (proc.N.*, procs=N). --stdin pipe:FILE: a pipe the runner writes FILE's
//       bytes into, then closes, as `type FILE | program` does; --console 1: a new console of the
//       runner's own, read from unless --stdin says otherwise.
//   regdump                   every value of the record and the uninstall entry
//   regget KEY NAME           one value: type, byte count, bytes in hex
//   regset KEY NAME TYPE HEX  writes exact bytes (TYPE sz, binary, dword or a number)
//   regdel                    deletes the record and the uninstall entry
//   lnkread PATH              a shell link's properties
//   programs                  the current user's Programs folder
//   desktop                   makes Wine start its desktop process now, outside any run
//   sddl                      setup's access list of the usual location, converted: its control
//                             bits, owner (a SID, or 0) and entries
//   secread PATH              a file's or folder's owner and entries the same way
//   secset PATH SDDL          gives a file or folder the owner and access list of SDDL
//   keyacl get|set uninstall-parent [SDDL]   the access list of the key of the uninstall entries
// KEY is "record" or "uninstall". Output lines are key=value, values percent-escaped as in the
// stand-ins' records.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "constants.h"
#include "record.h"
#include "../standins/record.h"

namespace {

using Args = std::vector<std::string>;
using standin::kv;
using std::to_string;

using kvi::kRecordKey;
const char kRecordParent[] = "Software\\HalvikTorvanex";
const char kUninstallParent[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HalvikTorvanexJI";

void out(const std::string& key, const std::string& value) { std::fputs(kv(key, value).c_str(), stdout); }

int complain(int code, const std::string& text) {
    std::fprintf(stderr, "kvitest: %s\n", text.c_str());
    return code;
}

std::string hex32(DWORD v) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08lX", static_cast<unsigned long>(v));
    return s;
}

template <class T>
bool contains(const std::vector<T>& v, T x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

const char* key_path(const std::string& alias) {
    return alias == "record" ? kRecordKey : alias == "uninstall" ? kUninstallKey : nullptr;
}

bool open_key(const char* path, HKEY& key, REGSAM access = KEY_READ) {
    return path && RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS;
}

// --- run --------------------------------------------------------------------

HANDLE inheritable(HANDLE h) {
    HANDLE dup = nullptr;
    if (h && h != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return dup;
    return nullptr;
}

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
    bool desktop_only = !pids.empty();  // unreadable: the caller goes on waiting
    for (DWORD pid : pids) {
        PROCESSENTRY32 pe;
        std::string name = standin::find_process(pid, pe) ? pe.szExeFile : "?";
        names += (names.empty() ? "" : ",") + name + ":" + to_string(pid);
        desktop_only = desktop_only && standin::lower(name) == "explorer.exe";
    }
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

// Finds the message boxes (dialog class, an OK button, a static holding the
// text) of the run's processes, writes each once and presses its OK.
struct BoxWatch {
    HANDLE job = nullptr;
    bool press = true;
    std::string* result = nullptr;
    std::vector<DWORD> pids;
    std::vector<HWND> seen;
    DWORD began = GetTickCount();

    void sweep() {
        for (size_t i = 0; i < seen.size(); ++i)
            if (seen[i] && !IsWindow(seen[i])) {
                *result += kv("box." + to_string(i + 1) + ".gone_ms", to_string(GetTickCount() - began));
                seen[i] = nullptr;
            }
        pids = job_pids(job);
        if (!pids.empty()) EnumWindows(on_window, reinterpret_cast<LPARAM>(this));
    }

    // A window's own text, without a message to its (perhaps busy) owner.
    static std::string text_of(HWND w) {
        static char buffer[65536];
        int n = GetWindowTextA(w, buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? n : 0);
    }

    static BOOL CALLBACK on_window(HWND w, LPARAM param) {
        BoxWatch* self = reinterpret_cast<BoxWatch*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        char cls[16] = "";
        GetClassNameA(w, cls, sizeof cls);
        if (!contains(self->pids, pid) || std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(w) ||
            !GetDlgItem(w, IDOK))
            return TRUE;
        if (!contains(self->seen, w)) {
            // Its text is a static without SS_ICON, its icon one with it, when it shows one: Windows
            // and Wine give them different ids, so by kind.
            HWND text = nullptr;
            bool icon = false;
            for (HWND c = FindWindowExA(w, nullptr, "Static", nullptr); c; c = FindWindowExA(w, c, "Static", nullptr)) {
                DWORD_PTR hicon = 0;
                if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) text = text ? text : c;
                else if (IsWindowVisible(c)) SendMessageTimeoutA(c, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &hicon);
                icon = icon || hicon != 0;
            }
            if (!text) return TRUE;
            self->seen.push_back(w);
            std::string n = "box." + to_string(self->seen.size()) + ".";
            *self->result += kv(n + "caption", text_of(w)) + kv(n + "text", text_of(text)) +
                             kv(n + "icon", icon ? "1" : "0") +
                             kv(n + "owner", GetWindow(w, GW_OWNER) ? "1" : "0") + kv(n + "pid", to_string(pid)) +
                             kv(n + "seen_ms", to_string(GetTickCount() - self->began)) +
                             kv("boxes", to_string(self->seen.size()));
        }
        // Pressed again on every sweep while it stays: a click that came
        // before the box took input is not lost.
        if (self->press)
            PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, IDOK)));
        return TRUE;
    }
};

// Every process of the run's job, in the order the job announced it: its image, its command line
// as the process itself holds it (its PEB's parameters, UTF-16 written as UTF-8) and its parent.
// The job's completion port names each new process at once, so that one that ends quickly is
// still read: under Wine a new process fills in its parameters itself, so a read is tried again
// until it succeeds or the process has ended. One that could not be read is listed as "unread",
// never left out. A 32-bit runner reads 32-bit processes only (the programs it runs are built for
// its own architecture): a 64-bit one is "unread (64-bit)".
struct ProcessWatch {
    struct Proc {
        Proc(DWORD id, HANDLE h, bool a) : pid(id), since(GetTickCount()), handle(h), announced(a) {}
        DWORD pid, since;
        HANDLE handle;
        bool announced;
        std::string parent, image, cmdline, state;  // state: empty until it is read or given up
    };
    HANDLE job = nullptr, port = nullptr, thread = nullptr;
    std::vector<Proc> procs;

    typedef LONG(NTAPI* QueryProcess)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QueryProcess query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));

    static std::string utf8(const std::wstring& w) {
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

    // One attempt at reading a process; true once it is read. The image comes
    // from the system, which names it for any process this one may query: so a
    // 64-bit one (Wine's console host beside a 32-bit runner) is still known by
    // what it is, though its memory is not read.
    bool read(Proc& p) {
        wchar_t full[32768];
        DWORD n = sizeof full / sizeof full[0];
        if (p.image.empty() && QueryFullProcessImageNameW(p.handle, 0, full, &n)) p.image = utf8(std::wstring(full, n));
        PROCESS_BASIC_INFORMATION info;
        ULONG size = 0;
        bool basic = query && query(p.handle, ProcessBasicInformation, &info, sizeof info, &size) == 0;
        if (basic) p.parent = to_string(static_cast<unsigned long>(info.InheritedFromUniqueProcessId));
        BOOL self_wow = FALSE, other_wow = FALSE;
        IsWow64Process(GetCurrentProcess(), &self_wow);
        IsWow64Process(p.handle, &other_wow);
        if (self_wow && !other_wow && !p.image.empty()) {
            p.state = "unread (64-bit)";
            return true;
        }
        if (!basic) return false;
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
            !read_string(p.handle, params.CommandLine, base, !(flags & 1), line) ||
            params.CommandLine.Buffer == nullptr || line.empty() || line.find(L'\0') != std::wstring::npos)
            return false;
        if (p.image.empty()) p.image = utf8(image);
        p.cmdline = utf8(line);
        p.state = "read";
        return true;
    }

    void attempt(Proc& p, bool last) {
        if (!p.state.empty()) return;
        // Wine signals a process that has no thread running yet, a new one too:
        // it has ended only once it has an exit status.
        DWORD code = STILL_ACTIVE;
        bool ended = p.handle && WaitForSingleObject(p.handle, 0) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(p.handle, &code) && code != STILL_ACTIVE;
        if (!p.handle)
            p.state = "unread (gone)";  // ended before it could be opened
        else if (!read(p) && (ended || last || GetTickCount() - p.since > 10000))
            p.state = ended ? "unread (ended, " + hex32(code) + ")" : std::string("unread");
        if (!p.state.empty() && p.handle) {
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
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
        if (!h) h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
        procs.emplace_back(pid, h, announced);
    }

    void loop() {
        for (bool over = false; !over;) {
            bool waiting = false;
            for (Proc& p : procs) waiting = waiting || p.state.empty();
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
            std::string k = "proc." + to_string(++n) + ".";
            result += kv(k + "pid", to_string(p.pid)) + kv(k + "parent", p.parent) + kv(k + "state", p.state) +
                      kv(k + "image", p.image) + kv(k + "cmdline", p.cmdline);
        }
        result += kv("procs", to_string(n));
    }
};

// Waits for the started program (pressing its boxes meanwhile), then for the
// rest of the run's tree, and writes what it saw.
void wait_for_run(const PROCESS_INFORMATION& pi, HANDLE job, bool in_job, bool press, DWORD timeout,
                  DWORD tree_timeout, std::string& result) {
    auto put = [&result](const char* key, const std::string& value) { result += kv(key, value); };
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    BoxWatch boxes;
    boxes.job = in_job ? job : nullptr;
    boxes.press = press;
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
    put("exit", hex32(code));
    put("elapsed_ms", to_string((t1.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart));
    put("time_end", to_string(ended));

    // Everything the program started belongs to the job too: wait until
    // the last of them has ended, so that a test sees the whole run.
    DWORD waited = 0;
    bool tree_done = !in_job;
    std::string left;
    while (in_job) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)) break;
        tree_done = info.ActiveProcesses == 0 || (waited % 200 == 0 && only_desktop_left(job, left));
        if (tree_done || waited >= tree_timeout) break;
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
    put("tree_ms", to_string(waited));
}

int cmd_run(const Args& args) {
    std::string status_file, cmd, cwd, stdin_from, stdout_file;
    DWORD timeout = 60000, tree_timeout = 30000, flags = 0;
    bool console = false, press_boxes = true;
    struct EnvChange {
        std::string name, value;
        bool set;
    };
    std::vector<EnvChange> env, before;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string &k = args[i], &v = args[i + 1];
        DWORD number = std::strtoul(v.c_str(), nullptr, 0);
        if (k == "--status") status_file = v;
        else if (k == "--cmd-hex") standin::from_hex(v, cmd);
        else if (k == "--cwd-hex") standin::from_hex(v, cwd);
        else if (k == "--stdin") stdin_from = v;
        else if (k == "--stdout") stdout_file = v;
        else if (k == "--timeout") timeout = number;
        else if (k == "--tree-timeout") tree_timeout = number;
        else if (k == "--console") console = v == "1";
        else if (k == "--flags") flags = number;
        else if (k == "--boxes") press_boxes = v != "leave";
        else if (k == "--env" && v.find('=') != std::string::npos)
            env.push_back({v.substr(0, v.find('=')), v.substr(v.find('=') + 1), true});
        else if (k == "--unset") env.push_back({v, std::string(), false});
        else return complain(2, "run: unknown option " + k);
    }
    if (status_file.empty() || cmd.empty()) return complain(2, "run: --status and --cmd-hex are required");

    std::string result;
    auto put = [&result](const char* key, const std::string& value) { result += kv(key, value); };
    put("runner_pid", to_string(GetCurrentProcessId()));

    // --console 1: the program starts in a real console of ours (Wine gives a
    // program started from a Unix shell none), with the console's handles as
    // its standard handles unless --stdin or --stdout say otherwise.
    const DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE saved[3];
    for (int i = 0; i < 3; ++i) saved[i] = GetStdHandle(std_ids[i]);
    if (console) {
        FreeConsole();
        put("alloc_console", AllocConsole() ? "1" : "0");
    }
    // Wine leaves the runner's own standard input (the Unix one) in place after
    // AllocConsole; the console's input buffer is handed over by name instead,
    // so that the program really reads from a console.
    if (console && stdin_from.empty()) stdin_from = "conin";

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PipeFeed feed;
    if (!stdin_from.empty() || !stdout_file.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE in = nullptr;
        bool conin = stdin_from == "conin", nul = stdin_from == "nul";
        if (stdin_from.rfind("pipe:", 0) == 0) {
            HANDLE read_end = nullptr;
            if (!CreatePipe(&read_end, &feed.write, nullptr, 0)) return complain(2, "run: cannot make a pipe");
            in = inheritable(read_end);
            CloseHandle(read_end);
            feed.file = stdin_from.substr(5);
        } else if (stdin_from.empty()) {
            in = inheritable(GetStdHandle(STD_INPUT_HANDLE));
        } else if (stdin_from != "none") {
            in = CreateFileA(conin ? "CONIN$" : nul ? "NUL" : stdin_from.c_str(),
                             GENERIC_READ | (conin ? GENERIC_WRITE : 0), FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
            if (in == INVALID_HANDLE_VALUE && !conin && !nul) return complain(2, "run: cannot open " + stdin_from);
        }
        // Whether the console's input is a console as programs test for one. (Wine
        // without a terminal makes a console whose input does not answer.)
        DWORD mode = 0;
        if (conin) put("console_input", GetConsoleMode(in, &mode) ? "1" : "0");
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = stdout_file.empty() ? inheritable(GetStdHandle(STD_OUTPUT_HANDLE))
                                            : CreateFileA(stdout_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                                          CREATE_ALWAYS, 0, nullptr);
        si.hStdError = inheritable(GetStdHandle(STD_ERROR_HANDLE));
    }

    // The program inherits the changed environment; the runner's own is put
    // back right after the start, for the next command of the chain.
    for (const EnvChange& e : env) {
        before.push_back({e.name, std::string(), false});
        before.back().set = standin::get_env(e.name.c_str(), before.back().value);
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
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, si.dwFlags != 0, CREATE_SUSPENDED | flags,
                                  nullptr, cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    DWORD start_error = started ? 0 : GetLastError();
    SetCurrentDirectoryA(runner_dir.c_str());
    for (auto e = before.rbegin(); e != before.rend(); ++e)
        SetEnvironmentVariableA(e->name.c_str(), e->set ? e->value.c_str() : nullptr);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    for (int i = 0; console && i < 3; ++i) SetStdHandle(std_ids[i], saved[i]);

    put("started", started ? "1" : "0");
    HANDLE feeder = nullptr;
    if (!started) {
        put("start_error", to_string(start_error));
    } else {
        put("main_pid", to_string(pi.dwProcessId));
        bool in_job = job && AssignProcessToJobObject(job, pi.hProcess);
        put("in_job", in_job ? "1" : "0");
        if (feed.write) feeder = CreateThread(nullptr, 0, feed_pipe, &feed, 0, nullptr);
        wait_for_run(pi, job, in_job, press_boxes, timeout, tree_timeout, result);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    watch.finish(result);
    if (job) CloseHandle(job);
    if (feeder) {
        WaitForSingleObject(feeder, 10000);
        CloseHandle(feeder);
    } else if (feed.write) {
        CloseHandle(feed.write);
    }
    return standin::save(status_file, result, false) ? 0 : complain(2, "run: cannot write " + status_file);
}

// --- access lists -------------------------------------------------------------

PSECURITY_DESCRIPTOR from_sddl(const char* text) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &sd, nullptr) ? sd : nullptr;
}

std::string sid_text(PSID sid, const char* none) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return none;
    std::string s = text;
    LocalFree(text);
    return s;
}

struct Descriptor {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    PSID owner = nullptr;
    PACL acl = nullptr;
    BOOL present = FALSE;

    explicit Descriptor(PSECURITY_DESCRIPTOR sd) {
        DWORD revision = 0;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorControl(sd, &control, &revision);
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    }
};

// Prints whether the descriptor was had (as KEY), then its control bits,
// owner and entries, and frees it.
int print_descriptor(const char* key, PSECURITY_DESCRIPTOR sd) {
    out(key, sd ? "1" : "0");
    if (!sd) return 0;
    Descriptor d(sd);
    out("dacl_protected", (d.control & SE_DACL_PROTECTED) ? "1" : "0");
    out("owner", sid_text(d.owner, "0"));
    out("dacl_present", d.present && d.acl ? "1" : "0");
    if (d.present && d.acl) out("aces", to_string(d.acl->AceCount));
    for (WORD i = 0; d.present && d.acl && i < d.acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(d.acl, i, reinterpret_cast<void**>(&ace))) continue;
        char head[64];
        std::snprintf(head, sizeof head, "%u,0x%X,0x%lX,", ace->Header.AceType, ace->Header.AceFlags,
                      static_cast<unsigned long>(ace->Mask));
        out("ace" + to_string(i),
            head + sid_text(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? &ace->SidStart : nullptr, "?"));
    }
    LocalFree(sd);
    return 0;
}

int cmd_sddl(const Args&) { return print_descriptor("converted", from_sddl(kvi::kInstalledFolderSddl)); }

int cmd_secread(const Args& args) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD r = GetNamedSecurityInfoA(args[0].c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    nullptr, nullptr, &sd);
    return print_descriptor("read", r == ERROR_SUCCESS ? sd : nullptr);
}

// Gives a file or folder the owner and access list of an SDDL text. Any owner:
// Windows lets a holder of the restore privilege (an administrator's token has
// it, off) name one other than itself.
int cmd_secset(const Args& args) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        for (const char* name : {"SeRestorePrivilege", "SeTakeOwnershipPrivilege"}) {
            TOKEN_PRIVILEGES tp = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
            if (LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid))
                AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        }
        CloseHandle(token);
    }
    PSECURITY_DESCRIPTOR sd = from_sddl(args[1].c_str());
    if (!sd) return 2;
    Descriptor d(sd);
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
        ((d.control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::string path = args[0];
    DWORD r = SetNamedSecurityInfoA(&path[0], SE_FILE_OBJECT, what, d.owner, nullptr, d.acl, nullptr);
    LocalFree(sd);
    out("set", r == ERROR_SUCCESS ? "1" : to_string(r));
    return r == ERROR_SUCCESS ? 0 : 1;
}

int cmd_keyacl(const Args& args) {
    bool set = args[0] == "set";
    if (args[1] != "uninstall-parent" || args.size() != (set ? 3u : 2u) || (!set && args[0] != "get")) return 2;
    PSECURITY_DESCRIPTOR sd = set ? from_sddl(args[2].c_str()) : nullptr;
    HKEY key;
    if (set && !sd) return 2;
    if (!open_key(kUninstallParent, key, set ? WRITE_DAC : READ_CONTROL)) {
        LocalFree(sd);
        return 1;
    }
    static char buffer[8192];
    DWORD size = sizeof buffer;
    char* text = nullptr;
    LONG r = set ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd)
                 : RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
    if (!set && r == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        out("sddl", text);
        LocalFree(text);
    }
    LocalFree(sd);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 0 : 1;
}

// --- registry ---------------------------------------------------------------------

std::string value_text(DWORD type, const unsigned char* p, DWORD n) {
    static const char hex[] = "0123456789ABCDEF";
    std::string s = to_string(type) + "," + to_string(n) + ",";
    for (DWORD i = 0; i < n; ++i) s += {hex[p[i] >> 4], hex[p[i] & 15]};
    return s;
}

int cmd_regdump(const Args&) {
    for (std::string alias : {"record", "uninstall"}) {
        HKEY key;
        bool exists = open_key(key_path(alias), key);
        out(alias + ".exists", exists ? "1" : "0");
        for (DWORD i = 0; exists; ++i) {
            char name[512];
            static unsigned char data[65536];
            DWORD name_len = sizeof name, type = 0, size = sizeof data;
            if (RegEnumValueA(key, i, name, &name_len, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            std::string value_name = name_len ? std::string(name, name_len) : "(default)";
            out(alias + ".value." + value_name, value_text(type, data, size));
        }
        if (exists) RegCloseKey(key);
    }
    return 0;
}

int cmd_regget(const Args& args) {
    if (!key_path(args[0])) return 2;
    static unsigned char data[65536];
    DWORD type = 0, size = sizeof data;
    HKEY key;
    bool found = open_key(key_path(args[0]), key);
    if (found) {
        found = RegQueryValueExA(key, args[1].c_str(), nullptr, &type, data, &size) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    out("exists", found ? "1" : "0");
    if (found) out("value", value_text(type, data, size));
    return 0;
}

int cmd_regset(const Args& args) {
    std::string bytes;
    if (!key_path(args[0]) || !standin::from_hex(args[3], bytes)) return 2;
    const std::string& t = args[2];
    DWORD type = t == "sz"       ? REG_SZ
                 : t == "binary" ? REG_BINARY
                 : t == "dword"  ? REG_DWORD
                                 : std::strtoul(t.c_str(), nullptr, 0);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path(args[0]), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return complain(1, "regset: cannot create key");
    LONG r = RegSetValueExA(key, args[1].c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 0 : complain(1, "regset: write failed (" + to_string(r) + ")");
}

int cmd_regdel(const Args&) {
    // The record's parent goes only when nothing else is below it.
    for (const char* path : {kRecordKey, kRecordParent, kUninstallKey})
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0);
    HKEY key;
    for (const char* path : {kRecordKey, kUninstallKey})
        if (open_key(path, key)) {
            RegCloseKey(key);
            return complain(1, "regdel: a key is still there");
        }
    return 0;
}

// --- shell ----------------------------------------------------------------------

int cmd_lnkread(const Args& args) {
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link)))) {
        out("loaded", "0");
        CoUninitialize();
        return 1;
    }
    wchar_t wide[MAX_PATH * 2];
    MultiByteToWideChar(CP_ACP, 0, args[0].c_str(), -1, wide, MAX_PATH * 2);
    bool loaded = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                  SUCCEEDED(file->Load(wide, STGM_READ));
    out("loaded", loaded ? "1" : "0");
    if (loaded) {
        char buf[MAX_PATH * 4];
        WIN32_FIND_DATAA fd;
        int index = -1, show = 0;
        WORD hotkey = 0;
        auto text = [&buf](const char* key, auto get) {
            buf[0] = 0;
            get();
            out(key, buf);
        };
        text("target", [&] { link->GetPath(buf, sizeof buf, &fd, SLGP_RAWPATH); });
        text("description", [&] { link->GetDescription(buf, sizeof buf); });
        text("workdir", [&] { link->GetWorkingDirectory(buf, sizeof buf); });
        text("icon", [&] { link->GetIconLocation(buf, sizeof buf, &index); });
        out("icon_index", to_string(index));
        text("arguments", [&] { link->GetArguments(buf, sizeof buf); });
        link->GetShowCmd(&show);
        out("show", to_string(show));
        link->GetHotkey(&hotkey);
        out("hotkey", to_string(hotkey));
    }
    if (file) file->Release();
    link->Release();
    CoUninitialize();
    return 0;
}

int cmd_programs(const Args&) {
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, 0, path))) return 1;
    out("programs", path);
    return 0;
}

int cmd_desktop(const Args&) {
    out("desktop", to_string(reinterpret_cast<ULONG_PTR>(GetDesktopWindow())));
    return 0;
}

struct Command {
    const char* name;
    size_t min_args, max_args;
    int (*run)(const Args&);
};

const Command kCommands[] = {
    {"run", 0, 1000, cmd_run},       {"regdump", 0, 0, cmd_regdump},  {"regget", 2, 2, cmd_regget},
    {"regset", 4, 4, cmd_regset},    {"regdel", 0, 0, cmd_regdel},    {"lnkread", 1, 1, cmd_lnkread},
    {"programs", 0, 0, cmd_programs}, {"desktop", 0, 0, cmd_desktop}, {"sddl", 0, 0, cmd_sddl},
    {"secread", 1, 1, cmd_secread},  {"secset", 2, 2, cmd_secset},   {"keyacl", 2, 3, cmd_keyacl},
};

int dispatch(const Args& cmd) {
    if (cmd.empty()) return 2;
    Args args(cmd.begin() + 1, cmd.end());
    for (const Command& c : kCommands)
        if (cmd[0] == c.name) return args.size() < c.min_args || args.size() > c.max_args ? 2 : c.run(args);
    return complain(2, "unknown command " + cmd[0]);
}

}  // namespace

int main(int argc, char** argv) {
    int worst = 0;
    Args cmd;
    for (int i = 1; i <= argc; ++i) {
        if (i < argc && std::strcmp(argv[i], ";;") != 0) {
            cmd.push_back(argv[i]);
            continue;
        }
        std::fflush(stdout);
        int r = dispatch(cmd);
        std::printf("status.%s=%d\n", cmd.empty() ? "" : cmd[0].c_str(), r);
        std::fflush(stdout);
        worst = std::max(worst, r);
        cmd.clear();
    }
    return worst;
}
