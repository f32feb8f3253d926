#include "usual_location.h"

#include <cstdint>
#include <cstring>

#include "platform.h"

namespace kvi::setup {

namespace {

// A well-known security identifier: its authority and sub-authorities.
struct WellKnown {
    std::uint8_t authority;
    std::uint8_t count;
    std::uint32_t sub[6];
};

constexpr WellKnown kSystem = {5, 1, {18}};                 // S-1-5-18
constexpr WellKnown kAdministrators = {5, 2, {32, 544}};    // S-1-5-32-544
constexpr WellKnown kTrustedInstaller = {5, 6, {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u}};
constexpr WellKnown kCreatorOwner = {3, 1, {0}};            // S-1-3-0
constexpr WellKnown kOwnerRights = {3, 1, {4}};             // S-1-3-4

bool is(const plat::Sid& sid, const WellKnown& known) {
    const std::uint8_t* b = sid.bytes;
    if (b[0] != 1 || b[1] != known.count) return false;
    for (int i = 2; i < 7; ++i)
        if (b[i] != 0) return false;
    if (b[7] != known.authority) return false;
    for (std::uint8_t i = 0; i < known.count; ++i) {
        const std::uint8_t* s = b + 8 + 4 * std::size_t(i);
        std::uint32_t v = s[0] | (s[1] << 8) | (s[2] << 16) | (std::uint32_t(s[3]) << 24);
        if (v != known.sub[i]) return false;
    }
    return true;
}

std::size_t sid_size(const plat::Sid& sid) { return 8 + 4 * std::size_t(sid.bytes[1]); }

bool same(const plat::Sid& a, const plat::Sid& b) {
    return a.bytes[1] <= 15 && std::memcmp(a.bytes, b.bytes, sid_size(a)) == 0;
}

bool is_administrative(const plat::Sid& sid) {
    return is(sid, kSystem) || is(sid, kAdministrators) || is(sid, kTrustedInstaller);
}

// Rights that let a holder change what the folder holds or who controls it:
// write (add a file), append (add a folder), delete, delete a child, change
// the access list, take ownership, and the generic rights that include them.
constexpr std::uint32_t kChangingRights = 0x0002u | 0x0004u | 0x0040u | 0x00010000u | 0x00040000u | 0x00080000u |
                                          0x10000000u /* GENERIC_ALL */ | 0x40000000u /* GENERIC_WRITE */;

// The judgement on facts already read; `self` is null when the process's user
// could not be read. Returns what is wrong, or null.
const char* judge(const plat::FolderFacts& folder, const plat::Sid* self) {
    if (!folder.directory) return "not a folder";
    if (folder.reparse_point) return "a link or junction";
    bool owner_is_self = self && same(folder.owner, *self);
    if (!is_administrative(folder.owner) && !owner_is_self) return "owned by someone else";
    if (!folder.has_list) return "open to everyone";
    // A list longer than was read may hold anything.
    if (folder.entry_count > plat::FolderFacts::kMaxEntries) return "too long a list";
    for (std::uint32_t i = 0; i < folder.entry_count; ++i) {
        const plat::AccessEntry& e = folder.entries[i];
        if (!e.allows || (e.rights & kChangingRights) == 0) continue;
        // Owner Rights and Creator Owner stand for the owner, who passed above.
        bool trusted = is_administrative(e.trustee) || is(e.trustee, kCreatorOwner) || is(e.trustee, kOwnerRights) ||
                       same(e.trustee, folder.owner);
        if (!trusted) return "others may change it";
    }
    return nullptr;
}

}  // namespace

bool only_administrators_control(const char* path, const char*& why) {
    plat::FolderFacts folder{};
    if (!plat::read_folder(path, folder)) {
        why = "unreadable";
        return false;
    }
    // The user is asked for only when the owner is none of the usual ones.
    plat::Sid self{};
    bool have_self = !is_administrative(folder.owner) && plat::process_user(self);
    why = judge(folder, have_self ? &self : nullptr);
    return why == nullptr;
}

}  // namespace kvi::setup
