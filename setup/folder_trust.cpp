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

// Rights that let a holder change where a path leads: delete or rename a
// folder (delete, or delete a child of the folder above), change its
// attributes (with them an empty folder becomes a junction), change its
// list, take ownership, and the generic rights that include them.
constexpr std::uint32_t kChangingThePath = 0x0040u | 0x0100u | 0x00010000u | 0x00040000u | 0x00080000u |
                                           0x10000000u /* GENERIC_ALL */ | 0x40000000u /* GENERIC_WRITE */;
// In the last folder, and for the file, also: write (add a file) and append (add a folder).
constexpr std::uint32_t kChangingWhatItHolds = kChangingThePath | 0x0002u | 0x0004u;

// The judgement on facts already read, by the rights that no stranger may
// hold; `self` is null unless the process runs elevated and its user could
// be read. Returns what is wrong, or null.
const char* judge(const plat::FolderFacts& folder, bool want_folder, std::uint32_t rights, const plat::Sid* self) {
    if (folder.directory != want_folder) return want_folder ? "not a folder" : "a folder";
    if (folder.reparse_point) return "a reparse point";
    // A user's own folder is an administrator's only in an elevated process:
    // what a standard user owns, that user can open to anyone.
    auto trusted = [&](const plat::Sid& sid) { return is_administrative(sid) || (self && same(sid, *self)); };
    if (!trusted(folder.owner)) return "foreign owner";
    if (!folder.has_list) return "no access list";
    // A list longer than was read may hold anything.
    if (folder.entry_count > plat::FolderFacts::kMaxEntries) return "list too long";
    for (std::uint32_t i = 0; i < folder.entry_count; ++i) {
        const plat::AccessEntry& e = folder.entries[i];
        if (!e.allows || (e.rights & rights) == 0) continue;
        // Owner Rights and Creator Owner stand for the owner, who passed above.
        if (!trusted(e.trustee) && !is(e.trustee, kCreatorOwner) && !is(e.trustee, kOwnerRights) &&
            !same(e.trustee, folder.owner))
            return "open to others";
    }
    return nullptr;
}

// What a judged path is to what is started from it.
enum class Role {
    above,    // a folder on the way
    last,     // the folder that holds what is started
    runtime,  // a folder in the last one that need not exist
    file,     // what is started
};

// One judgement: everything it reads stays held in `held`; each verdict
// noted is written by `note` (its verdict, the path, why). On a `medium`,
// what lies on a volume that keeps no lists or is read-only passes unjudged.
class Judge {
public:
    Judge(const char* note, Held& held, bool medium = false) : note_(note), held_(held), medium_(medium) {
        have_self_ = plat::process_elevated() && plat::process_user(self_);
    }

    // Opens path, holds it and judges it as `role` says.
    bool passes(const char* path, Role role) {
        bool folder = role != Role::file;
        plat::FolderFacts facts{};
        plat::Handle handle = plat::open_held(path, folder, facts);
        if (handle == plat::Handle::none && role == Role::runtime) return true;
        // A path deeper than the holder is as good as unreadable.
        const char* why = "unreadable";
        if (handle == plat::Handle::none || handle == plat::Handle::invalid || !held_.keep(handle)) {
        } else if (medium_ && facts.volume_without_lists) {
            trace::note(note_, "passes", path, "no lists or read-only");
            why = nullptr;
        } else {
            why = judge(facts, folder, role == Role::above ? kChangingThePath : kChangingWhatItHolds,
                        have_self_ ? &self_ : nullptr);
        }
        return why ? refused(path, why) : true;
    }

    // Judges each folder from the drive root down to path, the last one.
    bool path_passes(const char* path) {
        Text walk;
        if (!walk.append(path)) return false;
        char* p = walk.data();
        auto separator = [](char c) { return c == '\\' || c == '/'; };
        // "C:" alone would name the current directory on C:.
        const char root[] = {p[0], ':', '\\', '\0'};
        if (walk.size() < 3 || p[1] != ':' || !separator(p[2]) || !plat::fixed_drive(root))
            return refused(path, "not a local fixed drive");
        if (!passes(root, Role::above)) return false;
        for (std::size_t i = 3; i <= walk.size(); ++i) {
            if (i < walk.size() && !separator(p[i])) continue;
            char kept = p[i];
            p[i] = '\0';
            bool ok = passes(p, i == walk.size() ? Role::last : Role::above);
            p[i] = kept;
            if (!ok) return false;
        }
        return true;
    }

private:
    bool refused(const char* path, const char* why) {
        trace::note(note_, "refused", path, why);
        return false;
    }

    const char* note_;
    Held& held_;
    bool medium_;
    plat::Sid self_{};
    bool have_self_ = false;
};

}  // namespace

bool Held::keep(plat::Handle handle) {
    if (count_ == kCapacity) {
        (void)OwnedHandle(handle).close();
        return false;
    }
    handles_[count_++].reset(handle);
    return true;
}

bool usual_location_trusted(const char* path, Held& held) {
    return Judge("usual location %s: %s %s", held).path_passes(path);
}

bool installed_copy_trusted(const Text& inst_path, Held& held) {
    if (inst_path.empty()) return true;
    Judge judge("installed copy %s: %s %s", held);
    if (!judge.path_passes(inst_path.c_str())) return false;
    // What is started from the folder, then the runtime's and the class path's folders.
    Role role = Role::file;
    for (const char* name = "Install.exe\0JRE\0JRE\\bin\0java\0data\0"; *name; name += std::strlen(name) + 1) {
        Text path;
        if (!path.append_all(inst_path.view(), "\\", name) || !judge.passes(path.c_str(), role)) return false;
        role = Role::runtime;
    }
    return true;
}

bool bootstrap_trusted(Text& program, Held& held) {
    if (!plat::process_elevated()) return true;
    std::size_t slash = program.view().rfind('\\');
    if (slash == std::string_view::npos) return false;
    // Its folder, cut short in place; a drive root keeps its backslash.
    char* p = program.data();
    std::size_t end = slash == 2 ? 3 : slash;
    char kept = p[end];
    p[end] = '\0';
    Judge judge("bootstrap %s: %s %s", held, true);
    bool ok = judge.passes(p, Role::last);
    p[end] = kept;
    return ok && judge.passes(p, Role::file);
}

}  // namespace kvi::setup
