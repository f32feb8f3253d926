// What both programs do first with their surroundings.
#pragma once

namespace kvi {

// Sets KVI_START_DIR to the current directory when reading it yields no
// characters; a set, non-empty value (of any length) is left alone. Every
// process started afterwards inherits it.
void settle_start_dir();

}  // namespace kvi
