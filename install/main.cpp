// Install's entry: a console program; argv[0] is its own name as the runtime
// split it from the command line, enclosing quotes removed.
#include "install_flow.h"

int main(int argc, char** argv) { return kvi::install::run(argc > 0 && argv[0] ? argv[0] : ""); }
