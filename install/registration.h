// Self-registration: the installation record and the Windows uninstall entry.
#pragma once

#include <cstdint>
#include <string_view>

#include "text.h"

namespace kvi::install {

// What registering came to. `failed` and `incomplete` end the run with
// status 0, `failed` after its box; `incomplete` (an uninstall entry made but
// not written whole) says nothing.
enum class Registration { done, failed, incomplete };

// Builds the uninstall command for dir into out and returns the byte count to
// write: dir + 21 (+ 2 for quotes), so a drive root, which needs no added
// backslash, is written with one extra zero byte. 0 when the heap is exhausted.
std::uint32_t build_uninstall_command(Text& out, std::string_view dir);

// Registers the copy in the current directory. Failures of the record are
// passed over; the uninstall entry decides the result.
Registration register_installation();

}  // namespace kvi::install
