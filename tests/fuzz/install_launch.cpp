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
    kvi::Text tail = kvi::Text::from(raw_tail);
    for (bool console : {false, true}) {
        kvi::Text out;
        FUZZ_CHECK(kvi::install::build_launch_command(out, console, tail));
        const std::string& base = console ? kJava : kJavaw;
        FUZZ_CHECK(out.size() == base.size() + 1 + raw_tail.size());
        FUZZ_CHECK(std::string(out.view()) == base + " " + raw_tail);
    }
}

struct Model {
    std::string name, lowered, dir, tail;
    bool found = false, has_dir = false, has_tail = false;
    bool has(const char* option) const { return has_tail && fuzz::contains(tail, option); }
};

Model model_of(const std::string& line) {
    Model m;
    m.name = fuzz::element_zero(line);
    m.lowered = fuzz::lower(line);
    std::string lname = fuzz::lower(m.name);
    std::size_t last = lname.rfind("install");
    m.found = last != std::string::npos;
    if (!m.found) return m;
    if (last > 0) {
        std::size_t from = lname[0] == '"' ? 1 : 0;
        m.has_dir = true;
        m.dir = lname.substr(from, last - from);
    }
    std::size_t blank = m.lowered.size() > m.name.size() ? m.lowered.find(' ', m.name.size()) : std::string::npos;
    if (blank != std::string::npos) {
        m.has_tail = true;
        m.tail = m.lowered.substr(blank);
    }
    return m;
}

void run_install(const std::string& line, const Model& m, bool answer_file) {
    fake::reset();
    fake::State& s = fake::state();
    s.command_line = line;
    s.dirs.insert("C:\\Kit");
    // The program's folder exists, as it does for a program that was started.
    if (!m.dir.empty()) {
        s.dirs.insert(m.dir);
        if (m.dir.size() > 3 && m.dir.back() == '\\') s.dirs.insert(m.dir.substr(0, m.dir.size() - 1));
    }
    if (answer_file) {
        s.stdin_kind = fake::StdinKind::disk_file;
        s.stdin_data = line;
    }
    const std::string start_dir = s.cwd;

    int status = kvi::install::run(m.name.c_str());

    FUZZ_CHECK(fuzz::nothing_leaked());
    FUZZ_CHECK(fuzz::boxes_among(expected::kInstallCaptions));
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
        FUZZ_CHECK(fake::captions() ==
                   (m.has("-silentlaunch") ? std::vector<std::string>{} : std::vector<std::string>{"Set Directory Error"}));
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
    const std::string& command = started[0];
    if (m.has_tail) {
        FUZZ_CHECK(command.size() == base.size() + 1 + m.tail.size());
        FUZZ_CHECK(command == base + " " + m.tail);
    } else {
        FUZZ_CHECK(command == base);
    }
    const fake::Launch& app = s.launches[0];
    const bool relay = batch && answer_file;
    FUZZ_CHECK(app.new_console == (batch && !relay) && app.has_console_look == (batch && !relay));
    FUZZ_CHECK(app.inherit_handles == relay);
    if (relay) FUZZ_CHECK(s.piped == line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_build(std::string(reinterpret_cast<const char*>(data), size));

    const std::string line = fuzz::platform_text(data, size);
    const Model m = model_of(line);
    run_install(line, m, false);
    if (m.has("-batch") || m.has("-b")) run_install(line, m, true);
    return 0;
}
