#include "install_flow.h"

#include "boxes.h"
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
    const Options& options = line.options;
    if (!line.found) show(Box::search);

    // In the order they take effect. -verctrl is setup's probe: answer it
    // and touch nothing else.
    if (options.help) print_usage();
    if (options.verctrl) return kProbeAnswer;

    bool entered = line.program_dir.present() && plat::set_current_dir(line.program_dir.c_str());
    trace::note("program dir %s %sentered", line.program_dir.c_str(), trace::maybe_not(entered));
    if (line.program_dir.present() && !entered) {
        show(Box::set_directory, options.quiet);
        return 0;
    }

    if (options.register_copy && register_installation(options.quiet) == Registration::end_run) return 0;
    if (options.noexecute) return 0;
    return launch_application(line);
}

}  // namespace

int run(std::string_view own_name) {
    plat::restrict_dll_search();
    trace::begin("Install");
    return trace::end(flow(own_name));
}

}  // namespace kvi::install
