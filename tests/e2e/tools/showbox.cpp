// showbox CAPTION-HEX TEXT-HEX error|none: shows one message box through the
// programs' own plat::message_box (the very call setup and Install make), for
// the pictures of boxes whose failures Wine cannot bring about (a registry write
// refused to an administrator, a pipe that cannot be made; docs/boxes.md names
// them). Caption and text arrive as hex, their bytes exactly; "error" adds the
// error icon as the programs' Icon::error does.
#include <cstring>
#include <string>

#include "platform.h"
#include "../standins/record.h"

int main(int argc, char** argv) {
    std::string caption, text;
    if (argc != 4 || !standin::from_hex(argv[1], caption) || !standin::from_hex(argv[2], text)) return 2;
    bool error = std::strcmp(argv[3], "error") == 0;
    if (!error && std::strcmp(argv[3], "none") != 0) return 2;
    plat::message_box(text.c_str(), caption.c_str(), error ? plat::Icon::error : plat::Icon::none);
    return 0;
}
