#include "install_flow.h"

#include "install_command_line.h"
#include "constants.h"
#include "launch.h"
#include "platform.h"
#include "registration.h"
#include "start_dir.h"
#include "trace.h"

namespace kvi::install {

namespace {

int flow(std::string_view own_name) {
    settle_start_dir();

    CommandLine line = split_command_line(own_name, plat::process_command_line());
    const Text& tail = line.tail;

    // Options, in the order they take effect. -verctrl is setup's probe:
    // answer it and touch nothing else.
    if (has_option(tail, "-help") || has_option(tail, "-h")) print_usage();
    if (has_option(tail, "-verctrl")) return kProbeAnswer;
    bool nojw = has_option(tail, "-nojw");
    bool silent_launch = has_option(tail, "-silentlaunch");
    bool noexecute = has_option(tail, "-noexecute");

    bool entered = line.program_dir.present() && plat::set_current_dir(line.program_dir.c_str());
    trace::note("program dir %s %s", line.program_dir.c_str(), trace::maybe_not(entered, "not entered"));
    if (line.program_dir.present() && !entered) {
        if (!silent_launch)
            trace::box("Error navigating to Install Application directory.", "Set Directory Error", plat::Icon::error);
        return 0;
    }

    if (has_option(tail, "-register") && register_installation(silent_launch) == Registration::end_run) return 0;
    if (noexecute) return 0;
    return launch_application(tail, nojw, silent_launch);
}

}  // namespace

int run(std::string_view own_name) {
    plat::restrict_dll_search();
    trace::begin("Install");
    return trace::end(flow(own_name));
}

}  // namespace kvi::install
