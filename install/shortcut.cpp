#include "shortcut.h"

#include "constants.h"
#include "platform.h"
#include "text.h"
#include "trace.h"

namespace kvi::install {

Shortcut create_start_menu_shortcut() {
    // Each path is read at the size it has and counted in characters, so a
    // folder named in any script fits as far as the link's 259 characters go;
    // a longer one gets no link rather than a cut one.
    Text dir, exe;
    if (!plat::current_dir(dir) || dir.empty() ||
        !exe.append_all(dir.view(), separator_after(dir.view()), "Install.exe") || !within_path_limit(exe.view()))
        return Shortcut::failed;

    Text programs;
    // A lookup that names no folder has failed as surely as one that says so.
    if (!plat::programs_folder(programs) || programs.empty()) return Shortcut::no_programs_menu;
    Text link_folder, link_file;
    if (!link_folder.append_all(programs.view(), "\\Halvik Torvanex") ||
        !link_file.append_all(link_folder.view(), "\\Halvik Install.lnk") || !within_path_limit(link_file.view()))
        return Shortcut::failed;

    plat::ShortcutMade made = plat::make_shortcut(
        {exe.c_str(), "Halvik Torvanex Install", dir.c_str(), exe.c_str(), 0, link_folder.c_str(), link_file.c_str()});
    // A link that got as far as its save says how that went.
    if (made >= plat::ShortcutMade::not_saved)
        trace::note("shortcut %ssaved %s", trace::maybe_not(made == plat::ShortcutMade::saved), link_file.c_str());
    return made == plat::ShortcutMade::saved ? Shortcut::saved : Shortcut::failed;
}

}  // namespace kvi::install
