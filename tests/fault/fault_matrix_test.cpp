// The fault matrix. For every scenario the program first runs undisturbed,
// which logs each platform call it makes. Then one case per call runs it
// again with exactly that call failing, and checks:
//   - the outcome: the undisturbed one, unless the table below names the
//     documented reaction to that failure (a box or silence, the exit status,
//     what is started, what is written, the shortcut, the relayed bytes);
//   - that the failure was reached, that nothing leaked (handles, keys, shell
//     links, COM), and that every box shown is one the program owns.
// A failure the table does not list must leave the outcome as it was. A row
// names the failing call as the fake logs it, so the order of the calls is
// no business of the table's.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "fault_matrix.h"

using fake::Op;

namespace fault {
namespace {

// How a failure changes a scenario's outcome; what is not set stays as in the
// undisturbed run.
struct Change {
    std::optional<int> status;
    std::optional<std::vector<std::string>> launches;
    std::optional<std::vector<std::string>> boxes;
    std::optional<std::set<std::string>> written;
    std::optional<bool> link;
    std::optional<std::size_t> relayed;

    Change& exits(int s) { return status = s, *this; }
    Change& starts(std::vector<std::string> l) { return launches = std::move(l), *this; }
    Change& starts_nothing() { return starts({}); }
    Change& box(std::string caption) { return shows({std::move(caption)}); }
    Change& shows(std::vector<std::string> captions) { return boxes = std::move(captions), *this; }
    Change& writes(std::set<std::string> names) { return written = std::move(names), *this; }
    Change& writes_nothing() { return writes({}); }
    Change& no_link() { return link = false, *this; }
    Change& relays(std::size_t bytes) { return relayed = bytes, *this; }

    Reaction applied_to(Reaction r) const {
        if (status) r.status = *status;
        if (launches) r.launches = *launches;
        if (boxes) r.boxes = *boxes;
        if (written) r.written = *written;
        if (link) r.link = *link;
        if (relayed) r.relayed = *relayed;
        return r;
    }
};

using expected::kRecord;
const std::set<std::string> kRecordValues = {"InstPath", "UninstCmd", "Version"};
const std::set<std::string> kEntryValues = {"DisplayName", "UninstallString"};
constexpr std::size_t kChunk = 4096;

Change c() { return Change(); }

void records_start_directory() {
    EXPECT_EQ(fake::value(kRecord, "OriginalSource"), std::string("C:\\Start", 9))
        << "the program directory could not be entered: the start directory is recorded";
}
void application_reads_own_input() {
    ASSERT_EQ(fake::state().launches.size(), 1u);
    const fake::Launch& app = fake::state().launches[0];
    EXPECT_TRUE(app.inherit_handles);
    EXPECT_EQ(app.std_input, plat::std_input()) << "without the pipe the application reads Install's own input";
}
void batch_console_instead_of_relay() {
    ASSERT_EQ(fake::state().launches.size(), 1u);
    EXPECT_TRUE(fake::state().launches[0].new_console);
    EXPECT_FALSE(fake::state().launches[0].inherit_handles);
}

// A further documented effect, checked on the machine after the run.
using Check = void (*)();

struct Row {
    std::vector<std::string> scenarios;
    std::string call;  // as the fake logs it; a final '*' matches any rest
    int nth;           // which of the calls that match, from 1
    Change change;
    Check also = nullptr;
};

bool matches(const std::string& pattern, const std::string& call) {
    if (!pattern.empty() && pattern.back() == '*') return call.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0;
    return call == pattern;
}

const std::vector<std::string> kRecorded = {"setup_no_copy", "setup_current_copy", "setup_older_copy", "setup_batch",
                                            "setup_second_run", "setup_force", "setup_target"};
const std::vector<std::string> kBootstrapped = {"setup_no_copy", "setup_older_copy", "setup_batch",
                                                "setup_second_run", "setup_force", "setup_target"};
const std::vector<std::string> kLaunchModes = {"install_windowed", "install_nojw", "install_batch_console",
                                               "install_batch_relay"};

// The usual location cannot be prepared: the bootstrap names the location,
// an empty one. Each folder is read back, also one made now, and one that
// cannot be read is not trusted.
std::vector<Row> usual_location(std::vector<std::string> scenarios, const std::string& command) {
    Change named = c().starts({command});
    return {{scenarios, "create_directory C:\\HalvikTorvanex", 1, named},
            {scenarios, "create_directory C:\\HalvikTorvanex\\Install", 1, named},
            {scenarios, "set_current_dir C:\\HalvikTorvanex\\Install", 1, named},
            {scenarios, "current_dir d:\\kit", 2, named},  // the directory kept while the location is entered
            {scenarios, "read_folder C:\\HalvikTorvanex", 1, named},
            {scenarios, "read_folder C:\\HalvikTorvanex\\Install", 1, named}};
}

// Self-registration: the record's failures are silent; without the uninstall
// entry the run ends. Under setup's hand-off (silent) the directory,
// registration and launch boxes are not shown; the shortcut's box is.
std::vector<Row> registration(const std::string& scenario, bool silent, bool launches) {
    auto loud = [silent](Change change, const char* caption) { return silent ? change : change.box(caption); };
    Change unregistered = c().starts_nothing().writes_nothing().no_link();
    Change no_entry = c().starts_nothing().writes(kRecordValues).no_link();
    Change no_link = c().box("Start Menu Creation Error").no_link();
    std::vector<Row> rows = {
        {{scenario}, "set_current_dir c:\\kit\\", 1, loud(unregistered, "Set Directory Error")},
        {{scenario}, "current_dir c:\\kit", 1, loud(unregistered, "Registration Error")},  // nothing to register
        {{scenario}, "create_key Software\\HalvikTorvanex\\HalvikTorvanexJI", 1, c().writes(kEntryValues)},
        {{scenario}, "set_string_value UninstCmd*", 1, c().writes({"DisplayName", "InstPath", "UninstallString", "Version"})},
        {{scenario}, "set_string_value InstPath*", 1, c().writes({"DisplayName", "UninstCmd", "UninstallString", "Version"})},
        {{scenario}, "set_string_value Version*", 1, c().writes({"DisplayName", "InstPath", "UninstCmd", "UninstallString"})},
        {{scenario}, "open_key_for_subkeys*", 1, c().writes(kRecordValues)},  // no entry, still the shortcut
        {{scenario}, "create_key HalvikTorvanexJI", 1, loud(no_entry, "Registration Error")},
        {{scenario}, "set_string_value DisplayName*", 1, no_entry},
        {{scenario}, "set_string_value UninstallString*", 1,
         c().starts_nothing().writes({"DisplayName", "InstPath", "UninstCmd", "Version"}).no_link()},
        {{scenario}, "current_dir c:\\kit", 2, no_link},  // the shortcut's
        {{scenario}, "programs_folder", 1, c().no_link()},
        {{scenario}, "create_shell_link", 1, no_link},
        {{scenario}, "link_persist", 1, no_link},
        {{scenario}, "create_directory C:\\Users\\Ann\\Start Menu\\Programs\\Halvik Torvanex", 1, no_link},  // the save decides
        {{scenario}, "save_link*", 1, no_link},
    };
    if (launches) {
        Change not_started = loud(c().exits(-1).starts_nothing(), "Application Launch Error");
        rows.push_back({{scenario}, "start_process JRE*", 1, not_started});
        rows.push_back({{scenario}, "current_dir c:\\kit", 3, not_started});  // the runtime's
    }
    return rows;
}

// One reaction to each of several calls: (call, nth) pairs.
std::vector<Row> each(const std::vector<std::string>& scenarios, const std::vector<std::pair<std::string, int>>& calls,
                      const Change& change) {
    std::vector<Row> rows;
    for (const auto& [call, nth] : calls) rows.push_back({scenarios, call, nth, change});
    return rows;
}

// The documented reactions.
std::vector<Row> reactions() {
    Change not_started = c().starts_nothing().box("Application Launch Error");
    const std::string kHandOff = "start_process C:\\Kit\\Install.exe -silentLaunch*";
    const std::string kProbe = "start_process C:\\Kit\\Install.exe -verctrl";
    const std::string kRecordKey = "create_key Software\\HalvikTorvanex\\HalvikTorvanexJI";
    auto probed_then = [](const std::string& bootstrap) { return c().starts({"C:\\Kit\\Install.exe -verctrl", bootstrap}); };
    const std::string kReinstall = "_instkvi.com -s -f C:\\Kit -a  -nosplash", kUnnamed = "_instkvi.com -s -f  -a  -nosplash";
    std::vector<Row> rows = {
        {kRecorded, "set_current_dir d:\\kit\\", 1, c(), records_start_directory},
        {kBootstrapped, "own_program_path", 1, not_started},
        {kBootstrapped, "start_process _instkvi.com*", 1, not_started},
        {{"setup_elevated_bootstrap"}, "set_current_dir d:\\kit\\", 1,
         c().starts({"runas D:\\Kit\\_instkvi.com -s -f  in C:\\Start"})},

        // Install, each launch mode: the program directory cannot be entered
        // (status 0, nothing started), or the application cannot be started
        // (-1): also when the directory that names the runtime cannot be read.
        {kLaunchModes, "set_current_dir c:\\kit\\", 1, c().box("Set Directory Error").starts_nothing().relays(0)},

        // The relay of an answer file (10000 bytes: reads of 4096, 4096, 1808).
        {{"install_batch_relay"}, "std_input_redirected", 1, c().relays(0), batch_console_instead_of_relay},
        {{"install_batch_relay"}, "std_input", 1, c().box("INVALID_HANDLE_VALUE Error").relays(0)},
        {{"install_batch_relay"}, "create_pipe", 1, c().box("CreatePipe Error").relays(0), application_reads_own_input},
        {{"install_batch_relay"}, "set_std_input pipe read", 1, c().box("SetStdHandle Error").relays(0),
         application_reads_own_input},
        {{"install_batch_relay"}, "duplicate_uninheritable", 1, c().box("DuplicateHandle Error").relays(0),
         application_reads_own_input},
        {{"install_batch_relay"}, "set_std_input own input", 1, c().box("SetStdHandle Error")},  // the relay goes on
        {{"install_batch_relay"}, "close_handle pipe write copy", 1, c().box("CloseHandle Error")},
        {{"install_batch_relay"}, "exit_code", 1, c().box("Application Error")},  // terminated; status 0
    };
    auto add = [&rows](std::vector<Row> more) { rows.insert(rows.end(), more.begin(), more.end()); };
    // setup: the record cannot be opened or written: one "Registration Error"
    // box, and with no record to read the flow goes on as on a machine
    // without a copy.
    add(each(kRecorded, {{"current_dir d:\\kit", 1}, {kRecordKey, 1}, {"set_string_value OriginalSource*", 1}},
             c().box("Registration Error").writes_nothing()));
    // A current copy: without its Version it is none, and without InstPath not
    // probed; a failed probe or hand-off, an unreadable Version (compared as
    // empty) or an InstPath or Install.exe that cannot be read make it older:
    // the bootstrap reinstalls into its InstPath.
    add(each({"setup_current_copy"}, {{"query_value_size Version", 1}, {"query_value_size InstPath", 1},
                                      {"read_string_value InstPath*", 1}},
             c().starts({"_instkvi.com -s -a  -nosplash"})));
    add(each({"setup_current_copy"}, {{"read_string_value Version*", 1}, {kProbe, 1}, {"read_folder C:\\Kit", 1},
                                      {"read_folder C:\\Kit\\Install.exe", 1}},
             c().starts({kReinstall})));
    add(each({"setup_current_copy"}, {{kHandOff, 1}, {"exit_code", 1}}, probed_then(kReinstall)));
    // An older copy in C:\Old: without its Version it is none; with an empty
    // InstPath the bootstrap names no location.
    add(each({"setup_older_copy"}, {{"query_value_size Version", 1}, {"query_value_size InstPath", 1},
                                    {"read_string_value InstPath*", 1}},
             c().starts({"_instkvi.com -s"})));
    // The usual location left by an earlier run, owned by this user: the user
    // is asked for each folder, and what cannot be read is not trusted.
    add(each({"setup_second_run"}, {{"process_user", 1}, {"process_user", 2}}, c().starts({"_instkvi.com -s -f "})));
    // A standard user: the record opens for reading only, which still finds
    // the current copy. Without the hand-off the bootstrap names no location:
    // a standard user cannot give the usual location its owner.
    add(each({"setup_standard_user"},
             {{"open_key_for_reading*", 1}, {"query_value_size Version", 1}, {"query_value_size InstPath", 1},
              {"read_string_value Version*", 1}, {"read_string_value InstPath*", 1}, {kProbe, 1},
              {"read_folder C:\\Kit*", 1}, {"read_folder C:\\Kit*", 2}},
             c().starts({kUnnamed})));
    add(each({"setup_standard_user"}, {{kHandOff, 1}, {"exit_code", 1}}, probed_then(kUnnamed)));
    // A standard user's bootstrap that needs elevation: the start fails with
    // 740, and the shell's prompt starts it in setup's directory (in the start
    // directory when setup's cannot be entered). Any other failure of either
    // start, and a directory that cannot be read, show the box.
    add(each({"setup_elevated_bootstrap"}, {{"start_process _instkvi.com*", 1}, {"start_elevated*", 1},
                                            {"own_program_path", 1}, {"current_dir d:\\kit", 2}},
             c().starts_nothing().shows({"Registration Error", "Application Launch Error"})));
    add(each(kLaunchModes, {{"current_dir c:\\kit", 1}, {"start_process JRE*", 1}},
             c().exits(-1).starts_nothing().box("Application Launch Error").relays(0)));
    add(each({"install_batch_relay"}, {{"read_file 4096", 1}, {"write_file pipe write copy 4096", 1}}, c().relays(0)));
    add(each({"install_batch_relay"}, {{"read_file 4096", 2}, {"write_file pipe write copy 4096", 2}}, c().relays(kChunk)));
    add(each({"install_batch_relay"}, {{"read_file 4096", 3}, {"write_file pipe write copy 1808", 1}},
             c().relays(2 * kChunk)));
    add(usual_location({"setup_no_copy", "setup_older_copy", "setup_second_run"}, "_instkvi.com -s -f "));
    add(usual_location({"setup_batch"}, "_instkvi.com -s -f  -a  -batch  c:\\answers.txt"));
    add(usual_location({"setup_force"}, "_instkvi.com -s -f  -a  -force"));
    add(registration("install_register", false, true));
    add(registration("install_register_noexecute", false, false));
    add(registration("install_handed_off", true, true));
    return rows;
}

const std::vector<Row> kReactions = reactions();

// What holds for the probe's answer whatever fails.
void probe_answer_touches_nothing() {
    EXPECT_EQ(fake::state().cwd, "C:\\Start") << "the probe answer changes no directory";
    EXPECT_EQ(fake::call_count(Op::set_current_dir), 0);
    EXPECT_EQ(fake::call_count(Op::create_key), 0);
}

const char* op_name(Op op) { return fake::kOpNames[static_cast<int>(op)]; }

// Each scenario's calls when nothing fails, as the fake logged them.
std::map<std::string, std::vector<std::string>>& logs() {
    static std::map<std::string, std::vector<std::string>> logs;
    return logs;
}

// Where the nth call of op stands in the scenario's log.
std::size_t position(const std::vector<std::string>& log, Op op, int nth) {
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i].substr(0, log[i].find(' ')) == op_name(op) && --nth == 0) return i;
    return log.size();
}

const Row* reaction_for(const Scenario& s, Op op, int nth) {
    const std::vector<std::string>& log = logs()[s.name];
    std::size_t at = position(log, op, nth);
    if (at == log.size()) return nullptr;
    for (const Row& row : kReactions) {
        if (std::find(row.scenarios.begin(), row.scenarios.end(), s.name) == row.scenarios.end() ||
            !matches(row.call, log[at]))
            continue;
        auto same = std::count_if(log.begin(), log.begin() + at + 1, [&](const std::string& c) { return matches(row.call, c); });
        if (same == row.nth) return &row;
    }
    return nullptr;
}

std::ptrdiff_t lines_of(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// How many lines each traced scenario writes when nothing fails.
std::map<std::string, std::ptrdiff_t>& traced_lines() {
    static std::map<std::string, std::ptrdiff_t> lines;
    return lines;
}

// The scenario's run with one call failing, or with none (nth 0).
class OneFailure : public ::testing::Test {
public:
    OneFailure(const Scenario& s, Op op, int nth) : s_(s), op_(op), nth_(nth) {}
    void TestBody() override {
        const Row* row = nth_ ? reaction_for(s_, op_, nth_) : nullptr;
        fake::reset();
        prepare(s_);
        if (nth_) fake::fail(op_, nth_);
        Reaction got = run_prepared(s_);

        EXPECT_GE(fake::call_count(op_), nth_) << "the failure was not reached";
        Reaction want = row ? row->change.applied_to(s_.expected) : s_.expected;
        EXPECT_EQ(got, want) << (row ? "the documented reaction" : "a failure the table does not list changes nothing");
        if (s_.program == Program::setup) {
            EXPECT_EQ(got.status, 0) << "setup ends with 0 on every path";
        }
        EXPECT_EQ(fake::leaks(), std::vector<std::string>{});
        for (const std::string& caption : got.boxes)
            EXPECT_TRUE((s_.program == Program::setup ? expected::kSetupCaptions : expected::kInstallCaptions).count(caption)) << "a box the program does not own: " << caption;
        if (row && row->also) row->also();
        if (s_.name == std::string("install_verctrl")) probe_answer_touches_nothing();
        if (s_.traced) check_trace();
    }

private:
    // The undisturbed run leaves its lines; a failed write loses one; without
    // the variable or the file there is no trace; an unreadable directory is
    // said so.
    void check_trace() {
        const std::string& text = fake::state().file_data[expected::kTraceFile];
        if (nth_ == 0) {
            EXPECT_GE(text.size(), 200u) << "the traced run left its lines";
        } else if (op_ == Op::current_dir) {
            EXPECT_NE(text.find(" in unreadable\r\n"), std::string::npos) << text;
        } else {
            EXPECT_EQ(lines_of(text), op_ == Op::write_file ? traced_lines()[s_.name] - 1 : 0);
        }
    }

    const Scenario& s_;
    Op op_;
    int nth_;
};

// The trace's own calls in a traced scenario: the read of the variable and of
// the directory come first; every open and every write is the trace's.
bool trace_call(Op op, int nth) {
    return op == Op::open_for_append || op == Op::write_file || ((op == Op::get_env || op == Op::current_dir) && nth == 1);
}

// A row that names a call the scenario never makes is stale: the program's
// calls have changed and the table must follow.
TEST(FaultMatrix, EveryRowNamesACallTheScenarioMakes) {
    for (const Row& row : kReactions)
        for (const std::string& scenario : row.scenarios) {
            const std::vector<std::string>& log = logs()[scenario];
            auto calls = std::count_if(log.begin(), log.end(), [&](const std::string& c) { return matches(row.call, c); });
            EXPECT_LE(row.nth, calls) << scenario << " " << row.call << " " << row.nth;
            EXPECT_GE(row.nth, 1);
        }
}

// Runs each scenario once undisturbed to log its calls, then registers one
// test per operation and call index: <scenario>.<operation>_<index>.
void register_matrix() {
    for (const Scenario& s : scenarios()) {
        fake::reset();
        prepare(s);
        (void)run_prepared(s);
        traced_lines()[s.name] = lines_of(fake::state().file_data[expected::kTraceFile]);
        logs()[s.name] = fake::state().calls;
        std::vector<int> counted;
        for (int op = 0; op < fake::kOpCount; ++op) counted.push_back(fake::call_count(Op(op)));
        ::testing::RegisterTest(s.name, "undisturbed", nullptr, nullptr, __FILE__, __LINE__,
                                [&s]() -> ::testing::Test* { return new OneFailure(s, Op::get_env, 0); });
        for (int op = 0; op < fake::kOpCount; ++op)
            for (int nth = 1; nth <= counted[op]; ++nth) {
                if (s.traced && !trace_call(Op(op), nth)) continue;  // the untraced twin covers the rest
                std::string name = std::string(op_name(Op(op))) + "_" + std::to_string(nth);
                ::testing::RegisterTest(s.name, name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                        [&s, op, nth]() -> ::testing::Test* { return new OneFailure(s, Op(op), nth); });
            }
    }
}

}  // namespace
}  // namespace fault

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    fault::register_matrix();
    return RUN_ALL_TESTS();
}
