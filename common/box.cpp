#include "box.h"

#include "trace.h"

namespace kvi {

void show_box(const char* text, const char* caption, plat::Icon icon) {
    trace::note("box %s", caption);
    plat::message_box(text, caption, icon);
}

}  // namespace kvi
