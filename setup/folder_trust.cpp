#include "folder_trust.h"

#include <cstdint>
#include <cstring>

#include "platform.h"
#include "text.h"
#include "trace.h"

namespace kvi::setup {

namespace {

// Well-known security identifiers in the platform's binary form.
// S-1-5-18
constexpr std::uint8_t kSystem[] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};
// S-1-5-32-544
constexpr std::uint8_t kAdministrators[] = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
constexpr std::uint8_t kTrustedInstaller[] = {0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x50, 0x00, 0x00, 0x00, 0xB5, 0x89, 0xFB, 0x38, 0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C, 0x23, 0x6D, 0x57, 0x00, 0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87};
// S-1-3-0
constexpr std::uint8_t kCreatorOwner[] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
// S-1-3-4
constexpr std::uint8_t kOwnerRights[] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00, 0x00};

template <std::size_t N>
bool is(const plat::Sid& sid, const std::uint8_t (&known)[N]) {
    return std::memcmp(sid.bytes, known, N) == 0;
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

// The judgement on facts already read; `self` is null unless the process
// runs elevated and its user could be read. Returns what is wrong, or null.
const char* judge(const plat::FolderFacts& folder, bool want_folder, const plat::Sid* self) {
    if (folder.directory != want_folder) return want_folder ? "not a folder" : "a folder";
    if (folder.reparse_point) return "a reparse point";
    bool owner_is_self = self && same(folder.owner, *self);
    if (!is_administrative(folder.owner) && !owner_is_self) return "foreign owner";
    if (!folder.has_list) return "no access list";
    // A list longer than was read may hold anything.
    if (folder.entry_count > plat::FolderFacts::kMaxEntries) return "list too long";
    for (std::uint32_t i = 0; i < folder.entry_count; ++i) {
        const plat::AccessEntry& e = folder.entries[i];
        if (!e.allows || (e.rights & kChangingRights) == 0) continue;
        // Owner Rights and Creator Owner stand for the owner, who passed above.
        bool trusted = is_administrative(e.trustee) || is(e.trustee, kCreatorOwner) || is(e.trustee, kOwnerRights) ||
                       same(e.trustee, folder.owner);
        if (!trusted) return "open to others";
    }
    return nullptr;
}

}  // namespace

const char* distrust(const char* path, bool folder) {
    plat::FolderFacts facts{};
    if (!plat::read_folder(path, facts)) return "unreadable";
    // A user's own folder is an administrator's only in an elevated process:
    // what a standard user owns, that user can open to anyone.
    plat::Sid self{};
    bool have_self = !is_administrative(facts.owner) && plat::process_elevated() && plat::process_user(self);
    return judge(facts, folder, have_self ? &self : nullptr);
}

bool installed_copy_trusted(const Text& inst_path) {
    if (inst_path.empty()) return true;
    Text program;
    if (!program.append_all(inst_path.view(), "\\Install.exe")) return false;
    const char* where = inst_path.c_str();
    const char* why = distrust(where, true);
    if (!why) {
        where = program.c_str();
        why = distrust(where, false);
    }
    if (why) trace::note("installed copy refused: %s %s", where, why);
    return why == nullptr;
}

}  // namespace kvi::setup
