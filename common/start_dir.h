// What both programs do first with their surroundings.
#pragma once

#include <cstdint>

#include "text.h"

namespace kvi {

// Reads the path that a platform call gives (its length, the needed size
// when the buffer is too small, 0 on failure) whole, however many bytes it
// takes. False when it cannot be read or the heap is exhausted.
bool read_path(std::uint32_t (*read)(char* buf, std::uint32_t cap), Text& out);

// Reads the whole current directory, however long. False when it cannot be read.
bool read_current_dir(Text& out);

// Sets KVI_START_DIR to the current directory when reading it yields no
// characters; a set, non-empty value (of any length) is left alone. Every
// process started afterwards inherits it.
void settle_start_dir();

}  // namespace kvi
