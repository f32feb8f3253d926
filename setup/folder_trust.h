// Who controls a folder, or a file in it: whether what lies there may be run
// with an administrator's rights. The usual location and the installed copy's
// folder (InstPath) are judged by the same rule.
#pragma once

#include "text.h"

namespace kvi::setup {

// Why a standard user could change what stands at path, or null when only
// administrators can: it is a real folder (a file when `folder` is false),
// no junction, link or mount point; its owner is SYSTEM, Administrators or
// TrustedInstaller (or the user this process runs as, but only when the
// process runs elevated: such a user's folders are an administrator's); and
// its access list lets nobody else write, append, delete, delete children,
// change the list or take ownership. Anything that cannot be read fails.
const char* distrust(const char* path, bool folder);

// True when the installed copy's folder and the Install.exe in it pass the
// rule above, so that the probe and the hand-off may start it; else notes in
// the trace what was refused and why. An empty path passes: there is nothing
// to start from it.
bool installed_copy_trusted(const Text& inst_path);

}  // namespace kvi::setup
