// The message boxes of both programs.
#pragma once

#include "platform.h"

namespace kvi {

// Notes the box's caption in the trace, then shows it and waits until it is dismissed.
void show_box(const char* text, const char* caption, plat::Icon icon = plat::Icon::none);

}  // namespace kvi
