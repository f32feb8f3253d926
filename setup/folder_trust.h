// Who controls a folder, or a file in it: whether what lies there may be run
// with an administrator's rights. The usual location, the installed copy's
// folder (InstPath) with the runtime's folders in it, and the bootstrap
// beside an elevated setup are judged by the same rule, each through handles
// held until the start that relies on the verdict has returned.
#pragma once

#include "handles.h"
#include "platform.h"
#include "text.h"

namespace kvi::setup {

// The folders and files a verdict was reached through, kept open (so that
// none is renamed, deleted or, a file, written) until the holder goes.
class Held {
public:
    // Enough for any path a person names; a deeper one is refused.
    static constexpr int kCapacity = 24;
    // Keeps handle; false, the handle closed, when the holder is full.
    bool keep(plat::Handle handle);

private:
    OwnedHandle handles_[kCapacity];  // those below count_ are held
    int count_ = 0;
};

// The rule, for one thing to start: it is a real folder or file, no
// junction, link or mount point; its owner is SYSTEM, Administrators or
// TrustedInstaller, or in an elevated process the user it runs as, who
// counts as one of them in the list too; and nobody else may delete it,
// change its attributes or its list, or take ownership, nor delete a child
// of a folder on the way. The last folder and the file also let nobody else
// write or append. Every folder from the drive root down is judged, and the
// root must be a local fixed drive's. Anything that cannot be read fails.

// True when the usual location passes the rule; else notes in the trace why not.
bool usual_location_trusted(const char* path, Held& held);

// True when the installed copy's folder, the Install.exe in it and the
// folders the runtime and its class path come from (JRE, JRE\bin, java,
// data: one that does not exist passes, as nobody else can add it) pass the
// rule, so that the probe and the hand-off may start it; else notes in the
// trace what was refused and why. An empty path passes: there is nothing to
// start from it.
bool installed_copy_trusted(const Text& inst_path, Held& held);

// True when the bootstrap at `program` (a folder, a backslash and its name;
// cut short in place while the folder is judged) may be started: always in
// a process that is not elevated; in an elevated one, when the folder and
// the file pass the rule, the folders above not judged (a medium may sit
// anywhere; the folder held keeps them from being renamed until the start).
// What lies on a volume that keeps no access lists or is read-only passes
// with a note in the trace, held all the same.
bool bootstrap_trusted(Text& program, Held& held);

}  // namespace kvi::setup
