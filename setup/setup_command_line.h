// setup's command line: program directory, argument tail, forwarded options
// and flags, and the two informational boxes.
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
};

enum class ParseEnd {
    done,          // go on with the options
    usage,         // show the usage box and end
    version,       // show the version box and end
    out_of_memory  // a copy could not be made; end without doing anything
};

// Parses a command line as GetCommandLineA gives it. Leaves `out` as far as
// it got when it returns something other than done.
ParseEnd parse_command_line(std::string_view command_line, Options& out);

// The usage box's text and the version box's text, exactly as shown.
std::string_view usage_text();
std::string_view version_text();

// Shows the usage box / the version box (OK button, no icon).
void show_usage();
void show_version();

// True when s is not empty and holds only blanks, tabs, and line, page and
// carriage control characters.
bool is_blank(std::string_view s);

}  // namespace kvi::setup
