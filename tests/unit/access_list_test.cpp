// The walk over an access list, read_access_list.
#include "test_support.h"

namespace {

// An allow entry for SYSTEM (S-1-5-18) with full control: 20 bytes.
const std::vector<std::uint8_t> kSystemEntry = {0x00, 0x03, 20, 0, 0xFF, 0x01, 0x1F, 0x00,
                                                0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
std::vector<std::uint8_t> list_of(std::vector<std::vector<std::uint8_t>> entries) {
    std::vector<std::uint8_t> list = {2, 0, 0, 0, static_cast<std::uint8_t>(entries.size()), 0, 0, 0};
    for (auto& e : entries) list.insert(list.end(), e.begin(), e.end());
    list[2] = static_cast<std::uint8_t>(list.size());
    return list;
}
// The whole entry is there, but it says it is `size` bytes long: the
// walk must not take the SID from bytes beyond its own end.
std::vector<std::uint8_t> claims(std::uint8_t size) {
    std::vector<std::uint8_t> e = kSystemEntry;
    e[2] = size;
    return list_of({e});
}
// The same entry of another kind, with other flags.
std::vector<std::uint8_t> entry(std::uint8_t kind, std::uint8_t flags = 0x03) {
    std::vector<std::uint8_t> e = kSystemEntry;
    e[0] = kind;
    e[1] = flags;
    return list_of({e});
}

struct AclRow {
    const char* name;
    std::vector<std::uint8_t> list;
    bool read;
    bool allows = true;
    std::uint32_t rights = 0x1F01FF;
    bool named = true;  // the entry's SID is read
};
class AccessList : public ::testing::TestWithParam<AclRow> {};
// The walk over an access list as the platform hands it over: an entry that
// runs past the list, or is too short for its SID, fails the read (and so
// the folder), never reads beyond the list.
TEST_P(AccessList, EntriesThatDoNotFitAreRefused) {
    const AclRow& row = GetParam();
    plat::FolderFacts facts{};
    EXPECT_EQ(plat::read_access_list(row.list.data(), facts), row.read);
    if (row.read && facts.entry_count == 1) {
        EXPECT_EQ(facts.entries[0].allows, row.allows);
        EXPECT_EQ(facts.entries[0].rights, row.rights);
        if (row.named) EXPECT_EQ(facts.entries[0].trustee.bytes[8], 0x12);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AccessList, ::testing::ValuesIn(std::vector<AclRow>{
    {"one whole entry", list_of({kSystemEntry}), true}, {"no entry", list_of({}), true},
    {"mask only, no room for a SID", claims(8), false}, {"header only", claims(4), false},
    {"shorter than its header", claims(2), false}, {"SID cut", claims(16), false},
    {"past the list's end", claims(24), false},
    // Every kind that denies is read as a denial: plain, object, callback, callback object.
    {"denied", entry(1), true, false}, {"denied object", entry(6), true, false, 0x1F01FF, false},
    {"denied callback", entry(10), true, false}, {"denied callback object", entry(12), true, false, 0x1F01FF, false},
    {"allowed object", entry(5), true, true, 0x1F01FF, false},
    // Inherit-only (0x08): for the children alone, nothing on the folder itself.
    {"inherit-only", entry(0, 0x0B), true, true, 0}}), ByName());

}  // namespace
