#include "setup_flow.h"

#include <utility>

#include "box.h"
#include "setup_command_line.h"
#include "constants.h"
#include "installed_copy.h"
#include "platform.h"
#include "start_dir.h"
#include "trace.h"
#include "usual_location.h"

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
    if (!plat::current_dir(saved)) return false;
    bool entered = plat::set_current_dir(path);
    (void)plat::set_current_dir(saved.c_str());
    return entered;
}

// The bootstrap installer's full path: the folder of setup's own file and
// the bootstrap's name. Started by that path, no copy that a search would
// find elsewhere (the current directory, PATH) can stand in for a missing one.
bool bootstrap_program(Text& out) {
    Text own;
    std::size_t slash;
    if (!plat::own_program_path(own) || (slash = own.view().rfind('\\')) == std::string_view::npos) return false;
    out.reset();
    return out.append_all(slice(own.view(), 0, slash + 1), kBootstrapName);
}

// Opens the installation record and writes the folder setup runs from into
// it; says so in one box when either fails. Returns the record, maybe not open.
OwnedKey record_original_source() {
    Text dir;
    bool read = plat::current_dir(dir) && within_path_limit(dir.view());
    OwnedKey record = open_record();
    auto bytes = static_cast<std::uint32_t>(dir.size() + 1);
    bool written = record.open() && read && plat::set_string_value(record.get(), kValueOriginalSource, dir.c_str(), bytes);
    trace::value_written(kValueOriginalSource, dir.c_str(), bytes, written);
    if (!written)
        show_box(
            "Error setting original source.  It may be because you do not have administrator privileges.  "
            "This should not affect the operation of your program.",
            "Registration Error", plat::Icon::error);
    return record;
}

// Why a folder of the usual location may not be used, or null. One made in
// this run is setup's own; one that was there before may have been made by
// anyone (a standard user could have prepared it, or a junction, to be
// filled and later run with an administrator's rights).
const char* distrust(plat::MakeDir made, const char* path) {
    const char* why = nullptr;
    if (made == plat::MakeDir::already_exists) (void)only_administrators_control(path, why);
    return why;
}

// Creates both folders of the usual location and says whether the bootstrap
// may install there. When the base folder cannot be made, the location has to
// be named (target) and no older copy counts.
bool prepare_usual_location(bool& target, Outcome& outcome) {
    // Both folders get their own protected access list: every user may
    // write under the drive root, and what is installed here runs elevated.
    plat::MakeDir base = plat::create_directory(kBaseDir, plat::Acl::installed_folder);
    if (base == plat::MakeDir::failed) {
        target = true;
        outcome = Outcome::none;
    }
    plat::MakeDir usual = plat::create_directory(kUsualLocation, plat::Acl::installed_folder);
    const char* where = kUsualLocation;
    const char* why = nullptr;  // why it is not prepared
    if (usual == plat::MakeDir::failed) {
        why = "cannot be made";
    } else if (target) {
        // The location is named anyway: nothing to check.
    } else if (!directory_reachable(kUsualLocation)) {
        why = "cannot be entered";
    } else if ((why = distrust(base, kBaseDir)) != nullptr) {
        where = kBaseDir;
    } else {
        why = distrust(usual, kUsualLocation);
    }
    trace::note("usual location %s: %s %s", why ? "not prepared" : "prepared", where,
                why ? why : usual == plat::MakeDir::created ? "created" : "found");
    return why == nullptr;
}

// Starts the bootstrap by its full path, without waiting. When its manifest
// asks for administrator rights that setup's own start cannot give it, the
// shell's elevation prompt starts it instead: the same program, the
// arguments behind its name, the same directory.
bool start_bootstrap(const Text& program, Text& command) {
    StartedProcess bootstrap;
    plat::StartRequest request;
    request.application = program.c_str();
    request.command_line = command.data();
    if (bootstrap.start(request)) return true;
    static_assert(kBootstrap[sizeof kBootstrapName - 1] == ' ', "every command begins with the name and a blank");
    Text dir;
    if (!bootstrap.elevation_required() || !plat::current_dir(dir)) return false;
    const char* arguments = command.c_str() + sizeof kBootstrapName;
    bool elevated = plat::start_elevated(program.c_str(), arguments, dir.c_str());
    trace::note("%s elevated: %s %s in %s", elevated ? "started" : "not started",
                program.c_str(), arguments, dir.c_str());
    return elevated;
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
    trace::note("program dir %s %sentered", options.program_dir.c_str(), trace::maybe_not(entered));

    OwnedKey record = record_original_source();

    // The installed copy: hand off to a current one that answers the probe.
    Outcome outcome = Outcome::none;
    Text inst_path;
    if (!options.force && !options.target) {
        // For the check, reading the record is enough.
        CheckResult check = check_installed_copy(readable_record(std::move(record)));
        outcome = check.outcome;
        inst_path = std::move(check.inst_path);
        trace::note("installed copy %s", "none\0\0older\0current" + 6 * static_cast<std::size_t>(outcome));  // its name
        if (outcome == Outcome::current) {
            if (hand_off(inst_path.view(), options.noexecute, options.tail)) return 0;
            outcome = Outcome::older;
        }
    }

    bool target = options.target;
    bool prepared = prepare_usual_location(target, outcome);

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
    if (!located || !start_bootstrap(program, command))
        show_box("Error Launching Installation.", "Application Launch Error", plat::Icon::error);
    return 0;
}

}  // namespace

}  // namespace kvi::setup
