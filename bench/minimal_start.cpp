// The least a start-up program can do on a machine without an installed copy:
// start the bootstrap installer by its full path, as setup does, close the
// handles, end.
//
// Built twice more: with KVI_BENCH_SETUP_IMPORTS it also imports user32 and
// advapi32 (setup's imports before it loaded user32 only for a box), with
// KVI_BENCH_REGISTRY_IMPORT only advapi32, in both cases without calling them
// on its way. That tells how much the loading of those DLLs costs alone.
#include <windows.h>

#include "runtime.h"

int kvi::program_main() {
    const char* line = GetCommandLineA();
    if (line[0] == '\x01') {  // never given: only keeps the imports
#ifdef KVI_BENCH_SETUP_IMPORTS
        MessageBoxA(nullptr, line, line, MB_OK);
#endif
#if defined(KVI_BENCH_SETUP_IMPORTS) || defined(KVI_BENCH_REGISTRY_IMPORT)
        RegCloseKey(HKEY_LOCAL_MACHINE);
#endif
    }
    // As setup does: the bootstrap named by its full path beside this
    // program's own file, so no search for it is made.
    static char program[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    char* name = program + n;
    while (name > program && name[-1] != '\\') --name;
    lstrcpyA(name, "_instkvi.com");
    char command[] = "_instkvi.com -s";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (CreateProcessA(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return 0;
}
