// Self-registration: the installation record, the Windows uninstall entry and
// the Start-menu shortcut.
#pragma once

#include <cstdint>
#include <string_view>

#include "text.h"

namespace kvi::install {

enum class Registration { go_on, end_run };

// Builds the uninstall command for dir into out and returns the byte count to
// write: dir + 21 (+ 2 for quotes), so a drive root, which needs no added
// backslash, is written with one extra zero byte. 0 when the heap is exhausted.
std::uint32_t build_uninstall_command(Text& out, std::string_view dir);

// Registers the copy in the current directory. Returns end_run when the
// uninstall entry could not be completed; the run then ends with status 0.
// `quiet` holds the options in effect that silence boxes.
Registration register_installation(unsigned quiet);

}  // namespace kvi::install
