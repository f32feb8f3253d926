// showbox: shows one message box through the programs' own plat::message_box
// (the very call setup and Install make), for the pictures of boxes whose
// failures Wine cannot bring about: a registry write refused to an
// administrator, a pipe that cannot be made, and the like. docs/boxes.md
// names every picture taken this way.
//
//   showbox.exe CAPTION-HEX TEXT-HEX error|none
//
// Caption and text arrive hex-encoded (their bytes exactly, blanks, tabs and
// all); "error" adds the error icon as the programs' Icon::error does.
#include <cstring>
#include <vector>

#include "platform.h"

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The decoded bytes with a terminator; false on anything but pairs of hex digits.
bool from_hex(const char* hex, std::vector<char>& out) {
    std::size_t n = std::strlen(hex);
    if (n % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < n; i += 2) {
        int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    out.push_back('\0');
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char> caption, text;
    if (argc != 4 || !from_hex(argv[1], caption) || !from_hex(argv[2], text)) return 2;
    bool error = std::strcmp(argv[3], "error") == 0;
    if (!error && std::strcmp(argv[3], "none") != 0) return 2;
    plat::message_box(text.data(), caption.data(), error ? plat::Icon::error : plat::Icon::none);
    return 0;
}
