// Install's entry: a console program. The process starts in
// common/runtime_win32.cpp, which calls this and ends with its status. The
// program's own name is taken from the process command line here, as a C
// runtime would have split it off as argv[0].
#include "install_command_line.h"
#include "install_flow.h"
#include "platform.h"
#include "runtime.h"

int kvi::program_main() {
    kvi::Text path;
    return kvi::install::run(kvi::install::program_name(plat::process_command_line(), path));
}
