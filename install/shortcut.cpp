#include "shortcut.h"

#include <cstring>

#include "constants.h"
#include "platform.h"
#include "text.h"
#include "trace.h"

namespace kvi::install {

namespace {

void report() {
    trace::box("Error creating start menu entry for Halvik Install", "Start Menu Creation Error",
                      plat::Icon::none);
}

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

// Copies the pieces into buf when they fit with their terminator.
template <typename... Pieces>
bool fits(char (&buf)[kPathMax], Pieces... pieces) {
    Text joined;
    if (!joined.append_all(pieces...) || joined.size() >= kPathMax) return false;
    std::memcpy(buf, joined.c_str(), joined.size() + 1);
    return true;
}

}  // namespace

void create_start_menu_shortcut() {
    char dir[kPathMax];
    char exe[kPathMax];
    std::uint32_t n = plat::get_current_dir(dir, kPathMax);
    std::string_view directory(dir, n < kPathMax ? n : 0);
    // A directory too long for the link's paths gets no link rather than a cut one.
    if (directory.empty() || !fits(exe, directory, separator_after(directory), "Install.exe")) {
        report();
        return;
    }

    char folder[kPathMax] = {};
    if (!plat::programs_folder(folder, kPathMax)) return;
    const char* folder_end = static_cast<const char*>(std::memchr(folder, '\0', kPathMax));
    std::string_view programs(folder, folder_end ? static_cast<std::size_t>(folder_end - folder) : kPathMax);
    char link_folder[kPathMax];
    char link_file[kPathMax];
    if (!fits(link_folder, programs, "\\Halvik Torvanex") ||
        !fits(link_file, programs, "\\Halvik Torvanex\\Halvik Install.lnk")) {
        report();
        return;
    }

    ComScope com;
    LinkRef shell_link;
    if (shell_link.link == plat::Link::none) {
        report();
        return;
    }
    plat::link_set_path(shell_link.link, exe);
    plat::link_set_description(shell_link.link, "Halvik Torvanex Install");
    plat::link_set_working_directory(shell_link.link, dir);
    plat::link_set_icon(shell_link.link, exe, 0);

    LinkFileRef persist{plat::link_persist(shell_link.link)};
    if (persist.file == plat::LinkFile::none) {
        report();
        return;
    }
    (void)plat::create_directory(link_folder, plat::Acl::inherited);
    bool saved = plat::save_link(persist.file, link_file);
    trace::note("shortcut %s %s", trace::maybe_not(saved, "not saved"), link_file);
    if (!saved) report();
}

}  // namespace kvi::install
