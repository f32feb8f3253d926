// Install's option scan and launch command, through its whole run on the
// fake. The input is the command line; the program's name is element 0 as
// the runtime splits it, and its folder exists. Install runs once with a
// console as standard input and, in batch mode, once more with the input
// itself as a redirected answer file, which must reach the application byte
// for byte. The launch command is also built directly from the raw input.

#include "fuzz_support.h"
#include "install_command_line.h"
#include "install_flow.h"
#include "launch.h"

namespace {

using expected::kJava;
using expected::kJavaw;
using expected::kRecord;

// The launch command is exactly as long as the base command, a blank and the tail, whatever the tail holds.
void check_build(const std::string& raw_tail) {
    for (bool console : {false, true}) {
        kvi::Text out;
        FUZZ_CHECK(kvi::install::build_launch_command(out, console, kvi::Text::from(raw_tail)));
        const std::string& base = console ? kJava : kJavaw;
        FUZZ_CHECK(out.size() == base.size() + 1 + raw_tail.size());
        FUZZ_CHECK(fuzz::str(out) == base + " " + raw_tail);
    }
}

void run_install(const std::string& line, const std::string& name, const fuzz::InstallLine& m, bool answer_file) {
    fake::reset();
    fake::State& s = fake::state();
    s.command_line = line;
    s.dirs.insert("C:\\Kit");
    // The program's folder exists, as it does for a program that was started.
    if (!m.dir.empty()) {
        s.dirs.insert(m.dir);
        if (m.dir.size() > 3 && m.dir.back() == '\\') s.dirs.insert(m.dir.substr(0, m.dir.size() - 1));
    }
    if (answer_file) fake::answer_file(line);
    const std::string start_dir = s.cwd;

    int status = kvi::install::run(name);

    FUZZ_CHECK(fuzz::clean_end(expected::captions("install")));
    const bool help = m.has("-help") || m.has("-h");
    FUZZ_CHECK(s.stdout_text == (help ? std::string(kvi::install::usage_text()) : std::string()));
    if (!m.found) FUZZ_CHECK(!fake::captions().empty() && fake::captions()[0] == "Search Error");
    const std::vector<std::string> started = fake::commands();

    if (m.has("-verctrl")) {
        // The probe's answer, with no other effect.
        FUZZ_CHECK(status == -1110 && started.empty() && s.cwd == start_dir);
        FUZZ_CHECK(fake::call_count(fake::Op::set_current_dir) == 0 && fake::call_count(fake::Op::create_key) == 0);
        return;
    }
    if (m.has_dir && m.dir.empty()) {
        // A name that is "install..." in quotes leaves an empty directory, which cannot be entered.
        FUZZ_CHECK(status == 0 && started.empty());
        const std::vector<std::string> box = {"Set Directory Error"};
        FUZZ_CHECK(fake::captions() == (m.has("-silentlaunch") ? std::vector<std::string>{} : box));
        return;
    }
    if (m.has("-register")) {
        FUZZ_CHECK(fake::value(kRecord, "Version") == std::string("1.8-002", 8));
        FUZZ_CHECK(fake::value(kRecord, "InstPath") == s.cwd + '\0');
    } else {
        FUZZ_CHECK(s.registry.find(kRecord) == s.registry.end());
    }
    FUZZ_CHECK(status == 0);
    if (m.has("-noexecute")) {
        FUZZ_CHECK(started.empty());
        return;
    }

    const bool batch = m.has("-batch") || m.has("-b");
    const std::string& base = (batch || m.has("-nojw")) ? kJava : kJavaw;
    FUZZ_CHECK(started.size() == 1);
    FUZZ_CHECK(started[0] == (m.has_tail ? base + " " + m.tail : base));
    FUZZ_CHECK(started[0].size() == base.size() + (m.has_tail ? 1 + m.tail.size() : 0));
    const fake::Launch& app = s.launches[0];
    const bool relay = batch && answer_file;
    FUZZ_CHECK(app.new_console == (batch && !relay) && app.has_console_look == (batch && !relay));
    FUZZ_CHECK(app.inherit_handles == relay);
    if (relay) FUZZ_CHECK(s.piped == line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_build(fuzz::bytes(data, size));

    const std::string line = fuzz::platform_text(data, size), name = fuzz::element_zero(line);
    const fuzz::InstallLine m = fuzz::install_line(name, line);
    run_install(line, name, m, false);
    if (m.has("-batch") || m.has("-b")) run_install(line, name, m, true);
    return 0;
}
