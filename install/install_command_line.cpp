#include "install_command_line.h"

#include "boxes.h"
#include "platform.h"

namespace kvi::install {

namespace {

constexpr char kUsage[] =
    "Usage:\n\n"
    "   -help\t\tdisplays the usage information.\n\n"
    "   -nojw\t\topens a command window (useful for getting output from exceptions).\n\n"
    "   -nosplash\t\tsuppresses splash screen at startup.\n\n"
    "   -batch <file>\tperforms installation in batch mode.\n\n"
    "   -input <file>\tprefills installation input parameters.\n\n"
    "   -silent\t\tprevents output to the screen (use with -batch).\n\n"
    "   -version\t\tdisplays version information.\n\n";

}  // namespace

std::string_view own_name(const char* command_line) {
    if (!command_line) return {};
    // Byte by byte: no byte of a UTF-8 character is a quote, a blank or a tab.
    std::string_view line(command_line);
    if (!line.empty() && line[0] == '"') {
        std::size_t close = line.find('"', 1);
        return slice(line, 1, close == std::string_view::npos ? close : close - 1);
    }
    return slice(line, 0, line.find_first_of(" \t"));
}

std::string_view program_name(const char* command_line, Text& storage) {
    if (command_line && *command_line) return own_name(command_line);
    if (!plat::own_program_path(storage)) return {};
    return storage.view();
}

CommandLine split_command_line(std::string_view own_name, const char* process_command_line) {
    CommandLine out;
    Text name = Text::from(own_name);
    lower_in_place(name.data(), name.size());

    std::size_t last = find_last_match(name.view(), "install");
    if (!(out.found = last != std::string_view::npos)) return out;
    if (last > 0) {
        std::size_t from = name.view()[0] == '"' ? 1 : 0;
        if (!out.program_dir.make_empty() || !out.program_dir.append(slice(name.view(), from, last - from)))
            out.program_dir.reset();
    }

    Text line = Text::from(process_command_line ? process_command_line : "");
    lower_in_place(line.data(), line.size());
    if (line.size() > own_name.size()) {
        std::size_t blank = line.view().find(' ', own_name.size());
        if (blank != std::string_view::npos && !out.tail.append(slice(line.view(), blank))) out.tail.reset();
    }
    out.options = parse_options(out.tail);
    return out;
}

bool has_option(const Text& tail, std::string_view option) { return tail.present() && contains(tail.view(), option); }

Options parse_options(const Text& tail) {
    auto has = [&tail](std::string_view option) { return has_option(tail, option); };
    return {has("-help") || has("-h"), has("-verctrl"), has("-nojw"),      has("-silentlaunch"),
            has("-noexecute"),         has("-register"), has("-silent"), has("-batch") || has("-b")};
}

std::string_view usage_text() { return std::string_view(kUsage, sizeof kUsage - 1); }

void print_usage() { plat::write_stdout(kUsage, sizeof kUsage - 1); }

}  // namespace kvi::install
