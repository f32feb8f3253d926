// Install's command line: the program directory from its own name, the
// argument tail from the process command line, and the options in it.
#pragma once

#include <string_view>

#include "boxes.h"
#include "text.h"

namespace kvi::install {

// The program's own name at the start of a command line, as the C runtime
// splits off argv[0]: a name that opens with a double quote runs to the next
// one (or to the end), quotes left out; any other runs to the first blank or
// tab, a quote in it kept. A view into command_line; "" when it is null.
std::string_view own_name(const char* command_line);

// own_name, or, for an empty command line (a caller may pass one), the full
// path of the program's own file, as the C runtime's argv[0] then was.
// `storage` keeps that path; "" when it cannot be read.
std::string_view program_name(const char* command_line, Text& storage);

// True when the argument tail is present and holds option anywhere.
bool has_option(const Text& tail, std::string_view option);

// Install's options. Each is a text looked for anywhere in the lower-cased
// tail, not a word: "-silent" is also found in "-silentlaunch", "-nojw" in
// "-nojwx", "-b" in every argument that begins with it ("-batch" among them).
struct Options {
    bool help, verctrl, nojw, silent_launch, noexecute, register_copy, silent, batch;
    // The Quiet bits of -silentLaunch and -silent, which silence boxes.
    unsigned quiet() const { return (silent_launch ? kSilentLaunch : kLoud) | (silent ? kSilent : kLoud); }
};
Options parse_options(const Text& tail);


// The command line, read once.
struct CommandLine {
    bool found = false;  // own_name holds "install"; else nothing is read and texts stay absent
    Text program_dir;    // absent when the name holds "install" only at its start, or not at all
    Text tail;           // lower case; absent when nothing follows the name behind a blank
    Options options{};
};

// Reads own_name (argv[0]) and the process command line, whose tail is
// taken from a lower-cased copy of its own.
CommandLine split_command_line(std::string_view own_name, const char* process_command_line);

// The usage text exactly as Install prints it.
std::string_view usage_text();

void print_usage();

}  // namespace kvi::install
