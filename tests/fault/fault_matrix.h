// The fault matrix: each program's whole run on the fake machine, with one
// platform operation failing at one call index. This header holds what the
// cases share: the scenarios, what a run did, and how to run one.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "expected_texts.h"
#include "fake_platform.h"

namespace fault {

// What a run left behind that a user, a script or the next program can see.
struct Reaction {
    int status = 0;
    std::vector<std::string> launches;  // command lines of the processes started, in order
    std::vector<std::string> boxes;     // captions of the boxes shown, in order
    std::set<std::string> written;      // registry values created or changed
    bool link = false;                  // the Start-menu shortcut was saved
    std::size_t relayed = 0;            // bytes the application read through the relay pipe

    auto tied() const { return std::tie(status, launches, boxes, written, link, relayed); }
    bool operator==(const Reaction& o) const { return tied() == o.tied(); }
};
std::ostream& operator<<(std::ostream& out, const Reaction& r);

enum class Program { setup, install };

// A path through one program: the machine it meets and its command line.
struct Scenario {
    const char* name;  // an identifier: it names the test suite
    Program program;
    std::string own_name;  // Install's argv[0]; unused for setup
    std::string command_line;
    std::function<void(fake::State&)> prepare;  // the machine beyond a fresh one
    Reaction expected;                          // what the run does when nothing fails
    bool traced = false;                        // KVI_TRACE names kTraceFile
};

// The scenarios of both programs.
const std::vector<Scenario>& scenarios();

// Puts the freshly reset machine in the scenario's state.
void prepare(const Scenario& s);
// Runs the program once on the prepared machine, with whatever failure rules
// stand, and returns what the run did.
Reaction run_prepared(const Scenario& s);

}  // namespace fault
