// The usual location C:\HalvikTorvanex\Install: whether a folder that was
// already there may be filled and run from with an administrator's rights.
#pragma once

namespace kvi::setup {

// True when only administrators can change the folder at path: it is a real
// directory (no junction, link or mount point), its owner is SYSTEM,
// Administrators, TrustedInstaller or the user this process runs as, and its
// access list lets nobody else write, append, delete, delete children, change
// the list or take ownership. False when any of that cannot be read; `why`
// then says in a few words what is wrong.
bool only_administrators_control(const char* path, const char*& why);

}  // namespace kvi::setup
