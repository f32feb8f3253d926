// The least a program can do to answer setup's version probe: end with -1110.
//
// Built a second time with KVI_BENCH_REGISTRY_IMPORT: then it also imports
// advapi32.dll, as Install does for its registration, without calling it on
// its way. That tells how much loading advapi32 costs the probe's answer.
#include <windows.h>

#include "runtime.h"

int kvi::program_main() {
#ifdef KVI_BENCH_REGISTRY_IMPORT
    if (GetCommandLineA()[0] == '\x01') RegCloseKey(HKEY_LOCAL_MACHINE);  // never: only keeps the import
#endif
    return -1110;
}
