// Stand-in for the Java runtime, installed as JRE\bin\java.exe (console
// build) and JRE\bin\javaw.exe (windowed build). It records its command line,
// directory, KVI_START_DIR, the start-up information it was given, the console
// it finds itself in and every byte of its standard input, then ends after
// KVI_STANDIN_SLEEP_MS milliseconds with the status in KVI_STANDIN_EXIT
// (KVI_STANDIN_READ=0: it leaves its input unread).
#include "record.h"

namespace {

const char* file_type_name(HANDLE h) {
    static const char* const names[] = {"unknown", "disk", "char", "pipe"};
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return h ? "invalid" : "null";
    DWORD type = GetFileType(h);
    return type < 4 ? names[type] : "unknown";
}

void record_startup_info(standin::Record& rec) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    rec.add("si_title_set", si.lpTitle ? "1" : "0");
    rec.add("si_title", si.lpTitle ? si.lpTitle : "");
    rec.add_num("si_x", si.dwX);
    rec.add_num("si_y", si.dwY);
    rec.add_num("si_xsize", si.dwXSize);
    rec.add_num("si_ysize", si.dwYSize);
    rec.add_hex("si_fill", si.dwFillAttribute);
    rec.add_hex("si_flags", si.dwFlags);
    rec.add_num("si_show", si.wShowWindow);
}

void record_console(standin::Record& rec) {
    rec.add("console_window", GetConsoleWindow() ? "1" : "0");
    DWORD pids[64];
    DWORD count = GetConsoleProcessList(pids, 64);
    rec.add_num("console_process_count", count);
    std::string list;
    for (DWORD i = 0; i < count && i < 64; ++i) list += (i ? "," : "") + std::to_string(pids[i]);
    rec.add("console_processes", list);
    char title[1024] = "";
    DWORD tn = GetConsoleTitleA(title, sizeof title);
    rec.add("console_title", std::string(title, tn < sizeof title ? tn : 0));
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info))
        rec.add_hex("console_attributes", info.wAttributes);
    else
        rec.add("console_attributes", "error " + std::to_string(GetLastError()));
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    DWORD mode = 0;
    rec.add("stdin_type", file_type_name(GetStdHandle(STD_INPUT_HANDLE)));
    rec.add("stdin_console", GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ? "1" : "0");
    rec.add("stdout_type", file_type_name(GetStdHandle(STD_OUTPUT_HANDLE)));
    rec.add("stderr_type", file_type_name(GetStdHandle(STD_ERROR_HANDLE)));
}

// Reads standard input to its end when it is a file or a pipe (never a
// console, which would wait for a person), keeps the bytes in a file beside
// the record and records their count and FNV-1a 64 checksum.
void record_stdin(standin::Record& rec) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD type = (in && in != INVALID_HANDLE_VALUE) ? GetFileType(in) : FILE_TYPE_UNKNOWN;
    bool read = (type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK) && standin::env_number("KVI_STANDIN_READ", 1) != 0;
    rec.add("stdin_read", read ? "1" : "0");
    if (!read) return;
    std::string dir = standin::record_dir(), bytes;
    unsigned long long hash = 1469598103934665603ull;
    static char buf[65536];
    DWORD got = 0;
    while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
        bytes.append(buf, got);
    }
    if (!dir.empty()) {
        std::string name = rec.program() + "-" + std::to_string(GetCurrentProcessId()) + ".stdin";
        rec.add("stdin_file", name);
        standin::save(dir + "\\" + name, bytes, false);
    }
    rec.add_num("stdin_bytes", bytes.size());
    rec.add_hex("stdin_fnv1a64", hash);
    rec.add_num("time_stdin_end", standin::now_filetime());
}

}  // namespace

int main() {
    standin::Record rec;
    record_startup_info(rec);
    record_console(rec);
    record_stdin(rec);
    long long sleep_ms = standin::env_number("KVI_STANDIN_SLEEP_MS", 0);
    if (sleep_ms > 0) Sleep(static_cast<DWORD>(sleep_ms));
    UINT status = static_cast<UINT>(standin::env_number("KVI_STANDIN_EXIT", 0));
    rec.add_hex("exit", status);
    rec.write();
    ExitProcess(status);
}
