// setup's main flow, from the start directory to the bootstrap installer.
#pragma once

namespace kvi::setup {

// Runs setup once from start to end. Returns the exit status, always 0.
int run();

}  // namespace kvi::setup
