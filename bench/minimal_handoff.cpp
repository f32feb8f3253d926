// The least a start-up program can do to hand off to an installed copy: start
// its version probe and wait for the answer, then start the hand-off without
// waiting, each start made as setup makes it. The installed folder is the
// program's whole argument text.
//
// Built a second time with KVI_BENCH_SETUP_IMPORTS: then it also imports the
// DLLs setup imports (user32 and advapi32) without calling them on its way.
#include <windows.h>

#include <cstring>

#include "runtime.h"

namespace {

// As setup starts the probe and the hand-off: by the command line alone, and
// without a console window (Wine gives each such console program a console
// host of its own, which setup's starts pay for too).
bool start(char* command, PROCESS_INFORMATION& pi) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    return CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi) !=
           FALSE;
}

// The text behind the program's name and the blanks after it.
const char* arguments(const char* p) {
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {
        }
        if (*p) ++p;
    }
    while (*p && *p != ' ' && *p != '\t') ++p;
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

}  // namespace

int kvi::program_main() {
    const char* folder = arguments(GetCommandLineA());
#ifdef KVI_BENCH_SETUP_IMPORTS
    if (folder[0] == '\x01') {  // never given: only keeps the imports
        MessageBoxA(nullptr, folder, folder, MB_OK);
        RegCloseKey(HKEY_LOCAL_MACHINE);
    }
#endif
    static char command[1024];
    std::size_t n = std::strlen(folder);
    if (n + 64 > sizeof command) return 1;

    std::memcpy(command, folder, n);
    constexpr char kProbe[] = "\\Install.exe -verctrl";
    std::memcpy(command + n, kProbe, sizeof kProbe);
    PROCESS_INFORMATION pi;
    if (!start(command, pi)) return 1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 0;
    BOOL read = GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!read || status != static_cast<DWORD>(-1110)) return 1;

    constexpr char kHandOff[] = "\\Install.exe -silentLaunch -register";
    std::memcpy(command + n, kHandOff, sizeof kHandOff);
    if (!start(command, pi)) return 1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
