// The Start-menu shortcut to the installed Install.exe.
#pragma once

namespace kvi::install {

// Saves "Halvik Install.lnk" in the folder "Halvik Torvanex" of the current
// user's Programs menu, pointing at Install.exe in the current directory.
// Reports its own failures in a box; never ends the run.
void create_start_menu_shortcut();

}  // namespace kvi::install
