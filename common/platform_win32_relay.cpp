// The Win32 side of the calls in platform.h that only Install makes: the
// standard handles, the relay's pipe with its reads and writes, the usage
// text on standard output, and the end of an application that cannot be
// waited for. Only Install links this file: setup, linking it, would import
// the kernel32 functions behind each of them, used or not.
#include "platform.h"
#include "platform_win32.h"

namespace plat {

using namespace win32;

// --- Processes ----------------------------------------------------------------------

bool terminate(Handle process, std::uint32_t code) { return TerminateProcess(to_win(process), code) != FALSE; }

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

// --- Pipes and standard handles --------------------------------------------------

Handle std_input() { return from_win(GetStdHandle(STD_INPUT_HANDLE)); }

bool set_std_input(Handle handle) { return SetStdHandle(STD_INPUT_HANDLE, to_win(handle)) != FALSE; }

bool std_input_redirected() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
    // A handle that is not open at all: GetFileType fails on it.
    SetLastError(NO_ERROR);
    if (GetFileType(in) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
    // Only a console answers GetConsoleMode; the null device, though a
    // character device like the console, does not. A pipe counts as
    // redirected input: the C runtime's position query succeeds on a pipe
    // (SetFilePointer gives back the position the system keeps for the
    // handle), so `type answers.txt | Install -batch` and tools that feed
    // standard input through a pipe have always been relayed. We decide by
    // the kind of handle instead of asking SetFilePointer, whose answer for a
    // pipe is undefined and not the same under every Windows.
    DWORD mode = 0;
    return GetConsoleMode(in, &mode) == FALSE;
}

bool create_pipe(Handle& read_end, Handle& write_end) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) return false;
    read_end = from_win(r);
    write_end = from_win(w);
    return true;
}

bool duplicate_uninheritable(Handle source, Handle& copy) {
    HANDLE self = GetCurrentProcess();
    HANDLE dup = nullptr;
    if (!DuplicateHandle(self, to_win(source), self, &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
    copy = from_win(dup);
    return true;
}

bool read_file(Handle handle, void* buf, std::uint32_t n, std::uint32_t& got) {
    DWORD count = 0;
    BOOL ok = ReadFile(to_win(handle), buf, n, &count, nullptr);
    got = count;
    return ok != FALSE;
}

void write_stdout(const char* text, std::uint32_t n) {
    // Straight to the handle: the C runtime's text mode would turn each "\n"
    // into "\r\n" and change the byte count of what we print.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    while (n > 0) {
        DWORD wrote = 0;
        if (!WriteFile(out, text, n, &wrote, nullptr) || wrote == 0) return;
        text += wrote;
        n -= wrote;
    }
}

}  // namespace plat
