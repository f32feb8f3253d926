// setup's main flow, from the start directory to the bootstrap installer.
#pragma once

#include <string_view>

#include "installed_copy.h"
#include "setup_command_line.h"
#include "text.h"

namespace kvi::setup {

// Runs setup once from start to end. Returns the exit status, always 0.
int run();

// What preparing the usual location found.
enum class UsualLocation {
    usable,       // both folders stand and only administrators control them (or a location is named anyway)
    not_usable,   // the inner folder cannot be made or entered
    untrusted,    // both stand and can be entered, but one fails the folder rule (or cannot be read)
    base_failed,  // C:\HalvikTorvanex could not be made: the location must be named, no older copy counts
};

// The bootstrap's arguments: "-s"; then " -f " and the location it is told
// (the target path, the installed copy's folder, or nothing) where one is
// told; then " -a " and the forwarded options whenever there is an argument
// tail. An untrusted usual location matters only where the bootstrap would
// install into it: an older copy whose folder passes the folder rule
// (`copy_trusted`) is still updated where it is. Absent when there is no
// memory for them.
Text bootstrap_arguments(Outcome outcome, std::string_view inst_path, const Options& options, UsualLocation usual,
                         bool copy_trusted);

}  // namespace kvi::setup
