#include "registration.h"

#include <map>
#include <tuple>

#include "boxes.h"
#include "install_flow.h"
#include "test_support.h"

namespace {

// Install run with -register (-silentLaunch) here, as its flow shows boxes: go_on when it starts the application.
enum class Registration { go_on, end_run };
Registration register_installation(unsigned quiet) {
    machine().command_line = std::string("Install.exe -register") + (quiet ? " -silentlaunch" : "");
    machine().launches.clear();
    EXPECT_EQ(kvi::install::run("Install.exe"), 0);
    return machine().launches.empty() ? Registration::end_run : Registration::go_on;
}

const char kLinkFolder[] = "C:\\Users\\Ann\\Start Menu\\Programs\\Halvik Torvanex";
const char kLinkFile[] = "C:\\Users\\Ann\\Start Menu\\Programs\\Halvik Torvanex\\Halvik Install.lnk";
const std::string kLinkBox = expected::box("install-shortcut-error");

// Cyrillic, CJK and a blank in UTF-8: every byte is passed on, and counted.
const std::string kUtf8 = "C:\\\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC\xD0\xBC\xD1\x8B "
                          "\xE5\xAE\x89\xE8\xA3\x85";  // C:\Программы 安装

// The folder Install runs in and every byte of its uninstall command, which
// includes padding at a drive root.
struct Folder {
    const char* name;
    std::string dir;
    bool silent_launch;
    std::string command;
};

class SelfRegistration : public FakeMachine, public ::testing::WithParamInterface<Folder> {};

// The five values, in order and with their byte counts, then the shortcut; again on a second run.
TEST_P(SelfRegistration, WritesFiveValuesInOrderThenTheShortcut) {
    const Folder& row = GetParam();
    ASSERT_EQ(kUtf8.size(), 28u);
    kvi::Text out;
    EXPECT_EQ(kvi::install::build_uninstall_command(out, row.dir), row.command.size());
    EXPECT_EQ(std::string(out.view()), row.command.c_str());
    EXPECT_EQ(std::string(out.c_str(), row.command.size()), row.command) << "zeros up to the byte count";
    enter(row.dir);
    EXPECT_EQ(register_installation(row.silent_launch * kvi::kSilentLaunch), Registration::go_on);
    EXPECT_EQ(fake::value(kRecord, "UninstCmd"), row.command);
    EXPECT_EQ(fake::value(kRecord, "InstPath"), sz(row.dir));
    EXPECT_EQ(fake::value(kRecord, "Version"), sz("1.8-002"));
    EXPECT_EQ(fake::value(kUninstallEntry, "DisplayName"), sz("Halvik Torvanex Products"));
    EXPECT_EQ(fake::value(kUninstallEntry, "UninstallString"), row.command);
    const std::string bytes = std::to_string(row.command.size());
    EXPECT_EQ(calls_starting("set_string_value"),
              (std::vector<std::string>{"set_string_value UninstCmd " + bytes,
                                        "set_string_value InstPath " + std::to_string(row.dir.size() + 1),
                                        "set_string_value Version 8", "set_string_value DisplayName 25",
                                        "set_string_value UninstallString " + bytes}));
    EXPECT_EQ(calls_starting("open_key_for_subkeys"),
              std::vector<std::string>{"open_key_for_subkeys SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"});
    const fake::Link& link = machine().saved_links.at(kLinkFile);
    EXPECT_EQ(link.path, row.dir + (row.dir == "C:\\" ? "" : "\\") + "Install.exe");
    EXPECT_EQ(link.working_dir, row.dir);
    EXPECT_EQ(machine().dir_requests,
              (std::vector<std::pair<std::string, plat::Acl>>{{kLinkFolder, plat::Acl::inherited}}))
        << "the shortcut folder keeps the access list of the user's Programs folder";
    // A second run leaves the same values.
    const std::size_t keys = machine().registry.size();
    EXPECT_EQ(register_installation(row.silent_launch * kvi::kSilentLaunch), Registration::go_on);
    EXPECT_EQ(machine().registry.size(), keys);
    EXPECT_EQ(machine().registry[kRecord].size(), 3u);
    EXPECT_EQ(machine().registry[kUninstallEntry].size(), 2u);
    EXPECT_TRUE(machine().boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, SelfRegistration, ::testing::ValuesIn(std::vector<Folder>{
    {"InAFolder", "C:\\Kit", false, sz("C:\\Kit\\Install.exe -remove")},
    {"InAFolderOfUtf8NameWithABlank", kUtf8, false, sz("\"" + kUtf8 + "\\Install.exe\" -remove")},
    {"AtADriveRoot", "C:\\", false, std::string("C:\\Install.exe -remove\0\0", 24)},
    {"InAFolderWithABlankUnderSilentLaunch", "C:\\Program Files\\Kit", true,
     sz("\"C:\\Program Files\\Kit\\Install.exe\" -remove")}}), ByName());

// Failures of the record are silent; without the uninstall entry the run
// ends. Every value that is written is written whole.
using fake::Op;
const std::set<std::string> kRecordValues = {"InstPath", "UninstCmd", "Version"};
const std::vector<std::string> kRegistrationBox = {expected::box("install-registration-error")};
struct FailureRow {
    const char* name;
    std::vector<std::pair<Op, int>> failures;
    bool standard_user, silent_launch;
    Registration end;
    std::set<std::string> values;  // of the record and the uninstall entry
    std::vector<std::string> boxes;
};
class SelfRegistrationFailures : public FakeMachine, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(SelfRegistrationFailures, FailuresAndWhatTheyLeave) {
    const std::map<std::string, std::string> kWhole = {
        {"UninstCmd", sz("C:\\Kit\\Install.exe -remove")}, {"InstPath", sz("C:\\Kit")}, {"Version", sz("1.8-002")},
        {"DisplayName", sz("Halvik Torvanex Products")}, {"UninstallString", sz("C:\\Kit\\Install.exe -remove")}};
    const FailureRow& row = GetParam();
    enter("C:\\Kit");
    machine().elevated = !row.standard_user;
    for (auto [op, nth] : row.failures) fake::fail(op, nth);
    EXPECT_EQ(register_installation(row.silent_launch * kvi::kSilentLaunch), row.end);
    std::set<std::string> values;
    for (const char* key : {kRecord, kUninstallEntry})
        for (const auto& [name, value] : machine().registry[key]) {
            values.insert(name);
            EXPECT_EQ(value.bytes, kWhole.at(name)) << name;
        }
    EXPECT_EQ(values, row.values);
    EXPECT_EQ(shown(), row.boxes);
    EXPECT_EQ(machine().saved_links.count(kLinkFile), row.end == Registration::go_on ? 1u : 0u)
        << "the shortcut is made unless the run ends";
}

INSTANTIATE_TEST_SUITE_P(Table, SelfRegistrationFailures, ::testing::ValuesIn(std::vector<FailureRow>{
    {"neither the record nor the uninstall parent opens", {{Op::create_key, 1}, {Op::open_key_for_subkeys, 1}}, false,
     false, Registration::go_on, {}, {}},
    {"a standard user's run, for whom both opens fail", {}, true, false, Registration::go_on, {}, {}},
    {"record writes are not examined", {{Op::set_string_value, 1}}, false, false, Registration::go_on,
     {"DisplayName", "InstPath", "UninstallString", "Version"}, {}},
    {"no uninstall entry", {{Op::create_key, 2}}, false, false, Registration::end_run, kRecordValues, kRegistrationBox},
    {"... under -silentLaunch", {{Op::create_key, 2}}, false, true, Registration::end_run, kRecordValues, {}},
    {"no DisplayName", {{Op::set_string_value, 4}}, false, false, Registration::end_run, kRecordValues, {}},
    {"no UninstallString", {{Op::set_string_value, 5}}, false, false, Registration::end_run,
     {"DisplayName", "InstPath", "UninstCmd", "Version"}, {}}}), ByName());

// Each step's failure, and paths counted in characters, 259 at most, whatever the script: a path that does
// not fit gets no link (and the box, before COM is set up), never a cut one.
struct ShortcutRow {
    const char* name;
    std::string dir, programs;  // programs: empty for the usual folder
    std::optional<fake::Op> fails;
    bool box, folder_made;
    int com_inits;
};
class StartMenuShortcut : public FakeMachine, public ::testing::WithParamInterface<ShortcutRow> {};
TEST_F(StartMenuShortcut, LinkPointsAtInstallHere) {
    enter("C:\\Kit");
    register_installation(kvi::kLoud);
    const fake::Link& link = machine().saved_links.at(kLinkFile);
    EXPECT_EQ(std::tie(link.path, link.description, link.working_dir, link.icon_path, link.icon_index),
              std::make_tuple("C:\\Kit\\Install.exe", "Halvik Torvanex Install", "C:\\Kit", "C:\\Kit\\Install.exe", 0));
    EXPECT_TRUE(machine().dirs.count(kLinkFolder));

    // Again, into the existing folder: replaced, no box.
    register_installation(kvi::kLoud);
    EXPECT_TRUE(machine().boxes.empty());
    EXPECT_EQ(machine().saved_links.size(), 1u);
}

TEST_P(StartMenuShortcut, FailuresAndPathLimits) {
    const ShortcutRow& row = GetParam();
    enter(row.dir);
    if (!row.programs.empty()) {
        machine().programs_folder = row.programs;
        machine().dirs.insert(row.programs);
    }
    if (row.fails) fake::fail(*row.fails);
    register_installation(kvi::kLoud);
    const bool linked = !row.fails && !row.box;
    EXPECT_EQ(shown(), row.box ? std::vector{kLinkBox} : std::vector<std::string>{});
    EXPECT_EQ(machine().dirs.count(machine().programs_folder + "\\Halvik Torvanex"), row.folder_made ? 1u : 0u);
    EXPECT_EQ(machine().com_inits, row.com_inits);
    ASSERT_EQ(machine().saved_links.size(), linked ? 1u : 0u);
    if (linked) {
        EXPECT_EQ(machine().saved_links.begin()->first,
                  machine().programs_folder + "\\Halvik Torvanex\\Halvik Install.lnk");
        EXPECT_EQ(machine().saved_links.begin()->second.path, row.dir + "\\Install.exe");
    }
}

std::string chinese(int letters) { return "C:\\" + repeat(letters, "\xE4\xB8\xAD"); }  // 中
const std::string kKit = "C:\\Kit";
INSTANTIATE_TEST_SUITE_P(Table, StartMenuShortcut, ::testing::ValuesIn(std::vector<ShortcutRow>{
    {"no Programs folder", kKit, "", fake::Op::programs_folder, false, false, 0},
    {"no shell link", kKit, "", fake::Op::create_shell_link, true, false, 1},
    {"no file interface", kKit, "", fake::Op::link_persist, true, false, 1},
    {"not saved", kKit, "", fake::Op::save_link, true, true, 1},
    {"253 characters + \\Install.exe is 265", "C:\\" + std::string(250, 'd'), "", {}, true, false, 0},
    {"a Programs folder + 35 does not fit 260", kKit, "C:\\" + std::string(230, 'p'), {}, true, false, 0},
    {"247 + 12 = 259 still fits", "C:\\" + std::string(244, 'k'), "", {}, false, true, 1},
    {"244 Chinese letters (732 bytes) + 12 fits", chinese(244), "", {}, false, true, 1},
    {"245 Chinese letters do not", chinese(245), "", {}, true, false, 0},
    {"a Programs folder of 200 Chinese letters is read whole", kKit, chinese(200), {}, false, true, 1}}), ByName());

}  // namespace
