#include "shortcut.h"

#include "box.h"
#include "constants.h"
#include "platform.h"
#include "text.h"
#include "trace.h"

namespace kvi::install {

namespace {

void report() { show_box("Error creating start menu entry for Halvik Install", "Start Menu Creation Error"); }

// COM for the step: uninitialised on every way out.
struct ComScope {
    ComScope() { plat::com_init(); }
    ~ComScope() { plat::com_uninit(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};

struct LinkRef {
    plat::Link link = plat::create_shell_link();
    ~LinkRef() {
        if (link != plat::Link::none) plat::release_link(link);
    }
};

struct LinkFileRef {
    plat::LinkFile file;
    ~LinkFileRef() {
        if (file != plat::LinkFile::none) plat::release_link_file(file);
    }
};

}  // namespace

void create_start_menu_shortcut() {
    // Each path is read at the size it has and counted in characters, so a
    // folder named in any script fits as far as the link's 259 characters go;
    // a longer one gets no link rather than a cut one.
    Text dir, exe;
    if (!plat::current_dir(dir) || dir.empty() ||
        !exe.append_all(dir.view(), separator_after(dir.view()), "Install.exe") || !within_path_limit(exe.view())) {
        report();
        return;
    }

    Text programs;
    // A lookup that names no folder has failed as surely as one that says so.
    if (!plat::programs_folder(programs) || programs.empty()) return;
    Text link_folder, link_file;
    if (!link_folder.append_all(programs.view(), "\\Halvik Torvanex") ||
        !link_file.append_all(link_folder.view(), "\\Halvik Install.lnk") || !within_path_limit(link_file.view())) {
        report();
        return;
    }

    ComScope com;
    LinkRef shell_link;
    if (shell_link.link == plat::Link::none) {
        report();
        return;
    }
    plat::link_set_path(shell_link.link, exe.c_str());
    plat::link_set_description(shell_link.link, "Halvik Torvanex Install");
    plat::link_set_working_directory(shell_link.link, dir.c_str());
    plat::link_set_icon(shell_link.link, exe.c_str(), 0);

    LinkFileRef persist{plat::link_persist(shell_link.link)};
    if (persist.file == plat::LinkFile::none) {
        report();
        return;
    }
    (void)plat::create_directory(link_folder.c_str(), plat::Acl::inherited);
    bool saved = plat::save_link(persist.file, link_file.c_str());
    trace::note("shortcut %ssaved %s", trace::maybe_not(saved), link_file.c_str());
    if (!saved) report();
}

}  // namespace kvi::install
