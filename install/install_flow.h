// Install's main flow: probe answer, usage, directory change, registration, Java launch.
#pragma once

#include <string_view>

namespace kvi::install {

// Runs Install once. own_name is the program's name as the C runtime would
// split it off the command line (argv[0], see own_name). Returns the exit
// status: -1110, -1 or 0.
int run(std::string_view own_name);

}  // namespace kvi::install
