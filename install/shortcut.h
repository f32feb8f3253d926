// The Start-menu shortcut to the installed Install.exe.
#pragma once

namespace kvi::install {

// Saves "Halvik Install.lnk" in the folder "Halvik Torvanex" of the current
// user's Programs menu, pointing at Install.exe in the current directory.
// A Programs menu that cannot be found is passed over; `failed` is any other
// way of ending without the link.
enum class Shortcut { saved, no_programs_menu, failed };
Shortcut create_start_menu_shortcut();

}  // namespace kvi::install
