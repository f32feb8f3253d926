// The Windows programs are built without the C runtime: their process starts
// in runtime_win32.cpp, which calls program_main and ends the process with
// the status it returns. Each program's main.cpp defines it.
#pragma once

namespace kvi {

// The program's whole run. Returns its exit status.
int program_main();

}  // namespace kvi
