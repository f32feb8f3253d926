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
    kvi::install::CommandLine split = kvi::install::split_command_line(own_name, line.c_str());
    const fuzz::InstallLine want = fuzz::install_line(own_name, line);
    FUZZ_CHECK(fake::leaks().empty());

    if (!want.found) {
        // Nothing is read without the word in the name: no texts.
        FUZZ_CHECK(!split.found && !split.program_dir.present() && !split.tail.present());
        return;
    }
    FUZZ_CHECK(split.found && fake::state().boxes.empty());
    FUZZ_CHECK(split.program_dir.present() == want.has_dir);
    if (want.has_dir) FUZZ_CHECK(fuzz::str(split.program_dir) == want.dir);

    FUZZ_CHECK(split.tail.present() == want.has_tail);
    if (!want.has_tail) {
        FUZZ_CHECK(!kvi::install::has_option(split.tail, "-"));
        return;
    }
    const std::string tail = fuzz::str(split.tail);
    FUZZ_CHECK(tail == want.tail);
    FUZZ_CHECK(tail[0] == ' ' && fuzz::ends_with(want.lowered, tail) && !fuzz::has_upper(tail));
    FUZZ_CHECK(kvi::install::has_option(split.tail, "-verctrl") == fuzz::contains(tail, "-verctrl"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::platform_text(data, size);
    fuzz::Halves halves = fuzz::split_at_line_feed(input);
    if (halves.second) {
        check_split(halves.first, *halves.second);
    } else {
        FUZZ_CHECK(kvi::install::own_name(input.c_str()) == fuzz::element_zero(input));
        check_split(fuzz::element_zero(input), input);
    }
    return 0;
}
