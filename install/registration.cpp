#include "registration.h"

#include "constants.h"
#include "handles.h"
#include "platform.h"
#include "record.h"

namespace kvi::install {

namespace {

constexpr char kUninstallParent[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char kUninstallEntry[] = "HalvikTorvanexJI";
constexpr char kDisplayName[25] = "Halvik Torvanex Products";

}  // namespace

std::uint32_t build_uninstall_command(Text& out, std::string_view dir) {
    // Windows runs the entry as a command line: a path with a blank in it
    // must be quoted or "C:\Program" would be taken for the program.
    bool quote = contains(dir, " ");
    std::size_t bytes = dir.size() + 21 + (quote ? 2 : 0);
    out.reset();
    if (bytes > UINT32_MAX || !out.reserve(bytes) ||
        !out.append_all(quote ? "\"" : "", dir, separator_after(dir), "Install.exe", quote ? "\"" : "", " -remove"))
        return 0;
    return static_cast<std::uint32_t>(bytes);
}

Registration register_installation() {
    Text dir;
    Text command;
    std::uint32_t command_bytes = 0;
    if (!plat::current_dir(dir) || (command_bytes = build_uninstall_command(command, dir.view())) == 0)
        return Registration::failed;

    // The installation record; failures here are silent.
    {
        OwnedKey record = open_record();
        if (record.open()) {
            (void)write_value(record.get(), kValueUninstCmd, command.c_str(), command_bytes);
            (void)write_value(record.get(), kValueInstPath, dir.c_str(), static_cast<std::uint32_t>(dir.size() + 1));
            (void)write_value(record.get(), kValueVersion, kOwnVersion, sizeof kOwnVersion);
        }
    }

    // The uninstall entry.
    {
        OwnedKey parent(plat::open_key_for_subkeys(plat::local_machine(), kUninstallParent));
        if (parent.open()) {
            OwnedKey entry(plat::create_key(parent.get(), kUninstallEntry));
            if (!entry.open()) return Registration::failed;
            if (!write_value(entry.get(), "DisplayName", kDisplayName, sizeof kDisplayName) ||
                !write_value(entry.get(), "UninstallString", command.c_str(), command_bytes))
                return Registration::incomplete;
        }
    }
    return Registration::done;
}

}  // namespace kvi::install
