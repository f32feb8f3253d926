// setup's command line: program directory, argument tail, forwarded options
// and flags.
#pragma once

#include <string_view>

#include "text.h"

namespace kvi::setup {

// What the command line yields. Absent texts mean "none".
struct Options {
    Text program_dir;  // lower case, with its closing backslash
    Text tail;         // lower case, from the blank behind the program's name
    Text forwarded;    // present (maybe empty) whenever tail is present
    Text target_path;  // starts with the blank that follows the option word
    bool force = false;
    bool batch = false;
    bool noexecute = false;
    bool target = false;
    bool nojw = false;  // "-nojw" anywhere in the tail
};

enum class ParseEnd {
    done,          // go on with the options
    usage,         // the usage box, then the end
    version,       // the version box, then the end
    out_of_memory  // a copy could not be made; end without doing anything
};

// Parses a command line as GetCommandLineA gives it. Leaves `out` as far as
// it got when it returns something other than done.
ParseEnd parse_command_line(std::string_view command_line, Options& out);

// True when s is not empty and holds only blanks, tabs, and line, page and
// carriage control characters.
bool is_blank(std::string_view s);

}  // namespace kvi::setup
