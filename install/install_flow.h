// Install's main flow: probe answer, usage, directory change, registration, Java launch.
#pragma once

namespace kvi::install {

// Runs Install once. own_name is the program's name as the runtime split it
// (argv[0]). Returns the exit status: -1110, -1 or 0.
int run(const char* own_name);

}  // namespace kvi::install
