// setup's entry: a windowed program with no window of its own. The process
// starts in common/runtime_win32.cpp, which calls this and ends with its status.
#include "runtime.h"
#include "setup_flow.h"

int kvi::program_main() { return kvi::setup::run(); }
