#include "setup_flow.h"

#include <utility>

#include "setup_command_line.h"
#include "constants.h"
#include "installed_copy.h"
#include "platform.h"
#include "start_dir.h"
#include "trace.h"

namespace kvi::setup {

namespace {

constexpr char kBaseDir[] = "C:\\HalvikTorvanex";
constexpr char kUsualLocation[] = "C:\\HalvikTorvanex\\Install";
constexpr char kBootstrapName[] = "_instkvi.com";
constexpr char kBootstrap[] = "_instkvi.com -s";
constexpr char kBootstrapAt[] = "_instkvi.com -s -f ";

// True when the process can enter path; the current directory is the same afterwards.
bool directory_reachable(const char* path) {
    Text saved;
    if (!read_current_dir(saved)) return false;
    bool entered = plat::set_current_dir(path);
    (void)plat::set_current_dir(saved.c_str());
    return entered;
}

// The bootstrap installer's full path: the folder of setup's own file and
// the bootstrap's name. Started by that path, no copy that a search would
// find elsewhere (the current directory, PATH) can stand in for a missing one.
bool bootstrap_program(Text& out) {
    constexpr std::uint32_t kLongestPath = 32768;
    for (std::uint32_t cap : {kPathMax, kLongestPath}) {
        Text own;
        if (!own.reserve(cap - 1)) return false;
        std::uint32_t n = plat::own_program_path(own.data(), cap);
        if (n == 0) continue;
        std::string_view path(own.data(), n);
        std::size_t slash = path.rfind('\\');
        if (slash == std::string_view::npos) return false;
        out.reset();
        return out.append_all(slice(path, 0, slash + 1), kBootstrapName);
    }
    return false;
}

// Why the usual location is prepared or not, in a word, for the trace.
const char* location_reason(plat::MakeDir made, bool prepared) {
    if (made == plat::MakeDir::failed) return "failed";
    if (!prepared) return "unreachable";
    return made == plat::MakeDir::created ? "created" : "exists";
}

// Opens the installation record and writes the folder setup runs from into
// it; says so in one box when either fails. Returns the record, maybe not open.
OwnedKey record_original_source() {
    char dir[kPathMax];
    std::uint32_t n = plat::get_current_dir(dir, kPathMax);
    OwnedKey record = open_record();
    bool written = record.open() && n > 0 && n < kPathMax &&
                   plat::set_string_value(record.get(), kValueOriginalSource, dir, n + 1);
    trace::value_written(kValueOriginalSource, dir, n + 1, written);
    if (!written)
        trace::box(
            "Error setting original source.  It may be because you do not have administrator privileges.  "
            "This should not affect the operation of your program.",
            "Registration Error", plat::Icon::error);
    return record;
}

int flow();

}  // namespace

int run() {
    plat::restrict_dll_search();
    trace::begin("setup");
    return trace::end(flow());
}

namespace {

int flow() {
    settle_start_dir();

    Options options;
    switch (parse_command_line(plat::process_command_line(), options)) {
        case ParseEnd::usage: show_usage(); return 0;
        case ParseEnd::version: show_version(); return 0;
        case ParseEnd::out_of_memory: return 0;
        case ParseEnd::done: break;
    }

    bool entered = options.program_dir.present() && plat::set_current_dir(options.program_dir.c_str());
    trace::note("program dir %s %s", options.program_dir.c_str(), trace::maybe_not(entered, "not entered"));

    OwnedKey record = record_original_source();

    // The installed copy: hand off to a current one that answers the probe.
    Outcome outcome = Outcome::none;
    Text inst_path;
    if (!options.force && !options.target) {
        CheckResult check = check_installed_copy(std::move(record));
        outcome = check.outcome;
        inst_path = std::move(check.inst_path);
        trace::note("installed copy %s", "none\0\0older\0current" + 6 * static_cast<std::size_t>(outcome));  // its name
        if (outcome == Outcome::current) {
            if (hand_off(inst_path.view(), options.noexecute, options.tail)) return 0;
            outcome = Outcome::older;
        }
    }

    // Prepare the usual location.
    bool target = options.target;
    // Both folders get their own protected access list: every user may
    // write under the drive root, and what is installed here runs elevated.
    if (plat::create_directory(kBaseDir, plat::Acl::installed_folder) == plat::MakeDir::failed) {
        target = true;
        outcome = Outcome::none;
    }
    plat::MakeDir made = plat::create_directory(kUsualLocation, plat::Acl::installed_folder);
    bool prepared = made != plat::MakeDir::failed && (target || directory_reachable(kUsualLocation));
    trace::note("usual location %s: %s", trace::maybe_not(prepared, "not prepared"), location_reason(made, prepared));

    // The bootstrap command: the first row that applies names the location.
    // Without a usable usual location it is the target path, or none.
    Text command;
    bool built;
    if (!prepared)
        built = command.append_all(kBootstrapAt, options.target_path.view());
    else if (outcome == Outcome::older && !inst_path.empty())
        built = command.append_all(kBootstrapAt, inst_path.view());
    else if (outcome == Outcome::older)
        built = command.append(kBootstrap);
    else if (target)
        built = command.append_all(kBootstrapAt, options.target_path.view());
    else
        built = command.append(kBootstrap);

    // A batch installation looks at the usual location once more; nothing
    // depends on what it finds.
    if (options.batch &&
        plat::create_directory(kUsualLocation, plat::Acl::installed_folder) == plat::MakeDir::already_exists)
        (void)directory_reachable(kUsualLocation);

    if (options.forwarded.present()) built = built && command.append_all(" -a ", options.forwarded.view());

    Text program;
    bool located = built && bootstrap_program(program);
    StartedProcess bootstrap;
    plat::StartRequest request;
    request.application = program.c_str();
    request.command_line = command.data();
    if (!located || !bootstrap.start(request))
        trace::box("Error Launching Installation.", "Application Launch Error", plat::Icon::error);
    return 0;
}

}  // namespace

}  // namespace kvi::setup
