#include <cstdint>

#include "test_support.h"

namespace {

// Who may do what to a folder.
const std::string kUser = "S-1-5-21-1-2-3-500", kOther = "S-1-5-21-1-2-3-1001";
const fake::Ace kSystem{"S-1-5-18", true, 0x1F01FF}, kAdmins{"S-1-5-32-544", true, 0x1F01FF},
    kUsersRead{"S-1-5-32-545", true, 0x1200A9};
// What a folder made under C:\ on Windows 10 inherits: Authenticated Users may modify.
const std::vector<fake::Ace> kFromDrive = {kSystem, kAdmins, kUsersRead, {"S-1-5-11", true, 0x1301BF},
                                           {"S-1-3-0", true, 0x10000000}};
fake::FolderSecurity admins(std::vector<fake::Ace> entries) { return {"S-1-5-32-544", true, std::move(entries)}; }
fake::FolderSecurity users_may(std::uint32_t rights) { return admins({kSystem, kAdmins, {"S-1-5-32-545", true, rights}}); }
const fake::FolderSecurity kLink = {"S-1-5-32-544", true, fake::FolderSecurity::protected_list(), true};

const std::string kSetup = "D:\\Kit\\setup.exe", kPlain = "_instkvi.com -s", kAt = "_instkvi.com -s -f ";
const std::string kProbe = "C:\\Kit\\Install.exe -verctrl", kHandOff = "C:\\Kit\\Install.exe -silentLaunch -register";
const std::string kRecordBox = expected::box("setup-original-source-error");
const std::string kLaunchBox = expected::box("setup-launch-error");

void current() { fake::plant_copy("1.8-002", "C:\\Kit", kProbeAnswer); }
void older() { fake::plant_copy("1.7-000", "C:\\Old"); }
void unwritable() { machine().read_only.insert("C:\\HalvikTorvanex"); }
void no_directory() { EXPECT_TRUE(machine().dir_requests.empty()); }
void not_checked() { EXPECT_FALSE(called("read_string Version")); }
void none_made() { EXPECT_FALSE(machine().dirs.count("C:\\HalvikTorvanex")); }
void standard_user() { machine().elevated = false; }
using Step = std::function<void()>;
Step start_dir(std::string value) { return [value] { machine().env["KVI_START_DIR"] = value; }; }
Step started_in(std::string dir) { return [dir] { EXPECT_EQ(machine().launches[0].start_dir, dir); }; }
// setup's own file, and the bootstrap beside it.
Step own(std::string path) {
    return [path] {
        machine().own_path = path;
        std::string dir = path.substr(0, path.rfind('\\'));
        machine().dirs.insert(dir.size() == 2 ? dir + "\\" : dir);
        machine().files.insert(dir + "\\_instkvi.com");
    };
}
Step booted(std::string app) { return [app] { EXPECT_EQ(machine().launches[0].application, app); }; }
// The flags of each start: Install is a console program, whose probe and
// hand-off get no console window unless the tail asks for its console (-nojw).
Step started_with(std::vector<std::string> want) {
    return [want] { EXPECT_EQ(start_flags(), want); };
}
// A file where the usual location should be, or a folder that cannot be entered.
Step blocked(bool is_file) {
    return [is_file] {
        machine().dirs.insert("C:\\HalvikTorvanex");
        (is_file ? machine().files : machine().locked_dirs).insert("C:\\HalvikTorvanex\\Install");
        if (!is_file) machine().dirs.insert("C:\\HalvikTorvanex\\Install");
        older();
    };
}
// The nth call of op fails (0: every call).
Step fails(fake::Op op, int nth, Step plant = nullptr) {
    return [=] {
        if (plant) plant();
        nth ? fake::fail(op, nth) : fake::fail_always(op);
    };
}
// The record cannot be opened or written: the check still runs, on the open
// record or on the record opened for reading.
Step reopened(bool again) {
    return [again] { EXPECT_EQ(called("open_key_for_reading Software\\HalvikTorvanex\\HalvikTorvanexJI"), again); };
}
// Names are UTF-8, up to three bytes a letter (four for two UTF-16
// characters): the limit counts characters, 259 of them, not bytes.
const std::string kCyrillic128 = "d:\\" + repeat(128, "\xD0\x94"), kCyrillic256 = "d:\\" + repeat(256, "\xD0\x94"),
                  kChinese256 = "d:\\" + repeat(256, "\xE4\xB8\xAD"), kChinese257 = kChinese256 + "\xE4\xB8\xAD",
                  kEmoji129 = "d:\\" + repeat(129, "\xF0\x9F\x98\x80");
Step exists(std::string dir) { return [dir] { machine().dirs.insert(dir); }; }
Step recorded(std::optional<std::string> dir) {
    return [dir] { EXPECT_EQ(fake::value(kRecord, "OriginalSource"), dir ? std::optional(sz(*dir)) : std::nullopt); };
}
// The probe and the hand-off run with setup's rights: only from an InstPath
// folder, and an Install.exe in it, that only administrators can change.
// Else no probe, the copy counts as older, and the trace says why.
// Every folder from the drive root down is judged, and each is held from the
// judgement until the start that relies on it has returned.
Step copy_in(std::string path, fake::FolderSecurity security, bool elevated = true) {
    return [=] {
        machine().elevated = elevated;
        machine().env["KVI_TRACE"] = kTraceFile;
        current();
        machine().security[path] = security;
    };
}
// ... a copy in `inst`, whose folders all stand.
Step copy_at(std::string inst, std::string path, fake::FolderSecurity security = {}) {
    return [=] {
        machine().env["KVI_TRACE"] = kTraceFile;
        fake::plant_copy("1.8-002", inst, kProbeAnswer);
        machine().dirs.insert(inst.substr(0, 3));
        for (std::size_t at = inst.find('\\', 3); at != std::string::npos; at = inst.find('\\', at + 1))
            machine().dirs.insert(inst.substr(0, at));
        if (!path.empty()) machine().security[path] = security;
    };
}
Step noted(std::string line) {
    return [line] {
        std::vector<std::string> lines = trace_lines("setup");
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    };
}
Step refused(std::string why) {
    return [why] {
        if (!why.empty()) noted("installed copy refused: " + why)();
    };
}
// The probe and the hand-off were started while one judgement's folders and file were held.
void held_across_both() {
    const std::vector<std::string> held = {"C:\\", "C:\\Kit", "C:\\Kit\\Install.exe"};
    EXPECT_EQ(machine().launches[0].held, held);
    EXPECT_EQ(machine().launches[1].held, held);
    EXPECT_EQ(calls_starting("open_held C:\\Kit\\Install.exe").size(), 1u) << "judged once";
}
// The bootstrap beside an elevated setup is judged, with its folder.
const fake::FolderSecurity kUsersWrite = users_may(0x0002);
Step medium(fake::FolderSecurity security, bool elevated = true, bool without_lists = false) {
    return [=] {
        machine().env["KVI_TRACE"] = kTraceFile;
        machine().elevated = elevated;
        machine().security["D:\\Kit"] = security;
        if (without_lists) machine().volumes_without_lists.insert("D:\\");
    };
}
// ... under C:\Apps, as `parent` says.
Step under(fake::FolderSecurity parent) { return copy_at("C:\\Apps\\Kit", "C:\\Apps", parent); }
const std::string kApps = kAt + "C:\\Apps\\Kit", kDeep = "C:" + repeat(22, "\\d");
// ... on drive E:, as `drive` makes it.
Step on_e(std::function<void(fake::State&)> drive) {
    return all({copy_at("E:\\Kit", ""), [=] { drive(machine()); }});
}
const fake::FolderSecurity kUsers = {kUser, true, {kSystem, {kUser, true, 0x1F01FF}}},
                          kForeign = {kOther, true, {kSystem, kAdmins}};
// A usual location open to Users, and an older copy in a folder that `copy` protects.
Step open_usual_older(fake::FolderSecurity copy) {
    return [copy] {
        fake::usual_location(admins(kFromDrive));
        fake::plant_copy("1.7-999", "C:\\Old");
        machine().security["C:\\Old"] = copy;
    };
}
// The bootstrap's manifest asks for administrator rights. An elevated setup
// starts it as always; an unelevated one gets 740 and asks the shell, with
// the same program, arguments and directory; the box only when the user refuses.
Step needs_admin(bool elevated, bool accepted) {
    return [elevated, accepted] {
        machine().elevated = elevated;
        machine().prompt_accepted = accepted;
        fake::bootstrap_needs_elevation();
    };
}
Step prompted(bool asked) {
    return [asked] { EXPECT_EQ(called("start_elevated D:\\Kit\\_instkvi.com -s -f  c:\\inst -a "), asked); };
}

// Planted state, command line, what is started and the boxes shown; `also` checks the rest.
struct Road {
    const char* name;
    Step plant;
    std::string command_line;
    std::vector<std::string> commands, boxes;
    Step also;
};
class SetupFlowRoads : public SetupFlow, public ::testing::WithParamInterface<Road> {};
TEST_P(SetupFlowRoads, Roads) {
    const Road& road = GetParam();
    if (road.plant) road.plant();
    run(road.command_line);
    EXPECT_EQ(commands(), road.commands);
    EXPECT_EQ(shown(), road.boxes);
    if (road.also && commands() == road.commands) road.also();
}

const std::string tail(3000, 'x'), deep = "E:\\" + std::string(300, 'd');
INSTANTIATE_TEST_SUITE_P(Table, SetupFlowRoads, ::testing::ValuesIn(std::vector<Road>{
        {"a bootstrap that needs elevation, from an elevated setup", needs_admin(true, true),
         kSetup + " -target c:\\inst", {"_instkvi.com -s -f  c:\\inst -a "}, {}, prompted(false)},
        {"... from a standard user's, through the prompt", needs_admin(false, true), kSetup + " -target c:\\inst",
         {"-s -f  c:\\inst -a "}, {kRecordBox},  // the arguments behind the name
         [] {
             prompted(true)();
             const fake::Launch& boot = machine().launches[0];
             EXPECT_EQ(flags(boot), "elevated");
             EXPECT_EQ(boot.application, "D:\\Kit\\_instkvi.com");
             EXPECT_EQ(boot.cwd, "d:\\kit");
             EXPECT_EQ(boot.start_dir, std::nullopt) << "a fresh environment";
         }},
        {"... refused at the prompt", needs_admin(false, false), kSetup + " -target c:\\inst", {},
         {kRecordBox, kLaunchBox}, prompted(true)},
        {"a copy in administrators' folder is probed", copy_in("C:\\Kit", {}), kSetup, {kProbe, kHandOff}, {},
         held_across_both},
        {"... not in one owned by a user", copy_in("C:\\Kit", kForeign), kSetup,
         {kAt + "C:\\Kit"}, {}, refused("C:\\Kit foreign owner")},
        {"... nor in one open to Users",
         copy_in("C:\\Kit", admins({kSystem, kAdmins, {"S-1-5-32-545", true, 0x1301BF}})), kSetup, {kAt + "C:\\Kit"},
         {}, refused("C:\\Kit open to others")},
        {"... nor from an Install.exe open to Users",
         copy_in("C:\\Kit\\Install.exe", admins({kSystem, kAdmins, {"S-1-5-32-545", true, 0x0002}})), kSetup,
         {kAt + "C:\\Kit"}, {}, refused("C:\\Kit\\Install.exe open to others")},
        {"... nor under a folder that Users may rename (delete)", under(users_may(0x10000)), kSetup, {kApps}, {},
         refused("C:\\Apps open to others")},
        {"... nor under one whose child Users may rename (delete child)", under(users_may(0x0040)), kSetup, {kApps},
         {}, refused("C:\\Apps open to others")},
        {"... nor under one whose list Users may change", under(users_may(0x40000)), kSetup, {kApps}, {},
         refused("C:\\Apps open to others")},
        {"... nor under a link", under(kLink), kSetup, {kApps}, {}, refused("C:\\Apps a reparse point")},
        // Only the last folder must keep others from adding to it, as the drive root does not.
        {"... but under one Users may add folders to", under(users_may(0x0004)), kSetup,
         {"C:\\Apps\\Kit\\Install.exe -verctrl", "C:\\Apps\\Kit\\Install.exe -silentLaunch -register"}},
        {"... nor with its runtime a link", all({copy_in("C:\\Kit\\JRE", kLink), exists("C:\\Kit\\JRE")}), kSetup,
         {kAt + "C:\\Kit"}, {}, refused("C:\\Kit\\JRE a reparse point")},
        {"... nor from a network drive", on_e([](fake::State& m) { m.drives["E:\\"] = "network"; }), kSetup,
         {kAt + "E:\\Kit"}, {}, refused("E:\\Kit not a local fixed drive")},
        {"... nor from a removable one", on_e([](fake::State& m) { m.drives["E:\\"] = "removable"; }), kSetup,
         {kAt + "E:\\Kit"}, {}, refused("E:\\Kit not a local fixed drive")},
        {"... nor from a fixed drive that keeps no lists",
         on_e([](fake::State& m) { m.volumes_without_lists.insert("E:\\"); }), kSetup, {kAt + "E:\\Kit"}, {},
         refused("E:\\ foreign owner")},
        {"... nor from a share", copy_at("\\\\server\\share\\Kit", ""), kSetup, {kAt + "\\\\server\\share\\Kit"}, {},
         refused("\\\\server\\share\\Kit not a local fixed drive")},
        // Each folder and the file are held until the hand-off: one more than the holder takes is refused.
        {"... nor from deeper than the folders it can hold", copy_at(kDeep + "\\d", ""), kSetup,
         {kAt + kDeep + "\\d"}, {}, refused(kDeep + "\\d\\Install.exe unreadable")},
        {"... but from as deep as that", copy_at(kDeep, ""), kSetup,
         {kDeep + "\\Install.exe -verctrl", kDeep + "\\Install.exe -silentLaunch -register"}},
        {"a copy in this user's folder, elevated, is probed", copy_in("C:\\Kit", kUsers), kSetup, {kProbe, kHandOff},
         {}, refused("")},
        // A standard user cannot make the usual location: the bootstrap names none.
        {"... not elevated it is not", copy_in("C:\\Kit", kUsers, false), kSetup, {kAt}, {kRecordBox},
         refused("C:\\Kit foreign owner")},
        {"the bootstrap beside an elevated setup in a folder open to Users is not started", medium(kUsersWrite),
         kSetup, {}, {kLaunchBox}, noted("bootstrap refused: D:\\Kit open to others")},
        {"... nor one open to Users itself",
         all({medium({}), [] { machine().security["D:\\Kit\\_instkvi.com"] = kUsersWrite; }}), kSetup, {},
         {kLaunchBox}, noted("bootstrap refused: D:\\Kit\\_instkvi.com open to others")},
        {"... but from a volume that keeps no lists or is read-only", medium(kUsersWrite, true, true), kSetup, {kPlain},
         {}, all({noted("bootstrap passes: D:\\Kit no lists or read-only"), [] {
                      EXPECT_EQ(machine().launches[0].held,
                                (std::vector<std::string>{"C:\\", "C:\\HalvikTorvanex", "C:\\HalvikTorvanex\\Install",
                                                          "D:\\Kit", "D:\\Kit\\_instkvi.com"}));
                  }})},
        {"... and by a standard user's setup without a judgement", medium(kUsersWrite, false), kSetup, {kAt},
         {kRecordBox}, [] { EXPECT_EQ(calls_starting("open_held"), std::vector<std::string>{}); }},
        {"the base folder may let Users add folders",
         [] { machine().security["C:\\HalvikTorvanex"] = users_may(0x0004); }, kSetup, {kPlain}},
        {"only the base folder is open: the usual location made in it now is not safe either",
         all({exists("C:\\HalvikTorvanex"), [] { machine().security["C:\\HalvikTorvanex"] = admins(kFromDrive); }}),
         kSetup + " -nojw", {"_instkvi.com -s -f  -a  -nojw"}},
        // Who controls the usual location matters only where the bootstrap would install into it.
        {"an open usual location leaves an older copy to be updated in its own folder", open_usual_older({}),
         kSetup + " -nosplash", {kAt + "C:\\Old -a  -nosplash"}},
        {"... unless that folder is open too", open_usual_older(kForeign), kSetup + " -nosplash",
         {"_instkvi.com -s -f  -a  -nosplash"}},
        // A standard user's run cannot give the folders their owner: none is made,
        // and the bootstrap is told the target path, or nothing.
        {"a standard user's run makes no folder", standard_user, kSetup, {kAt}, {kRecordBox}, none_made},
        {"... and names the target path", standard_user, kSetup + " -target c:\\mine",
         {"_instkvi.com -s -f  c:\\mine -a "}, {kRecordBox}, none_made},
        {"a fresh machine starts the plain bootstrap from the program directory", nullptr, kSetup, {kPlain}, {},
         [] {
             EXPECT_EQ(machine().calls.front(), "restrict_dll_search");
             const fake::Launch& boot = machine().launches[0];
             EXPECT_EQ(boot.application, "D:\\Kit\\_instkvi.com") << "beside setup's own file, not searched for";
             using Request = std::pair<std::string, plat::Acl>;
             EXPECT_EQ(machine().dir_requests,
                       (std::vector<Request>{{"C:\\HalvikTorvanex", plat::Acl::installed_folder},
                                             {"C:\\HalvikTorvanex\\Install", plat::Acl::installed_folder}}));
             EXPECT_EQ(boot.cwd, "d:\\kit");
             EXPECT_EQ(boot.start_dir, "C:\\Start") << "the start directory is taken before the change";
             EXPECT_EQ(flags(boot), "");
             recorded("d:\\kit")();
             EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex"));
             EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex\\Install"));
             EXPECT_EQ(machine().cwd, "d:\\kit") << "the reachability test puts the directory back";
         }},
        {"a start directory already set is kept", start_dir("E:\\Media"), kSetup, {kPlain}, {},
         started_in("E:\\Media")},
        {"an empty start directory is set", start_dir(""), kSetup, {kPlain}, {}, started_in("C:\\Start")},
        {"a file at the usual location", blocked(true), kSetup, {kAt}},
        {"... with -target", blocked(true), kSetup + " -target c:\\t", {"_instkvi.com -s -f  c:\\t -a "}},
        {"a usual location that cannot be entered", blocked(false), kSetup, {kAt}},
        {"... also with -target", blocked(false), kSetup + " -target c:\\t", {"_instkvi.com -s -f  c:\\t -a "}},
        {"the bootstrap is named by the folder of setup's own file", nullptr, "setup", {kPlain}, {},
         booted("D:\\Kit\\_instkvi.com")},
        {"... not by the command line", own("E:\\setup.exe"), kSetup + " -nojw", {"_instkvi.com -s -a  -nojw"}, {},
         booted("E:\\_instkvi.com")},
        {"the bootstrap keeps its console", nullptr, kSetup + " -nojw", {"_instkvi.com -s -a  -nojw"}, {},
         started_with({""})},
        {"... of any length", own(deep + "\\SETUP.EXE"), "setup", {kPlain}, {}, booted(deep + "\\_instkvi.com")},
        {"the probe and the hand-off get no console window", current, kSetup, {kProbe, kHandOff}, {},
         started_with({"no_window", "no_window"})},
        {"... but a hand-off with -nojw gets one", current, kSetup + " -NoJW", {kProbe, kHandOff + "  -nojw"}, {},
         started_with({"no_window", ""})},
        {"-help shows its box and does nothing else", nullptr, kSetup + " -force -help", {},
         {expected::box("setup-usage")}},  // whose 641 bytes SetupMessages checks
        {"-ver shows its box and does nothing else", nullptr, kSetup + " -ver", {},
         {expected::box("setup-version")},
         all({recorded(std::nullopt), [] { EXPECT_EQ(machine().cwd, "C:\\Start"); }})},
        {"a bootstrap that cannot start is reported", fails(fake::Op::start_process, 1), kSetup, {}, {kLaunchBox}},
        {"setup's own path unreadable: nothing is started by a bare name", fails(fake::Op::own_program_path, 0), kSetup,
         {}, {kLaunchBox}},
        {"the record cannot be created", fails(fake::Op::create_key, 1, current), kSetup, {kProbe, kHandOff},
         {kRecordBox}, reopened(true)},
        {"OriginalSource cannot be written", fails(fake::Op::set_string_value, 1, current), kSetup, {kProbe, kHandOff},
         {kRecordBox}, reopened(false)},
        // The first read is the start directory, the second the one recorded.
        {"the directory to record cannot be read", fails(fake::Op::current_dir, 2, current), kSetup, {kProbe, kHandOff},
         {kRecordBox}, reopened(false)},
        {"OriginalSource of 128 Cyrillic letters, 259 bytes", exists(kCyrillic128), kCyrillic128 + "\\setup.exe",
         {kPlain}, {}, recorded(kCyrillic128)},
        {"... 256 of them, 512 bytes", exists(kCyrillic256), kCyrillic256 + "\\setup.exe", {kPlain}, {},
         recorded(kCyrillic256)},
        {"... 256 Chinese letters, 771 bytes", exists(kChinese256), kChinese256 + "\\setup.exe", {kPlain}, {},
         recorded(kChinese256)},
        {"... 257 of them, 260 characters, are not written", exists(kChinese257), kChinese257 + "\\setup.exe", {kPlain},
         {kRecordBox}, recorded(std::nullopt)},
        {"... nor 129 letters of two UTF-16 characters each", exists(kEmoji129), kEmoji129 + "\\setup.exe", {kPlain},
         {kRecordBox}, recorded(std::nullopt)},
        {"options are forwarded behind -a", nullptr, "D:\\Kit\\SETUP.EXE -Batch C:\\Inst\\b.txt -f -NoJW",
         {"_instkvi.com -s -a  -batch  c:\\inst\\b.txt  -force -nojw"}},
        {"a tail without options ends in -a", nullptr, kSetup + " ", {"_instkvi.com -s -a "}},
        {"a long command is started whole", nullptr, kSetup + " -qatest " + tail,
         {"_instkvi.com -s -a  -qatest " + tail}},
        {"-force skips the check of a current copy", current, kSetup + " -force", {"_instkvi.com -s -a  -force"}, {},
         all({not_checked, recorded("d:\\kit")})},  // recorded also when the check is skipped
        {"-target names the location with two blanks", older, kSetup + " -target c:\\inst",
         {"_instkvi.com -s -f  c:\\inst -a "}, {},
         all({[] { EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex\\Install")) << "made anyway"; }, not_checked})},
        {"an older copy is reinstalled where it is", [] { fake::plant_copy("1.7-999", "C:\\Old Kit"); }, kSetup,
         {kAt + "C:\\Old Kit"}},
        {"a current copy that answers gets the hand-off", current, kSetup + " -batch c:\\b.txt",
         {kProbe, kHandOff + "  -batch c:\\b.txt"}, {}, no_directory},
        {"-noexecute stops after the probe", [] { fake::plant_copy("2.0-000", "C:\\Kit", kProbeAnswer); },
         kSetup + " -noexecute", {kProbe}, {}, no_directory},
        {"a copy that does not answer is reinstalled", [] { fake::plant_copy("1.8-002", "C:\\Kit", 0); }, kSetup,
         {kProbe, kAt + "C:\\Kit"}},
        {"a current copy without a path is not probed", [] { fake::plant_copy("1.8-002", "", kProbeAnswer); }, kSetup,
         {kPlain}},
        {"a hand-off that cannot start falls back to the bootstrap",
         [] { fake::plant_copy("1.8-002", "C:\\Kit", kProbeAnswer, true); }, kSetup, {kProbe, kAt + "C:\\Kit"}},
        {"an unwritable drive makes an empty location", all({unwritable, older}), kSetup, {kAt}},
        {"... also when the usual location stands: the older copy no longer counts",
         all({fails(fake::Op::create_directory, 1), exists("C:\\HalvikTorvanex\\Install"), older}), kSetup, {kAt}},
        {"... also for a fresh machine", unwritable, kSetup + " -nojw", {"_instkvi.com -s -f  -a  -nojw"}},
        {"an unreachable program directory records the start directory", nullptr, "Z:\\Gone\\setup.exe", {kPlain}, {},
         recorded("C:\\Start")},
        {"a batch installation looks at the usual location once more", nullptr, kSetup + " -batch c:\\b.txt",
         {"_instkvi.com -s -a  -batch  c:\\b.txt"}, {},
         [] {
             auto& r = machine().dir_requests;
             auto install = [](auto& request) { return request.first == "C:\\HalvikTorvanex\\Install"; };
             EXPECT_EQ(std::count_if(r.begin(), r.end(), install), 2);
             for (const auto& [path, acl] : r) EXPECT_EQ(acl, plat::Acl::installed_folder) << path;
             started_with({""})();  // in batch mode too
         }},
}), ByName());

// Where the bootstrap is told to install, from what the flow knows by then,
// and the options behind it whenever there is a tail.
TEST(BootstrapArguments, FirstCaseThatAppliesNamesTheLocation) {
    const std::string kF = "-s -f ";
    using kvi::setup::Outcome;
    using Usual = kvi::setup::UsualLocation;
    struct Row {
        Outcome outcome;
        std::string inst_path;
        bool target;
        std::optional<std::string> target_path;
        Usual usual;
        std::string start;
        bool copy_trusted = false;  // the older copy's folder passes the folder rule
        std::optional<std::string> forwarded = std::nullopt;
    };
    for (const Row& row : {
             Row{Outcome::none, "", false, std::nullopt, Usual::usable, "-s"},
             Row{Outcome::older, "C:\\Old Kit", false, std::nullopt, Usual::usable, kF + "C:\\Old Kit"},
             Row{Outcome::older, "", false, std::nullopt, Usual::usable, "-s"},
             Row{Outcome::none, "", true, " c:\\t", Usual::usable, kF + " c:\\t"},
             Row{Outcome::none, "", true, std::nullopt, Usual::usable, kF},
             Row{Outcome::none, "", false, std::nullopt, Usual::not_usable, kF},
             Row{Outcome::older, "C:\\Old", false, std::nullopt, Usual::not_usable, kF},
             Row{Outcome::none, "", true, " c:\\t", Usual::not_usable, kF + " c:\\t"},
             // Only a usual location refused for who controls it gives way to a copy's folder that passes.
             Row{Outcome::older, "C:\\Old", false, std::nullopt, Usual::not_usable, kF, true},
             Row{Outcome::older, "C:\\Old", false, std::nullopt, Usual::untrusted, kF + "C:\\Old", true},
             Row{Outcome::older, "C:\\Old", false, std::nullopt, Usual::untrusted, kF},
             // The base folder failed: no older copy counts, whatever is recorded.
             Row{Outcome::older, "C:\\Old", false, std::nullopt, Usual::base_failed, kF},
             Row{Outcome::older, "", false, std::nullopt, Usual::base_failed, kF},
             Row{Outcome::none, "", true, " c:\\t", Usual::base_failed, kF + " c:\\t"},
             // The options, also none, behind " -a ".
             Row{Outcome::none, "", false, std::nullopt, Usual::usable, "-s -a ", false, ""},
             Row{Outcome::none, "", true, std::nullopt, Usual::usable, kF + " -a  -nosplash", false, " -nosplash"},
         }) {
        kvi::setup::Options options;
        options.target = row.target;
        if (row.target_path) options.target_path = kvi::Text::from(*row.target_path);
        if (row.forwarded) options.forwarded = kvi::Text::from(*row.forwarded);
        kvi::Text start =
            kvi::setup::bootstrap_arguments(row.outcome, row.inst_path, options, row.usual, row.copy_trusted);
        EXPECT_EQ(opt(start), row.start) << row.inst_path << " " << static_cast<int>(row.usual);
    }
}

struct UsualRow {
    const char* name;
    std::optional<fake::FolderSecurity> security;  // none: as setup makes them
    std::string command;
    bool elevated = true;
    bool there = true;  // the folders stand before the run; else setup makes them, and they read back as `security`
};
class SetupFlowUsualLocation : public SetupFlow, public ::testing::WithParamInterface<UsualRow> {};
TEST_P(SetupFlowUsualLocation, UsualLocationFromBeforeIsUsedOnlyWhenAdministratorsControlIt) {
    const UsualRow& row = GetParam();
    machine().elevated = row.elevated;
    if (row.security) fake::usual_location(*row.security, row.there);
    older();
    machine().security["C:\\Old"] = kForeign;  // else the copy's folder stands in for the usual location
    run(kSetup);
    EXPECT_EQ(commands(), std::vector<std::string>{row.command == kPlain ? kAt + "C:\\Old" : row.command});
    EXPECT_TRUE(called("open_held C:\\HalvikTorvanex")) << "read also when made now";
    EXPECT_EQ(shown(), row.elevated ? std::vector<std::string>{} : std::vector{kRecordBox}) << "the record's only";
}

const fake::FolderSecurity kOwn{kUser, true, {kSystem, kAdmins, {kUser, true, 0x1F01FF}}},
    kNoList{"S-1-5-32-544", false, {}};
INSTANTIATE_TEST_SUITE_P(Table, SetupFlowUsualLocation, ::testing::ValuesIn(std::vector<UsualRow>{
        {"created now", std::nullopt, kPlain},
        // A drive that keeps no access lists (FAT32, exFAT) drops the protected one.
        {"created now, read back without a list", kNoList, kAt, true, false},
        {"Users own it", fake::FolderSecurity{"S-1-5-32-545", true, fake::FolderSecurity::protected_list()}, kAt},
        {"Users may add a subfolder", admins({kSystem, kAdmins, {"S-1-5-32-545", true, 0x0004}}), kAt},
        // A standard user's own folder, however tight its list: that user may open it at will.
        {"this user's, protected list, not elevated", kOwn, kAt, false},
        {"Administrators, protected list", fake::FolderSecurity{}, kPlain},
        {"Administrators, list from the drive", admins(kFromDrive), kAt},
        {"a standard user's", fake::FolderSecurity{kOther, true, {kSystem, kAdmins, {kOther, true, 0x1F01FF}}}, kAt},
        {"this user's, protected list, elevated", kOwn, kPlain},
        {"a junction", fake::FolderSecurity{"S-1-5-32-544", true, fake::FolderSecurity::protected_list(), true}, kAt},
        {"no access list", kNoList, kAt},
        {"Everyone may write", admins({kSystem, kAdmins, {"S-1-1-0", true, 0x120116}}), kAt},
        {"Everyone denied writing", admins({kAdmins, {"S-1-1-0", false, 0x120116}}), kPlain},
        {"Users read and execute only", admins({kUsersRead}), kPlain},
        // Each right that changes where a path leads, alone.
        {"Users may change the list", users_may(0x40000), kAt},
        {"Users may take ownership", users_may(0x80000), kAt},
        {"Users may change the attributes", users_may(0x0100), kAt},
        {"Users may delete it", users_may(0x10000), kAt},
        // An entry only its children inherit gives nothing on the folder itself.
        {"Authenticated Users may modify only what is made in it",
         admins({kSystem, kAdmins, kUsersRead, {"S-1-5-11", true, 0x1301BF, true}}), kPlain},
}), ByName());

}  // namespace

// Each road with the trace on appends its decisions. Off, or with a link or a
// directory at the trace's name, no file is written and the road's platform
// calls are the same, with the one read of KVI_TRACE (and the refused open).
TEST_F(SetupFlow, TraceOfEachRoad) {
    const std::string start = "start 1.8-002 <D:\\Kit\\setup.exe> in C:\\Start | start dir set C:\\Start | program dir "
                              "d:\\kit\\ entered | record opened | wrote OriginalSource, 7 bytes <d:\\kit> | ";
    const std::string bootstrap = "> program D:\\Kit\\_instkvi.com flags 0x00000000 | exit 0x00000000";
    struct Road {
        Step prepare;
        std::string trace;
    } roads[] = {
        {[] {}, start + "read Version, 0 bytes <> | read InstPath, 0 bytes <> | installed copy none | usual location "
                        "prepared: C:\\HalvikTorvanex\\Install created | started <_instkvi.com -s" + bootstrap},
        {current,
         start + "read Version, 8 bytes <1.8-002> | read InstPath, 7 bytes <C:\\Kit> | installed copy current | "
                 "started <C:\\Kit\\Install.exe -verctrl> program (its first word) flags 0x08000000 | probe exit "
                 "0xFFFFFBAA | started <C:\\Kit\\Install.exe -silentLaunch -register> program (its first word) flags "
                 "0x08000000 | exit 0x00000000"},
        {all({[] { machine().files.insert("C:\\HalvikTorvanex\\Install"); }, older}),
         start + "read Version, 8 bytes <1.7-000> | read InstPath, 7 bytes <C:\\Old> | installed copy older | "
                 "usual location not prepared: C:\\HalvikTorvanex\\Install cannot be entered | started "
                 "<_instkvi.com -s -f " + bootstrap},
    };
    for (const Road& road : roads) {
        std::vector<std::string> untraced;
        for (std::string trace : {"on", "off", "link", "directory"}) {
            fake::reset();
            road.prepare();
            if (trace != "off") machine().env["KVI_TRACE"] = kTraceFile;
            if (trace == "link") machine().links.insert(kTraceFile);
            if (trace == "directory") machine().dirs.insert(kTraceFile);
            run(kSetup);
            if (trace == "on") {
                EXPECT_EQ(trace_lines("setup"), calls(road.trace));
                EXPECT_EQ(machine().file_data[kTraceFile].substr(0, 36), "2026-12-09T04:05:06.007Z setup 4242 ");
                continue;
            }
            EXPECT_FALSE(machine().file_data.count(kTraceFile)) << trace;
            std::vector<std::string> got = machine().calls;
            EXPECT_EQ(std::count(got.begin(), got.end(), "get_env KVI_TRACE"), 1) << trace;
            if (trace != "off") got = without_trace(got);
            EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& c) {
                          return c.rfind("open_for_append", 0) == 0 || c.rfind("write_file", 0) == 0;
                      }), 0) << trace;
            if (trace == "off") {
                untraced = got;
            } else {
                EXPECT_EQ(got, untraced) << trace;
            }
        }
    }
}
