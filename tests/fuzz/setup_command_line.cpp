// setup's command line, and the commands it leads to. The input is the whole
// command line. It is parsed on its own, then setup runs on it from start to
// end on three machines: no installed copy, a current copy (in a folder with
// a blank) that answers the probe, and an older copy.

#include "fuzz_support.h"
#include "setup_command_line.h"
#include "setup_flow.h"

namespace {

using kvi::setup::Options;
using kvi::setup::ParseEnd;

using expected::kRecord;
using fuzz::str;
const std::string kCurrentPath = "C:\\Program Files\\Kit";
const std::string kOlderPath = "C:\\Old";

// What the parser hands on holds together, whatever the command line.
void check_parse(const std::string& line, const Options& o, ParseEnd end) {
    const std::string lowered = fuzz::lower(line);
    FUZZ_CHECK(end != ParseEnd::out_of_memory);

    // Wherever "setup" stands, one of its occurrences is the name: a folder holding " -" cannot hide it.
    if (fuzz::contains(lowered, "setup") && !fuzz::starts_with(lowered, "setup")) FUZZ_CHECK(o.program_dir.present());
    if (o.program_dir.present()) {
        // The text in front of the name "setup", after a leading quote.
        std::size_t from = !lowered.empty() && lowered[0] == '"' ? 1 : 0;
        const std::string dir = str(o.program_dir);
        FUZZ_CHECK(lowered.compare(from, dir.size(), dir) == 0);
        FUZZ_CHECK(lowered.compare(from + dir.size(), 5, "setup") == 0);
        FUZZ_CHECK(!fuzz::has_upper(dir));
    }
    if (!o.tail.present()) {
        FUZZ_CHECK(!o.forwarded.present() && !o.target_path.present());
        FUZZ_CHECK(!o.force && !o.batch && !o.noexecute && !o.target);
        return;
    }
    // The tail: a suffix of the lowered line that starts with a blank.
    const std::string tail = str(o.tail);
    FUZZ_CHECK(!tail.empty() && tail[0] == ' ' && fuzz::ends_with(lowered, tail) && !fuzz::has_upper(tail));
    FUZZ_CHECK(o.forwarded.present());
    // "help" or "version" in any word ends the parse with its box.
    if (fuzz::contains(tail, "help") || fuzz::contains(tail, "version")) FUZZ_CHECK(end != ParseEnd::done);
    if (end != ParseEnd::done) return;

    const std::string forwarded = str(o.forwarded);
    FUZZ_CHECK(!fuzz::has_upper(forwarded));
    FUZZ_CHECK(forwarded.empty() || fuzz::starts_with(forwarded, " -"));
    if (o.force) FUZZ_CHECK(fuzz::contains(forwarded, " -force"));
    if (o.noexecute) FUZZ_CHECK(fuzz::contains(forwarded, " -noexecute"));
    if (o.batch) FUZZ_CHECK(fuzz::contains(forwarded, " -batch  "));  // the value brings its own blank
    if (o.target) {
        const std::string path = str(o.target_path);
        FUZZ_CHECK(path.size() >= 2 && path[0] == ' ' && !kvi::setup::is_blank(path));
        FUZZ_CHECK(fuzz::contains(tail, path) && !fuzz::contains(path, "-"));
    } else {
        FUZZ_CHECK(!o.target_path.present());
    }
}

// The bootstrap command for a machine whose usual location can be prepared.
std::string bootstrap(const Options& o, const std::string& location_of_older_copy) {
    std::string location = o.target ? str(o.target_path) : location_of_older_copy;
    std::string command = o.target || !location.empty() ? "_instkvi.com -s -f " + location : "_instkvi.com -s";
    return o.forwarded.present() ? command + " -a " + str(o.forwarded) : command;
}

enum class Copy { none, current, older };

void check_run(const std::string& line, const Options& o, ParseEnd end, Copy copy) {
    fake::reset();
    fake::State& m = fake::state();
    m.command_line = line;
    // In a folder only administrators control, as the fake's are.
    if (copy == Copy::current) fake::plant_copy("1.8-002", kCurrentPath, expected::kProbeAnswer);
    if (copy == Copy::older) fake::plant_copy("1.7-999", kOlderPath, expected::kProbeAnswer);

    FUZZ_CHECK(kvi::setup::run() == 0);
    FUZZ_CHECK(fuzz::clean_end(expected::captions("setup")));
    const std::vector<std::string> started = fake::commands();

    if (end == ParseEnd::usage || end == ParseEnd::version) {
        FUZZ_CHECK(fake::captions() ==
                   std::vector<std::string>{end == ParseEnd::usage ? "Usage Help" : "Version Information"});
        FUZZ_CHECK(started.empty() && !fake::value(kRecord, "OriginalSource"));
        return;
    }
    FUZZ_CHECK(fake::captions().empty());
    FUZZ_CHECK(fake::value(kRecord, "OriginalSource").has_value());

    if (copy == Copy::current && !o.force && !o.target) {
        // Probe, then the hand-off with the tail; the path is quoted for its blank.
        const std::string install = "\"" + kCurrentPath + "\\Install.exe\"";
        std::vector<std::string> want = {install + " -verctrl"};
        const std::string tail = o.tail.present() ? " " + str(o.tail) : "";
        if (!o.noexecute) want.push_back(install + " -silentLaunch -register" + tail);
        FUZZ_CHECK(started == want);
        return;
    }

    FUZZ_CHECK(started.size() == 1);
    const std::string& command = started[0];
    const bool reinstall = copy == Copy::older && !o.force && !o.target;
    FUZZ_CHECK(command == bootstrap(o, reinstall ? kOlderPath : ""));
    FUZZ_CHECK(fuzz::starts_with(command, "_instkvi.com -s"));
    std::size_t own = reinstall ? std::string("_instkvi.com -s -f ").size() + kOlderPath.size() : 0;
    FUZZ_CHECK(!fuzz::has_upper(std::string_view(command).substr(own)));
    if (o.tail.present()) FUZZ_CHECK(fuzz::ends_with(command, " -a " + str(o.forwarded)));
    else FUZZ_CHECK(!fuzz::contains(command, " -a "));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line = fuzz::platform_text(data, size);

    Options options;
    ParseEnd end = kvi::setup::parse_command_line(line, options);
    check_parse(line, options, end);

    for (Copy copy : {Copy::none, Copy::current, Copy::older}) check_run(line, options, end, copy);
    return 0;
}
