#include "installed_copy.h"
#include "record.h"

#include "test_support.h"

using namespace kvi::setup;

namespace {

struct VersionCase {
    const char* stored;
    bool older;
};

std::ostream& operator<<(std::ostream& os, const VersionCase& c) { return os << '[' << c.stored << ']'; }

class VersionComparison : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionComparison, SetsStoredVersionAgainstOwn) {
    EXPECT_EQ(version_is_older(GetParam().stored), GetParam().older) << '[' << GetParam().stored << ']';
}

INSTANTIATE_TEST_SUITE_P(Table, VersionComparison, ::testing::ValuesIn(std::vector<VersionCase>{
    {"1.8-002", false}, {"1.8-001", true}, {"1.7-999", true}, {"0.9-999", true}, {"1.9-000", false}, {"2.0-000", false},
    {"1.8.2", false}, {"01.08-2", false}, {"1.8-002-7", false}, {"1.8", true}, {"", true}, {".-.-", true},
    {"a.b-c", true}, {"--1..8--2", false}, {" 1. +8-2x", false}, {"1.8-3", false}, {"1.8-003", false},
    // Fields beyond an int are clamped, not wrapped.
    {"99999999999999999999.0-0", false}, {"1.8-99999999999999999999", false}, {"1.4294967304-0", false}}));

// The record's values (absent: nullopt; type 4 for Version unless said) and
// what the check makes of them; the record is closed after it.
struct CheckRow {
    const char* name;
    std::optional<std::string> version, inst_path;
    Outcome outcome;
    std::optional<std::string> path;  // nullopt: no path at all
    std::uint32_t version_type = 4;
    bool no_record = false, unreadable = false;
    std::uint32_t estimate = 0;  // the size query counts two bytes a letter: the InstPath size read
};
class InstalledCopy : public FakeMachine, public ::testing::WithParamInterface<CheckRow> {};
TEST_P(InstalledCopy, CheckOutcomes) {
    const CheckRow& row = GetParam();
    machine().size_estimate_utf16 = row.estimate != 0;
    if (row.version) fake::put_value(kRecord, "Version", *row.version, row.version_type);
    if (row.inst_path) fake::put_value(kRecord, "InstPath", *row.inst_path);
    if (row.unreadable) {
        fake::fail(fake::Op::read_string_data, 1);  // the Version read
        fake::fail(fake::Op::read_string_data, 2);  // the InstPath read
    }
    CheckResult r = check_installed_copy(row.no_record ? kvi::OwnedKey() : kvi::open_record());
    EXPECT_EQ(r.outcome, row.outcome);
    EXPECT_EQ(opt(r.inst_path), row.path);
    // A read reports the size the registry gave, estimate or not.
    kvi::Text again;
    if (row.estimate) EXPECT_EQ(kvi::read_value(kvi::open_record().get(), "InstPath", again), row.estimate);
}

const std::string kChinese200 = "C:\\" + repeat(200, "\xE4\xB8\xAD");  // 中
INSTANTIATE_TEST_SUITE_P(Table, InstalledCopy, ::testing::ValuesIn(std::vector<CheckRow>{
    {"current", sz("1.8-002"), sz("C:\\Kit"), Outcome::current, "C:\\Kit", 1},
    {"no Version", std::nullopt, sz("C:\\Kit"), Outcome::none, "C:\\Kit"},
    {"empty Version", std::string(), sz("C:\\Kit"), Outcome::none, "C:\\Kit"},
    {"no InstPath", sz("1.7-000"), std::nullopt, Outcome::older, ""},
    {"no terminating zeros", std::string("1.8-002"), std::string("C:\\NoZero"), Outcome::current, "C:\\NoZero"},
    {"empty InstPath", sz("2.0"), std::string(), Outcome::older, ""},
    {"a number as Version", std::string("\x02\x00\x00\x00", 4), sz("C:\\Kit"), Outcome::older, "C:\\Kit"},
    {"unreadable values count as empty", sz("1.8-002"), sz("C:\\Kit"), Outcome::older, "", 1, false, true},
    {"no record means no copy", std::nullopt, std::nullopt, Outcome::none, std::nullopt, 4, true},
    // An estimate right for none of these, too small for Chinese (three bytes a letter in UTF-8):
    // never cut, never lost.
    {"estimated size", sz("1.8-002"), sz("C:\\Kit"), Outcome::current, "C:\\Kit", 1, false, false, 14},
    {"estimated size too small", sz("1.8-002"), sz(kChinese200), Outcome::current, kChinese200, 1, false, false, 408},
}), ByName());

TEST_F(InstalledCopy, ProbeNeedsTheExactAnswer) {
    for (auto [given, answered] : {std::pair{kProbeAnswer, true}, {0u, false}, {1110u, false}}) {
        fake::probe_answers(given);
        EXPECT_EQ(probe("C:\\Kit"), answered) << given;
    }
    ASSERT_EQ(machine().launches.size(), 3u);
    EXPECT_EQ(machine().launches[0].command_line, "C:\\Kit\\Install.exe -verctrl");
    EXPECT_EQ(flags(machine().launches[0]), "no_window") << "no console window flashes up";
    // The probe waits without a time limit.
    EXPECT_TRUE(called("wait_for 4294967295"));
}

TEST_F(InstalledCopy, ProbeFailsWhenStartOrStatusFails) {
    each_program_is({false, kProbeAnswer});
    fake::fail(fake::Op::start_process);
    EXPECT_FALSE(probe("C:\\Kit"));
    fake::fail(fake::Op::exit_code);
    EXPECT_FALSE(probe("C:\\Kit"));
    EXPECT_TRUE(probe("C:\\Kit"));
}

// The path, -noexecute and tail handed over, how the probe and the hand-off
// end, what hand_off returns and the command lines started.
struct HandOffCase {
    const char* name;
    const char* path;
    bool noexecute;
    const char* tail;
    std::uint32_t answer;
    bool hand_off_fails, handed_off;
    std::vector<std::string> commands;
};

class HandOff : public FakeMachine, public ::testing::WithParamInterface<HandOffCase> {};

TEST_P(HandOff, Outcomes) {
    const HandOffCase& c = GetParam();
    fake::probe_answers(c.answer, c.hand_off_fails);
    kvi::setup::Options options{{}, c.tail ? kvi::Text::from(c.tail) : kvi::Text(), {}, {}, false, false, c.noexecute};
    EXPECT_EQ(hand_off(c.path, options), c.handed_off);
    EXPECT_EQ(commands(), c.commands);
}

const std::string kProbe = "C:\\Kit\\Install.exe -verctrl";

INSTANTIATE_TEST_SUITE_P(Table, HandOff, ::testing::ValuesIn(std::vector<HandOffCase>{
    {"QuotesAPathWithBlanks", "C:\\Program Files\\Kit", false, " -batch  c:\\b.txt", kProbeAnswer, false, true,
     {"\"C:\\Program Files\\Kit\\Install.exe\" -verctrl",
      "\"C:\\Program Files\\Kit\\Install.exe\" -silentLaunch -register  -batch  c:\\b.txt"}},
    {"KeepsOtherPathsAsTheyAre", "C:\\", false, nullptr, kProbeAnswer, false, true,
     {"C:\\\\Install.exe -verctrl", "C:\\\\Install.exe -silentLaunch -register"}},
    {"NoProbeWithoutAPath", "", false, nullptr, kProbeAnswer, false, false, {}},
    {"NoexecuteProbesOnly", "C:\\Kit", true, nullptr, kProbeAnswer, false, true, {kProbe}},
    {"WrongAnswerStartsNothingFurther", "C:\\Kit", false, nullptr, 0, false, false, {kProbe}},
    {"HandOffThatCannotStart", "C:\\Kit", false, nullptr, kProbeAnswer, true, false, {kProbe}}}), ByName());

}  // namespace
