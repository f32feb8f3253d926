// The message boxes of both programs. Each is written once, in boxes.cpp:
// its caption, its text, its icon and the options that silence it. The
// programs say which box, and show() alone decides whether it is seen.
#pragma once

#include <cstdint>

namespace kvi {

// The options that may silence a box, as bits of a mask.
enum Quiet : unsigned { kLoud = 0, kSilentLaunch = 1, kSilent = 2 };

namespace setup {
enum class Box : std::uint8_t { usage, version, original_source, launch };
// Notes the box's caption in the trace, then shows it and waits until it is dismissed.
void show(Box box);
}  // namespace setup

namespace install {
enum class Box : std::uint8_t {
    search, set_directory, registration, shortcut, launch_memory, launch, pipe, pipe_input, duplicate,
    restore_input, invalid_input, close, process_code
};
// As setup's, unless one of the options in `quiet` silences the box.
void show(Box box, unsigned quiet = kLoud);
}  // namespace install

}  // namespace kvi
