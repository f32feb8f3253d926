// The least a start-up program can do on a machine without an installed copy:
// start the bootstrap installer by name, close the handles, end.
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
    char command[] = "_instkvi.com -s";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return 0;
}
