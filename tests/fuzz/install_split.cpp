// Install's command-line splitter. The input is either a command line alone,
// whose program name is then taken as the runtime takes element 0 (quoted:
// up to the closing quote; else up to the first blank or tab), or, when it
// holds a line feed, the program's name in front of it and an unrelated
// command line behind it.

#include "fuzz_support.h"
#include "install_command_line.h"

namespace {

void check_split(const std::string& own_name, const std::string& line) {
    fake::reset();
    std::string buffer = line;  // the platform's writable copy of the command line
    kvi::install::CommandLine split = kvi::install::split_command_line(own_name, buffer.data());

    const std::string name = fuzz::lower(own_name);
    const std::size_t last = name.rfind("install");
    FUZZ_CHECK(fuzz::nothing_leaked());

    if (last == std::string::npos) {
        // Nothing is read without the word in the name: one box, no texts.
        FUZZ_CHECK(fake::captions() == std::vector<std::string>{"Search Error"});
        FUZZ_CHECK(!split.program_dir.present() && !split.tail.present());
        FUZZ_CHECK(buffer == line);
        return;
    }
    FUZZ_CHECK(fake::state().boxes.empty());

    // The program directory: the lowered name in front of its last "install",
    // without a leading quote.
    if (last == 0) {
        FUZZ_CHECK(!split.program_dir.present());
    } else {
        FUZZ_CHECK(split.program_dir.present());
        std::size_t from = name[0] == '"' ? 1 : 0;
        const std::string dir(split.program_dir.view());
        FUZZ_CHECK(dir == name.substr(from, last - from));
        FUZZ_CHECK(name.compare(from, dir.size(), dir) == 0 && name.compare(from + dir.size(), 7, "install") == 0);
        FUZZ_CHECK(!fuzz::has_upper(dir));
    }

    // The command line is lowered in place, whole.
    const std::string lowered = fuzz::lower(line);
    FUZZ_CHECK(buffer == lowered);

    // The tail: from the first blank at or after the name's length, to the end.
    std::size_t blank = lowered.size() > own_name.size() ? lowered.find(' ', own_name.size()) : std::string::npos;
    if (blank == std::string::npos) {
        FUZZ_CHECK(!split.tail.present());
        FUZZ_CHECK(!kvi::install::has_option(split.tail, "-"));
        return;
    }
    FUZZ_CHECK(split.tail.present());
    const std::string tail(split.tail.view());
    FUZZ_CHECK(tail == lowered.substr(blank));
    FUZZ_CHECK(tail[0] == ' ' && fuzz::ends_with(lowered, tail) && !fuzz::has_upper(tail));
    FUZZ_CHECK(kvi::install::has_option(split.tail, "-verctrl") == fuzz::contains(tail, "-verctrl"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::platform_text(data, size);
    fuzz::Halves halves = fuzz::split_at_line_feed(input);
    if (halves.has_second) check_split(halves.first, halves.second);
    else {
        FUZZ_CHECK(kvi::install::own_name(input.c_str()) == fuzz::element_zero(input));
        check_split(fuzz::element_zero(input), input);
    }
    return 0;
}
