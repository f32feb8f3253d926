// Starting the Java install application: runtime, console, and the relay of
// a redirected standard input.
#pragma once

#include <string_view>

#include "install_command_line.h"
#include "text.h"

namespace kvi::install {

// The launch command: the base command for the mode, then a blank and the
// argument tail when there is one. False when the heap is exhausted.
bool build_launch_command(Text& out, bool console_runtime, const Text& tail);

// Starts the application from the current directory and, when standard input
// is relayed, feeds it and waits for it to end. Returns 0 when it was
// started, -1 when it could not be.
int launch_application(const CommandLine& line);

}  // namespace kvi::install
