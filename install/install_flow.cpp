#include "install_flow.h"

#include "boxes.h"
#include "install_command_line.h"
#include "constants.h"
#include "launch.h"
#include "platform.h"
#include "registration.h"
#include "shortcut.h"
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
        show(Box::set_directory, options.quiet());
        return 0;
    }

    if (options.register_copy) {
        Registration registered = register_installation();
        if (registered == Registration::failed) show(Box::registration, options.quiet());
        if (registered != Registration::done) return 0;
        if (create_start_menu_shortcut() == Shortcut::failed) show(Box::shortcut);
    }
    if (options.noexecute) return 0;

    Launch launched = launch_application(line);
    if (launched == Launch::no_command) show(Box::launch_memory, options.quiet());
    if (launched == Launch::no_runtime) show(Box::launch, options.quiet());
    return launched == Launch::started ? 0 : -1;
}

}  // namespace

int run(std::string_view own_name) {
    plat::restrict_dll_search();
    trace::begin("Install");
    return trace::end(flow(own_name));
}

}  // namespace kvi::install
