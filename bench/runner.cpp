// benchrun: the Windows side of the benchmark. It starts each variant of a
// figure in turn (A B A B ...), times every start from the Windows side with
// the performance counter, and waits for every process a run started before
// the next run begins, so runs never overlap.
//
//   benchrun.exe --out FILE --rounds N [--records DIR [--records-all]] [--console]
//       { --variant NAME --cmd-hex HEX [--cwd-hex HEX] [--stdin PATH]
//         [--prep none|clean|current] [--inst-path-hex HEX] }...
//
// Round 0 is a check round: it runs every variant once with KVI_RECORD_DIR
// set to DIR (when given), so the stand-ins record what they were given, and
// its times are not meant to be counted. Rounds 1..N run without records,
// unless --records-all keeps them on in every round.
//
// Preparation before each run (outside the timed span):
//   clean    no installation record, no C:\HalvikTorvanex\Install, no C:\HalvikTorvanex
//   current  a record naming a current copy: Version "1.8-002", InstPath = --inst-path-hex
//
// Each run is started suspended in a job object whose messages come through a
// completion port: the runner notes the performance-counter time at which
// every process of the run starts and ends. One line per run goes to FILE:
//   run variant=A round=3 pid=PID exit=0x00000000 elapsed_us=12345 end_ft=FILETIME
//       timeout=0 jobmsg=1 events=new:PID:US:NAME,exit:PID:US,...
// Times are microseconds since the runner called CreateProcess; NAME is the
// new process's program file, lower-cased ("?" when it ended too soon to ask); end_ft is the
// wall clock (GetSystemTimeAsFileTime, as the stand-ins use it) when the
// program's exit message came.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/e2e/standins/record.h"
#include "constants.h"
#include "record.h"

namespace {

using kvi::kRecordKey;
const char kRecordParent[] = "Software\\HalvikTorvanex";
using kvi::kOwnVersion;
const DWORD kRunTimeoutMs = 180000;

struct Variant {
    std::string name, command, cwd, stdin_path, prep = "none", inst_path;
};

LARGE_INTEGER frequency;

long long now_us(const LARGE_INTEGER& since) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (t.QuadPart - since.QuadPart) * 1000000 / frequency.QuadPart;
}

unsigned long long wall_clock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The file name of a process's program, lower-cased, or "?" when it cannot be
// read. Tells the console host Wine starts beside a console program started
// without a window (conhost.exe) from the programs a run starts. A handle is
// opened as the process is announced and asked only after the run, when
// nothing is timed any more: Wine cannot name a process that is still
// starting, and an ended one is gone unless a handle holds it.
std::string image_name(HANDLE process) {
    char path[MAX_PATH];
    DWORD n = sizeof path;
    if (!process || !QueryFullProcessImageNameA(process, 0, path, &n)) return "?";
    const char* base = std::strrchr(path, '\\');
    std::string name = base ? base + 1 : path;
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return name;
}

bool prepare(const Variant& v) {
    if (v.prep == "clean") {
        // The programs use the 32-bit view of the registry in both builds.
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordParent, KEY_WOW64_32KEY, 0);
        RemoveDirectoryA("C:\\HalvikTorvanex\\Install");
        RemoveDirectoryA("C:\\HalvikTorvanex");
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            return false;
        }
        return GetFileAttributesA("C:\\HalvikTorvanex") == INVALID_FILE_ATTRIBUTES;
    }
    if (v.prep == "current") {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return false;
        bool ok = RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(kOwnVersion),
                                 sizeof kOwnVersion) == ERROR_SUCCESS &&
                  RegSetValueExA(key, "InstPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.inst_path.c_str()),
                                 static_cast<DWORD>(v.inst_path.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
        return ok;
    }
    return v.prep == "none";
}

std::string run_once(const Variant& v, int round) {
    char head[256];
    if (!prepare(v)) {
        std::snprintf(head, sizeof head, "run variant=%s round=%d error=prepare\n", v.name.c_str(), round);
        return head;
    }

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    BOOL inherit = FALSE;
    HANDLE in = nullptr, nul = nullptr;
    if (!v.stdin_path.empty()) {
        // As a command shell does for "program < file": the file on standard
        // input, the other standard handles left to the program (here: NUL).
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        in = CreateFileA(v.stdin_path.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, nullptr);
        nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        if (in == INVALID_HANDLE_VALUE) {
            std::snprintf(head, sizeof head, "run variant=%s round=%d error=stdin\n", v.name.c_str(), round);
            return head;
        }
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = nul;
        si.hStdError = nul;
        inherit = TRUE;
    }

    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT link = {job, port};
    bool messages = job && port &&
                    SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &link, sizeof link);

    std::string line = v.command;
    PROCESS_INFORMATION pi;
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, inherit, CREATE_SUSPENDED, nullptr,
                                  v.cwd.empty() ? nullptr : v.cwd.c_str(), &si, &pi);
    DWORD start_error = started ? 0 : GetLastError();
    if (in && in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (nul && nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        if (port) CloseHandle(port);
        if (job) CloseHandle(job);
        std::snprintf(head, sizeof head, "run variant=%s round=%d error=start:%lu\n", v.name.c_str(), round,
                      static_cast<unsigned long>(start_error));
        return head;
    }
    bool in_job = AssignProcessToJobObject(job, pi.hProcess) != FALSE;
    ResumeThread(pi.hThread);

    // The run ends when the job has no process left; the program's own end is
    // the exit message of its process id.
    std::string events;
    std::vector<HANDLE> announced;  // each new process, in order, to be named after the run
    long long main_end = -1;
    unsigned long long end_ft = 0;
    bool timed_out = false;
    if (messages && in_job) {
        for (;;) {
            DWORD code = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED data = nullptr;
            if (!GetQueuedCompletionStatus(port, &code, &key, &data, kRunTimeoutMs)) {
                timed_out = true;
                break;
            }
            long long t = now_us(t0);
            DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
            const char* kind = nullptr;
            if (code == JOB_OBJECT_MSG_NEW_PROCESS) kind = "new";
            else if (code == JOB_OBJECT_MSG_EXIT_PROCESS || code == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) kind = "exit";
            else if (code == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) break;
            if (!kind) continue;
            if (kind[0] == 'e' && pid == pi.dwProcessId) {
                main_end = t;
                end_ft = wall_clock();
            }
            char ev[64];
            std::snprintf(ev, sizeof ev, "%s%s:%lu:%lld", events.empty() ? "" : ",", kind,
                          static_cast<unsigned long>(pid), t);
            events += ev;
            if (kind[0] == 'n') {
                events += ":@" + std::to_string(announced.size());  // the name, once known
                announced.push_back(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
            }
        }
    }
    // Without job messages: the program's end from its handle, then a pause
    // long enough for what it started.
    if (main_end < 0 && !timed_out) {
        timed_out = WaitForSingleObject(pi.hProcess, kRunTimeoutMs) != WAIT_OBJECT_0;
        main_end = now_us(t0);
        end_ft = wall_clock();
        if (!messages || !in_job) Sleep(2000);
    }
    if (timed_out && job) TerminateJobObject(job, 0xDEAD);
    WaitForSingleObject(pi.hProcess, 10000);
    DWORD status = 0;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (port) CloseHandle(port);
    if (job) CloseHandle(job);
    for (std::size_t i = announced.size(); i-- > 0;) {  // backwards: "@1" is not found inside "@12"
        std::string mark = ":@" + std::to_string(i);
        std::size_t at = events.find(mark);
        if (at != std::string::npos) events.replace(at, mark.size(), ":" + image_name(announced[i]));
        if (announced[i]) CloseHandle(announced[i]);
    }

    std::snprintf(head, sizeof head,
                  "run variant=%s round=%d pid=%lu exit=0x%08lX elapsed_us=%lld end_ft=%llu timeout=%d jobmsg=%d "
                  "events=",
                  v.name.c_str(), round, static_cast<unsigned long>(pi.dwProcessId), static_cast<unsigned long>(status),
                  main_end, end_ft, timed_out ? 1 : 0, messages && in_job ? 1 : 0);
    return head + events + "\n";
}

// The smallest step of the wall clock and of the performance counter, so the
// reader of the output knows what a microsecond figure is worth.
std::string clock_steps() {
    FILETIME a, b;
    long long step = 0;
    for (int i = 0; i < 5; ++i) {
        GetSystemTimeAsFileTime(&a);
        do {
            GetSystemTimeAsFileTime(&b);
        } while (b.dwLowDateTime == a.dwLowDateTime && b.dwHighDateTime == a.dwHighDateTime);
        ULARGE_INTEGER ua = {{a.dwLowDateTime, a.dwHighDateTime}}, ub = {{b.dwLowDateTime, b.dwHighDateTime}};
        long long d = static_cast<long long>(ub.QuadPart - ua.QuadPart);
        if (step == 0 || d < step) step = d;
    }
    char text[160];
    std::snprintf(text, sizeof text, "clock qpc_hz=%lld filetime_step_100ns=%lld\n",
                  static_cast<long long>(frequency.QuadPart), step);
    return text;
}

int usage() {
    std::fprintf(stderr, "usage: benchrun --out FILE --rounds N [--records DIR [--records-all]] [--console] "
                         "{--variant NAME --cmd-hex HEX [--cwd-hex HEX] [--stdin PATH] [--prep P] "
                         "[--inst-path-hex HEX]}...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out_path, records;
    int rounds = 0;
    bool console = false, records_all = false;
    std::vector<Variant> variants;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (k == "--console" || k == "--records-all") {
            (k == "--console" ? console : records_all) = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        std::string v = argv[++i];
        if (k == "--out") out_path = v;
        else if (k == "--rounds") rounds = std::atoi(v.c_str());
        else if (k == "--records") records = v;
        else if (k == "--variant") {
            variants.emplace_back();
            variants.back().name = v;
        }
        else if (variants.empty()) return usage();
        else if (k == "--cmd-hex" && standin::from_hex(v, variants.back().command)) continue;
        else if (k == "--cwd-hex" && standin::from_hex(v, variants.back().cwd)) continue;
        else if (k == "--inst-path-hex" && standin::from_hex(v, variants.back().inst_path)) continue;
        else if (k == "--stdin") variants.back().stdin_path = v;
        else if (k == "--prep") variants.back().prep = v;
        else return usage();
    }
    if (out_path.empty() || variants.empty() || rounds < 1) return usage();

    QueryPerformanceFrequency(&frequency);
    // Console programs started from here share one console of ours, as they
    // would share the console of the command prompt they were typed into;
    // without it Wine would make a new console for each of them.
    if (console) {
        FreeConsole();
        AllocConsole();
    }
    // Wine starts its desktop process for the first program with a window;
    // that happens here, before any timed run.
    GetDesktopWindow();

    HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 2;
    auto put = [out](const std::string& text) {
        DWORD written = 0;
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    };
    put(clock_steps());
    for (int round = 0; round <= rounds; ++round) {
        if (round == 0 && !records.empty()) SetEnvironmentVariableA("KVI_RECORD_DIR", records.c_str());
        // Interleaved, A B A B: whatever drifts on the machine during the
        // run touches every variant alike.
        for (const Variant& v : variants) put(run_once(v, round));
        if (round == 0 && !records_all) SetEnvironmentVariableA("KVI_RECORD_DIR", nullptr);
    }
    CloseHandle(out);
    return 0;
}
