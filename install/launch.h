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

// What the launch came to: started, or the step it failed at. A start that
// failed has shown its box already: with standard input relayed, the box
// shows before standard input is given back and the pipe is closed.
enum class Launch { started, not_started, no_command, no_runtime };

// Starts the application from the current directory and, when standard input
// is relayed, feeds it and waits for it to end.
Launch launch_application(const CommandLine& line);

}  // namespace kvi::install
