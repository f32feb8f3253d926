// The least a relay can do: hand a pipe's read end to a child as its standard
// input, copy our own standard input into the pipe with reads of a given size,
// close the pipe and wait for the child to end.
//
//   bench_relay.exe SIZE COMMAND...   (COMMAND is started as it stands)
#include <windows.h>

#include "runtime.h"

namespace {

// The text after the first blank outside quotes (the program's own name).
char* after_word(char* p) {
    bool quoted = false;
    for (; *p && (quoted || *p != ' '); ++p)
        if (*p == '"') quoted = !quoted;
    while (*p == ' ') ++p;
    return p;
}

// The decimal number at the start of p; 0 when there is none or it is too large.
DWORD number(const char* p) {
    DWORD n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n > (1u << 20)) return 0;
        n = n * 10 + static_cast<DWORD>(*p - '0');
    }
    return n;
}

}  // namespace

int kvi::program_main() {
    char* size_text = after_word(GetCommandLineA());
    char* command = after_word(size_text);
    DWORD size = number(size_text);
    if (size == 0 || size > (1u << 20) || !*command) return 2;
    char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!buffer) return 2;

    HANDLE self = GetCurrentProcess();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr, writer = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) return 3;
    if (!SetStdHandle(STD_INPUT_HANDLE, read_end)) return 3;
    if (!DuplicateHandle(self, write_end, self, &writer, 0, FALSE, DUPLICATE_SAME_ACCESS)) return 3;
    CloseHandle(write_end);

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 4;
    SetStdHandle(STD_INPUT_HANDLE, input);
    CloseHandle(read_end);

    for (;;) {
        DWORD got = 0, wrote = 0;
        if (!ReadFile(input, buffer, size, &got, nullptr) || got == 0) break;
        if (!WriteFile(writer, buffer, got, &wrote, nullptr)) break;
    }
    CloseHandle(writer);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
