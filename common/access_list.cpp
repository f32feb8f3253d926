// The walk over an access list in the platform's binary form, apart from the
// Win32 calls that fetch it, so that the unit tests can feed it any bytes.
#include <cstring>

#include "platform.h"

namespace plat {

bool copy_sid(const void* from, std::size_t room, Sid& to) {
    const auto* b = static_cast<const std::uint8_t*>(from);
    if (!b || room < 8 || b[0] != 1 || b[1] > 15) return false;
    std::size_t n = 8 + 4 * std::size_t(b[1]);
    if (n > room) return false;
    std::memcpy(to.bytes, b, n);
    return true;
}

bool read_access_list(const std::uint8_t* list, FolderFacts& out) {
    // The list's header: revision, padding, its size, its entry count, padding.
    constexpr std::size_t kListHeader = 8, kEntryHeader = 4, kSidAt = kEntryHeader + 4;
    std::size_t size = list[2] | std::size_t(list[3]) << 8;
    std::uint32_t count = list[4] | std::uint32_t(list[5]) << 8;
    out.entry_count = count;
    std::size_t at = kListHeader;
    for (std::uint32_t i = 0; i < count && i < FolderFacts::kMaxEntries; ++i) {
        // Each entry: its kind, flags and own size, then the access mask, then
        // (for the plain and callback kinds) the SID.
        if (size < at || size - at < kEntryHeader) return false;
        const std::uint8_t* entry = list + at;
        std::size_t entry_size = entry[2] | std::size_t(entry[3]) << 8;
        if (entry_size < kEntryHeader || entry_size > size - at) return false;
        std::uint8_t kind = entry[0];
        AccessEntry& e = out.entries[i];
        // Denied kinds: plain 1, object 6, callback 10, callback object 12.
        e.allows = kind != 1 && kind != 6 && kind != 10 && kind != 12;
        // An entry of a kind without a plain SID names nobody we know, so it
        // counts as a stranger with every right.
        if (entry_size >= kSidAt) std::memcpy(&e.rights, entry + kEntryHeader, 4);
        else e.rights = ~0u;
        // Inherit-only (0x08): given to the children, nothing on the folder itself.
        if (entry[1] & 0x08) e.rights = 0;
        bool plain = kind == 0 || kind == 1 || kind == 9 || kind == 10;
        // An entry too short to hold a SID behind its mask is no entry.
        if (plain && (entry_size <= kSidAt || !copy_sid(entry + kSidAt, entry_size - kSidAt, e.trustee))) return false;
        at += entry_size;
    }
    return true;
}

}  // namespace plat
