#include "setup_flow.h"

#include <utility>

#include "boxes.h"
#include "constants.h"
#include "folder_trust.h"
#include "platform.h"
#include "start_dir.h"
#include "trace.h"

namespace kvi::setup {

namespace {

constexpr char kBaseDir[] = "C:\\HalvikTorvanex";
constexpr char kUsualLocation[] = "C:\\HalvikTorvanex\\Install";
constexpr char kBootstrapName[] = "_instkvi.com";

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
    if (!plat::own_program_path(own)) return false;
    std::size_t slash = own.view().rfind('\\');
    if (slash == std::string_view::npos) return false;
    out.reset();
    return out.append_all(slice(own.view(), 0, slash + 1), kBootstrapName);
}

// Opens the installation record and writes the folder setup runs from into
// it; says so in one box when either fails. Returns the record, maybe not open.
OwnedKey record_original_source() {
    Text dir;
    bool read = plat::current_dir(dir) && within_path_limit(dir.view());
    OwnedKey record = open_record();
    trace::note("record %sopened", trace::maybe_not(record.open()));
    if (!write_value(read ? record.get() : plat::Key::none, kValueOriginalSource, dir.c_str(),
                     static_cast<std::uint32_t>(dir.size() + 1)))
        show(Box::original_source);
    return record;
}

// Creates both folders of the usual location and says what it found. Each
// is read back, also one made now: a drive that keeps no access lists (FAT32,
// exFAT) drops the protected one without a word, and a folder from before
// may have been made by anyone (a standard user, or a junction, to be filled
// and later run with an administrator's rights). With a location named
// (`named`) there is nothing to check. The folders judged stay in `held`.
UsualLocation prepare_usual_location(bool named, Held& held) {
    // Both folders get their own protected access list: every user may
    // write under the drive root, and what is installed here runs elevated.
    plat::MakeDir base = plat::create_directory(kBaseDir, plat::Acl::installed_folder);
    plat::MakeDir usual = plat::create_directory(kUsualLocation, plat::Acl::installed_folder);
    if (base == plat::MakeDir::failed) {
        trace::note("usual location %s: %s %s", "not prepared", kBaseDir, "cannot be made");
        return UsualLocation::base_failed;
    }
    const char* why = nullptr;  // why it is not prepared
    UsualLocation found = UsualLocation::not_usable;
    if (usual == plat::MakeDir::failed) {
        why = "cannot be made";
    } else if (named) {
        // The location is named anyway: nothing to check.
    } else if (!directory_reachable(kUsualLocation)) {
        why = "cannot be entered";
    } else if (!usual_location_trusted(kUsualLocation, held)) {
        found = UsualLocation::untrusted;
        why = "refused";
    }
    trace::note("usual location %s: %s %s", why ? "not prepared" : "prepared", kUsualLocation,
                why ? why : usual == plat::MakeDir::created ? "created" : "found");
    return why ? found : UsualLocation::usable;
}

constexpr const char* kOutcomeNames[] = {"none", "older", "current"};

// Starts the bootstrap by its full path, without waiting, its command line
// being its name and the arguments. When its manifest asks for
// administrator rights that setup's own start cannot give it, the shell's
// elevation prompt starts it instead: the same program, the same arguments,
// the same directory.
bool start_bootstrap(const Text& program, const Text& arguments) {
    Text command;
    if (!command.append_all(kBootstrapName, " ", arguments.view())) return false;
    StartedProcess bootstrap;
    plat::StartRequest request;
    request.application = program.c_str();
    request.command_line = command.data();
    if (bootstrap.start(request)) return true;
    Text dir;
    if (!bootstrap.elevation_required() || !plat::current_dir(dir)) return false;
    bool elevated = plat::start_elevated(program.c_str(), arguments.c_str(), dir.c_str());
    trace::note("%s elevated: %s %s in %s", elevated ? "started" : "not started",
                program.c_str(), arguments.c_str(), dir.c_str());
    return elevated;
}

int flow();

}  // namespace

Text bootstrap_arguments(Outcome outcome, std::string_view inst_path, const Options& options, UsualLocation usual,
                         bool copy_trusted) {
    // The first case that applies names the location. Without a usable usual
    // location it is the target path, or none; a base folder that could not
    // be made also drops the older copy, which then counts as none. Who
    // controls the usual location matters only where the bootstrap would
    // install into it: not for an older copy updated in its own folder.
    std::string_view at;
    bool named = true;
    bool older = outcome == Outcome::older && !inst_path.empty();
    if (options.target || usual == UsualLocation::not_usable || usual == UsualLocation::base_failed)
        at = options.target_path.view();
    else if (older && (usual == UsualLocation::usable || copy_trusted))
        at = inst_path;
    else if (usual == UsualLocation::untrusted)
        at = options.target_path.view();
    else
        named = false;
    Text out;
    bool built = out.append("-s") && (!named || out.append_all(" -f ", at)) &&
                 (!options.forwarded.present() || out.append_all(" -a ", options.forwarded.view()));
    if (!built) out.reset();
    return out;
}

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
        case ParseEnd::usage: show(Box::usage); return 0;
        case ParseEnd::version: show(Box::version); return 0;
        case ParseEnd::out_of_memory: return 0;
        case ParseEnd::done: break;
    }

    bool entered = options.program_dir.present() && plat::set_current_dir(options.program_dir.c_str());
    trace::note("program dir %s %sentered", options.program_dir.c_str(), trace::maybe_not(entered));

    OwnedKey record = record_original_source();

    // The installed copy: hand off to a current one that answers the probe.
    Outcome outcome = Outcome::none;
    Text inst_path;
    // Its folder is judged by the folder rule once, when first that decides
    // something: before the probe, or when the usual location fails the rule.
    // Held across the probe and the hand-off, or the bootstrap's start.
    Held copy_held;
    int verdict = -1;
    auto copy_trusted = [&] {
        if (verdict < 0) verdict = installed_copy_trusted(inst_path, copy_held) ? 1 : 0;
        return verdict == 1;
    };
    if (!options.force && !options.target) {
        // For the check, reading the record is enough.
        CheckResult check = check_installed_copy(readable_record(std::move(record)));
        outcome = check.outcome;
        inst_path = std::move(check.inst_path);
        trace::note("installed copy %s", kOutcomeNames[static_cast<int>(outcome)]);
        // What the probe and the hand-off start runs with setup's rights: only
        // from folders that a standard user cannot change, judged once and
        // held across both starts.
        if (outcome == Outcome::current) {
            if (copy_trusted() && hand_off(inst_path.view(), options))
                return 0;
            outcome = Outcome::older;
        }
    }

    // The usual location's folders and the bootstrap are held until it has started.
    Held held;
    UsualLocation usual = prepare_usual_location(options.target, held);
    // The copy's folder then stands in for a usual location that fails the rule.
    bool trusted = usual == UsualLocation::untrusted && outcome == Outcome::older && copy_trusted();
    Text arguments = bootstrap_arguments(outcome, inst_path.view(), options, usual, trusted);

    // A batch installation looks at the usual location once more; nothing
    // depends on what it finds.
    if (options.batch &&
        plat::create_directory(kUsualLocation, plat::Acl::installed_folder) == plat::MakeDir::already_exists)
        (void)directory_reachable(kUsualLocation);

    Text program;
    if (!arguments.present() || !bootstrap_program(program) || !bootstrap_trusted(program, held) ||
        !start_bootstrap(program, arguments))
        show(Box::launch);
    return 0;
}

}  // namespace

}  // namespace kvi::setup
