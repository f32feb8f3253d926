// The installed copy of Install, as the installation record names it: the
// check, the version comparison, the version probe and the hand-off.
#pragma once

#include <string_view>

#include "record.h"
#include "setup_command_line.h"
#include "text.h"

namespace kvi::setup {

enum class Outcome { none, older, current };

struct CheckResult {
    Outcome outcome = Outcome::none;
    Text inst_path;  // absent when the record was not open; else present, maybe empty
};

// Reads Version and InstPath from the open record (or none), closes it, and
// says whether the copy is absent, older or current.
CheckResult check_installed_copy(OwnedKey record);

// True when the stored version counts as older than the own version,
// including every text that does not split into three fields.
bool version_is_older(std::string_view stored);

// Starts "<inst_path>\Install.exe -verctrl" without a console window, waits
// for it without a time limit, and says whether it answered with the probe status.
bool probe(std::string_view inst_path);

// Probes the copy and starts "<inst_path>\Install.exe -silentLaunch -register"
// with the argument tail (if present) behind a blank, without waiting, and
// without a console window unless -nojw is given (the runtime then runs in
// Install's console). With -noexecute only the probe runs. False when there
// is no path, the probe fails or the start fails.
bool hand_off(std::string_view inst_path, const Options& options);

// Builds "<inst_path>\Install.exe<rest>", quoting the program's path when it
// holds a blank so that Windows cannot take "C:\Program" for the program.
bool build_install_command(Text& out, std::string_view inst_path, std::string_view rest);

}  // namespace kvi::setup
