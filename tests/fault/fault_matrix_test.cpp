// The fault matrix: each program's whole run on the fake machine. For every
// scenario the program first runs undisturbed, which logs each platform call
// it makes. Then one case per call runs it again with exactly that call
// failing, and checks:
//   - the outcome: the undisturbed one, unless the table below names the
//     documented reaction to that failure (a box or silence, the exit status,
//     what is started, what is written, the shortcut, the relayed bytes);
//   - that the failure was reached, that nothing leaked (handles, keys) nor
//     was closed twice, and that every box shown is one the program owns.
// A failure the table does not list must leave the outcome as it was. A row
// names the failing call as the fake logs it, so the order of the calls is
// no business of the table's.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "expected_texts.h"
#include "fake_platform.h"
#include "install_flow.h"
#include "setup_flow.h"

namespace {

using expected::kJava;
using expected::kJavaw;
using expected::kRecord;
using fake::Op;

// What a run left behind that a user, a script or the next program can see.
struct Reaction {
    int status = 0;
    std::vector<std::string> launches;  // command lines of the processes started, in order
    std::vector<std::string> boxes;     // captions of the boxes shown, in order
    std::set<std::string> written;      // registry values created or changed
    bool link = false;                  // the Start-menu shortcut was saved
    std::size_t relayed = 0;            // bytes the application read through the relay pipe

    auto tied() const { return std::tie(status, launches, boxes, written, link, relayed); }
    bool operator==(const Reaction& o) const { return tied() == o.tied(); }
};

std::ostream& operator<<(std::ostream& out, const Reaction& r) {
    return out << "(status, launches, boxes, written, link, relayed) " << ::testing::PrintToString(r.tied());
}

// A path through one program: the machine it meets and its command line.
struct Scenario {
    std::string name;  // an identifier: it names the test suite
    bool setup;        // else Install, whose own name is the command line's first word
    std::string command_line;
    std::function<void(fake::State&)> prepare;  // the machine beyond a fresh one
    Reaction expected;                          // what the run does when nothing fails
    bool traced = false;                        // KVI_TRACE names kTraceFile
};

// The values self-registration writes: the record's, the uninstall entry's.
const std::set<std::string> kRecordValues = {"InstPath", "UninstCmd", "Version"};
const std::set<std::string> kEntryValues = {"DisplayName", "UninstallString"};
const std::set<std::string> kRegistration = {"DisplayName", "InstPath", "UninstCmd", "UninstallString", "Version"};

std::set<std::string> all_but(const char* name) {
    std::set<std::string> all = kRegistration;
    all.erase(name);
    return all;
}

// Bytes of the answer file that the relay scenario redirects to standard
// input: more than two reads of 4096 bytes.
constexpr std::size_t kAnswerFileSize = 10000;
constexpr std::size_t kChunk = 4096;

// An installed copy whose Install.exe answers setup's probe, for an elevated
// user or a standard one.
std::function<void(fake::State&)> installed(std::string version, std::string path, bool elevated = true) {
    return [=](fake::State& m) {
        fake::plant_copy(version, path, expected::kProbeAnswer);
        m.elevated = elevated;
    };
}

// Install in C:\Kit, beside its Java runtime.
void kit(fake::State& m) { m.dirs.insert("C:\\Kit"); }

// ... with its standard input redirected from an answer file, and a Java
// application that runs for one look of the wait before it ends.
void kit_with_answer_file(fake::State& m) {
    kit(m);
    fake::answer_file(std::string(kAnswerFileSize, 'a'));
    fake::each_program_is({false, 0, false, 1});
}

std::vector<Scenario> make_scenarios() {
    const std::set<std::string> kSource = {"OriginalSource"};
    const std::string setup = "D:\\Kit\\setup.exe", exe = "C:\\Kit\\Install.exe";
    const std::vector<std::string> handed_off = {exe + " -verctrl", exe + " -silentLaunch -register  -nosplash"};
    std::vector<Scenario> s = {
        // setup: the medium in D:\Kit.
        {"setup_no_copy", true, setup, nullptr, {0, {"_instkvi.com -s"}, {}, kSource}},
        {"setup_current_copy", true, setup + " -nosplash", installed("1.8-002", "C:\\Kit"),
         {0, handed_off, {}, kSource}},
        {"setup_older_copy", true, setup, installed("1.7-999", "C:\\Old"),
         {0, {"_instkvi.com -s -f C:\\Old"}, {}, kSource}},
        // The usual location as an earlier run of this user left it.
        {"setup_second_run", true, setup, [](fake::State& m) { fake::usual_location({m.user}); },
         {0, {"_instkvi.com -s"}, {}, kSource}},
        {"setup_batch", true, setup + " -batch c:\\answers.txt", nullptr,
         {0, {"_instkvi.com -s -a  -batch  c:\\answers.txt"}, {}, kSource}},
        {"setup_force", true, setup + " -force", installed("1.8-002", "C:\\Kit"),
         {0, {"_instkvi.com -s -a  -force"}, {}, kSource}},
        {"setup_standard_user", true, setup + " -nosplash", installed("1.8-002", "C:\\Kit", false),
         {0, handed_off, {"Registration Error"}, {}}},
        // setup's own folder is this user's (a download folder): the bootstrap beside it is judged.
        {"setup_medium_of_this_user", true, setup,
         [](fake::State& m) { m.security["D:\\Kit"] = {m.user, true, {{m.user, true, 0x1F01FF}}}; },
         {0, {"_instkvi.com -s"}, {}, kSource}},
        {"setup_elevated_bootstrap", true, setup,
         [](fake::State& m) {
             m.elevated = false;
             fake::bootstrap_needs_elevation();
         },
         {0, {"runas D:\\Kit\\_instkvi.com -s -f  in d:\\kit"}, {"Registration Error"}, {}}},
        {"setup_target", true, setup + " -target c:\\inst", installed("1.7-999", "C:\\Old"),
         {0, {"_instkvi.com -s -f  c:\\inst -a "}, {}, kSource}},

        // Install in C:\Kit, in each launch mode and with registration.
        {"install_windowed", false, exe, kit, {0, {kJavaw}, {}, {}}},
        {"install_nojw", false, exe + " -nojw", kit, {0, {kJava + "  -nojw"}, {}, {}}},
        {"install_batch_console", false, exe + " -batch c:\\answers.txt", kit,
         {0, {kJava + "  -batch c:\\answers.txt"}, {}, {}}},
        {"install_batch_relay", false, exe + " -batch c:\\answers.txt", kit_with_answer_file,
         {0, {kJava + "  -batch c:\\answers.txt"}, {}, {}, false, kAnswerFileSize}},
        {"install_register", false, exe + " -register", kit, {0, {kJavaw + "  -register"}, {}, kRegistration, true}},
        {"install_register_noexecute", false, exe + " -register -noexecute", kit, {0, {}, {}, kRegistration, true}},
        {"install_handed_off", false, exe + " -silentLaunch -register  -nosplash", kit,
         {0, {kJavaw + "  -silentlaunch -register  -nosplash"}, {}, kRegistration, true}},
        {"install_verctrl", false, exe + " -verctrl", kit, {-1110, {}, {}, {}}},
    };
    // Three of them again with the trace on, which must change nothing.
    for (std::string twin : {"setup_no_copy", "setup_current_copy", "install_handed_off"}) {
        Scenario t = *std::find_if(s.begin(), s.end(), [&](const Scenario& x) { return x.name == twin; });
        t.name += "_traced";
        t.traced = true;
        s.push_back(t);
    }
    return s;
}

const std::vector<Scenario> kScenarios = make_scenarios();

using Registry = std::map<std::string, fake::RegKey, fake::NoCase>;

std::set<std::string> changed_values(const Registry& before, const Registry& after) {
    std::set<std::string> out;
    for (const auto& [key, values] : after)
        for (const auto& [name, value] : values) {
            auto k = before.find(key);
            bool same = k != before.end() && k->second.count(name) && k->second.at(name).bytes == value.bytes &&
                        k->second.at(name).type == value.type;
            if (!same) out.insert(name);
        }
    return out;
}

// Runs the scenario on a fresh machine with the nth call of op failing (none
// for nth 0) and returns what the run did.
Reaction run(const Scenario& s, Op op = Op::get_env, int nth = 0) {
    fake::reset();
    fake::State& m = fake::state();
    m.command_line = s.command_line;
    if (s.prepare) s.prepare(m);
    if (s.traced) m.env["KVI_TRACE"] = expected::kTraceFile;
    if (nth) fake::fail(op, nth);
    Registry before = m.registry;
    std::string_view own_name = std::string_view(s.command_line).substr(0, s.command_line.find(' '));
    int status = s.setup ? kvi::setup::run() : kvi::install::run(own_name);
    // A start through the elevation prompt: "runas", the program, its arguments and its directory.
    std::vector<std::string> launches;
    for (const auto& l : m.launches)
        launches.push_back(l.elevated ? "runas " + l.application + " " + l.command_line + " in " + l.cwd
                                      : l.command_line);
    return {status, launches, fake::captions(), changed_values(before, m.registry), !m.saved_links.empty(),
            m.piped.size()};
}

// How a failure changes a scenario's outcome; what is not set stays as in the
// undisturbed run.
struct Change {
    std::vector<std::function<void(Reaction&)>> edits;

    Change& edit(std::function<void(Reaction&)> e) { return edits.push_back(std::move(e)), *this; }
    Change& exits(int s) { return edit([=](Reaction& r) { r.status = s; }); }
    Change& starts(std::vector<std::string> l) { return edit([=](Reaction& r) { r.launches = l; }); }
    Change& starts_nothing() { return starts({}); }
    Change& box(std::string caption) { return shows({caption}); }
    Change& shows(std::vector<std::string> c) { return edit([=](Reaction& r) { r.boxes = c; }); }
    Change& writes(std::set<std::string> names) { return edit([=](Reaction& r) { r.written = names; }); }
    Change& writes_nothing() { return writes({}); }
    Change& no_link() { return edit([](Reaction& r) { r.link = false; }); }
    Change& relays(std::size_t bytes) { return edit([=](Reaction& r) { r.relayed = bytes; }); }

    Reaction applied_to(Reaction r) const {
        for (const auto& e : edits) e(r);
        return r;
    }
};

Change c() { return Change(); }

// A further documented effect, checked on the machine after the run.
using Check = void (*)();

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
void trace_file_left_empty() {
    EXPECT_EQ(fake::state().file_data.count(expected::kTraceFile), 1u) << "opened";
    EXPECT_EQ(fake::state().file_data[expected::kTraceFile], "") << "but not one line written";
}
void batch_console_instead_of_relay() {
    ASSERT_EQ(fake::state().launches.size(), 1u);
    EXPECT_TRUE(fake::state().launches[0].new_console);
    EXPECT_FALSE(fake::state().launches[0].inherit_handles);
}

// A failing call as the fake logs it (a final '*' matches any rest) and which
// of the calls that match it is, from 1.
struct Call {
    Call(const char* text, int nth = 1) : text(text), nth(nth) {}
    bool matches(const std::string& call) const {
        if (!text.empty() && text.back() == '*') return call.rfind(text.substr(0, text.size() - 1), 0) == 0;
        return call == text;
    }
    std::string text;
    int nth;
};

// Each of the calls, failing alone, has the same reaction in each scenario.
struct Row {
    std::vector<std::string> scenarios;
    std::vector<Call> calls;
    Change change;
    Check also = nullptr;
};

const std::vector<std::string> kRecorded = {"setup_no_copy",    "setup_current_copy", "setup_older_copy",
                                            "setup_batch",      "setup_second_run",   "setup_force",
                                            "setup_target",     "setup_medium_of_this_user"};
const std::vector<std::string> kBootstrapped = {"setup_no_copy", "setup_older_copy", "setup_batch",
                                                "setup_second_run", "setup_force", "setup_target",
                                                "setup_medium_of_this_user"};
const std::vector<std::string> kLaunchModes = {"install_windowed", "install_nojw", "install_batch_console",
                                               "install_batch_relay"};
const std::vector<std::string> kRelay = {"install_batch_relay"};
const std::vector<std::string> kCurrent = {"setup_current_copy"}, kStandard = {"setup_standard_user"};
const std::vector<std::string> kLoud = {"install_register", "install_register_noexecute"};
const std::vector<std::string> kSilent = {"install_handed_off"};
const std::vector<std::string> kRegistered = {"install_register", "install_register_noexecute", "install_handed_off"};
const std::vector<std::string> kTraced = {"setup_no_copy_traced", "setup_current_copy_traced",
                                          "install_handed_off_traced"};

// The usual location cannot be prepared: the bootstrap names the location,
// an empty one. Each folder from the drive root down is read back, also one
// made now, and one that cannot be read is not trusted, nor a drive whose
// kind cannot be told; that matters only where the bootstrap would install
// into it (`read_back`), not for an older copy updated in its own folder. The
// directory kept while the location is entered is read a second time.
Row usual_location(std::vector<std::string> scenarios, const std::string& command, bool read_back = true) {
    std::vector<Call> calls = {"create_directory C:\\HalvikTorvanex", "create_directory C:\\HalvikTorvanex\\Install",
                               "set_current_dir C:\\HalvikTorvanex\\Install", {"current_dir d:\\kit", 2}};
    if (read_back)
        calls.insert(calls.end(), {"fixed_drive C:\\", "open_held C:\\", "open_held C:\\HalvikTorvanex",
                                   "open_held C:\\HalvikTorvanex\\Install"});
    return {scenarios, calls, c().starts({command})};
}

// The installed copy in C:\Kit cannot be judged: each folder from the drive
// root down, its Install.exe, the runtime's and the class path's folders.
const std::vector<Call> kCopyJudged = {"fixed_drive C:\\",
                                       "open_held C:\\",
                                       "open_held C:\\Kit",
                                       "open_held C:\\Kit\\Install.exe file",
                                       "open_held C:\\Kit\\JRE",
                                       "open_held C:\\Kit\\JRE\\bin",
                                       "open_held C:\\Kit\\java",
                                       "open_held C:\\Kit\\data"};

// One row's calls and more.
std::vector<Call> also(std::vector<Call> calls, const std::vector<Call>& more) {
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

// The documented reactions.
std::vector<Row> reactions() {
    Change not_started = c().starts_nothing().box("Application Launch Error");
    const char* kHandOff = "start_process C:\\Kit\\Install.exe -silentLaunch*";
    const char* kProbe = "start_process C:\\Kit\\Install.exe -verctrl";
    auto probed_then = [](std::string bootstrap) { return c().starts({"C:\\Kit\\Install.exe -verctrl", bootstrap}); };
    const std::string kReinstall = "_instkvi.com -s -f C:\\Kit -a  -nosplash";
    const std::string kUnnamed = "_instkvi.com -s -f  -a  -nosplash";
    auto relay_lost = [](const char* call, const char* caption) -> Row {
        return {kRelay, {call}, c().box(caption).relays(0), application_reads_own_input};
    };
    // Self-registration: without a directory nothing is registered; the
    // record's failures are silent; without the uninstall entry the run ends.
    Change unregistered = c().starts_nothing().writes_nothing().no_link();
    Change no_entry = c().starts_nothing().writes(kRecordValues).no_link();
    Change not_run = c().exits(-1).starts_nothing();
    return {
        {kRecorded, {"set_current_dir d:\\kit\\"}, c(), records_start_directory},
        // setup: the record cannot be opened or written: one "Registration
        // Error" box, and with no record to read the flow goes on as on a
        // machine without a copy.
        {kRecorded,
         {"current_dir d:\\kit", "create_key Software\\HalvikTorvanex\\HalvikTorvanexJI",
          "set_string_value OriginalSource*"},
         c().box("Registration Error").writes_nothing()},
        // The bootstrap beside an elevated setup: its folder or its file cannot be judged.
        {kBootstrapped,
         {"own_program_path", "start_process _instkvi.com*", "open_held D:\\Kit",
          "open_held D:\\Kit\\_instkvi.com file"},
         not_started},
        // ... nor this user's own folder counted as trusted.
        {{"setup_medium_of_this_user"}, {{"process_user", 2}}, not_started},
        // A current copy: without its Version it is none, and without InstPath not
        // probed; a failed probe or hand-off, an unreadable Version (compared as
        // empty) or an InstPath or Install.exe that cannot be read make it older:
        // the bootstrap reinstalls into its InstPath.
        {kCurrent, {"read_string Version", "read_string InstPath", "read_string_data InstPath"},
         c().starts({"_instkvi.com -s -a  -nosplash"})},
        {kCurrent, also({"read_string_data Version", kProbe}, kCopyJudged), c().starts({kReinstall})},
        {kCurrent, {kHandOff, "exit_code"}, probed_then(kReinstall)},
        // An older copy in C:\Old: without its Version it is none; with an
        // empty InstPath the bootstrap names no location.
        {{"setup_older_copy"}, {"read_string Version", "read_string InstPath", "read_string_data InstPath"},
         c().starts({"_instkvi.com -s"})},
        // The usual location left by an earlier run, owned by this user: the
        // user is asked for each folder, and what cannot be read is not trusted.
        {{"setup_second_run"}, {"process_user"}, c().starts({"_instkvi.com -s -f "})},
        usual_location({"setup_no_copy", "setup_second_run", "setup_medium_of_this_user"}, "_instkvi.com -s -f "),
        usual_location({"setup_older_copy"}, "_instkvi.com -s -f ", false),
        usual_location({"setup_batch"}, "_instkvi.com -s -f  -a  -batch  c:\\answers.txt"),
        usual_location({"setup_force"}, "_instkvi.com -s -f  -a  -force"),
        // A standard user: the record opens for reading only, which still finds
        // the current copy. Without the hand-off the bootstrap names no
        // location: a standard user cannot give the usual location its owner.
        {kStandard,
         also({"open_key_for_reading*", "read_string Version", "read_string InstPath", "read_string_data Version",
               "read_string_data InstPath", kProbe},
              kCopyJudged),
         c().starts({kUnnamed})},
        {kStandard, {kHandOff, "exit_code"}, probed_then(kUnnamed)},
        // A standard user's bootstrap that needs elevation: the start fails with
        // 740, and the shell's prompt starts it in setup's directory (in the start
        // directory when setup's cannot be entered). Any other failure of either
        // start, and a directory that cannot be read, show the box.
        {{"setup_elevated_bootstrap"}, {"set_current_dir d:\\kit\\"},
         c().starts({"runas D:\\Kit\\_instkvi.com -s -f  in C:\\Start"})},
        {{"setup_elevated_bootstrap"},
         {"start_process _instkvi.com*", "start_elevated*", "own_program_path", {"current_dir d:\\kit", 2}},
         c().starts_nothing().shows({"Registration Error", "Application Launch Error"})},

        // Install, each launch mode: the program directory cannot be entered
        // (status 0, nothing started), or the application cannot be started
        // (-1): also when the directory that names the runtime cannot be read.
        {kLaunchModes, {"set_current_dir c:\\kit\\"}, c().box("Set Directory Error").starts_nothing().relays(0)},
        {kLaunchModes, {"current_dir c:\\kit", "start_process JRE*"},
         c().exits(-1).starts_nothing().box("Application Launch Error").relays(0)},
        // The relay of an answer file (10000 bytes: reads of 4096, 4096, 1808).
        {kRelay, {"std_input_redirected"}, c().relays(0), batch_console_instead_of_relay},
        {kRelay, {"std_input"}, c().box("INVALID_HANDLE_VALUE Error").relays(0)},
        relay_lost("create_pipe", "CreatePipe Error"),
        relay_lost("set_std_input pipe read", "SetStdHandle Error"),
        relay_lost("duplicate_uninheritable", "DuplicateHandle Error"),
        {kRelay, {"set_std_input own input"}, c().box("SetStdHandle Error")},  // the relay goes on
        {kRelay, {"close_handle pipe write copy"}, c().box("CloseHandle Error")},
        {kRelay, {"exit_code"}, c().box("Application Error")},  // terminated; status 0
        {kRelay, {"read_file 4096", "write_file pipe write copy 4096"}, c().relays(0)},
        {kRelay, {{"read_file 4096", 2}, {"write_file pipe write copy 4096", 2}}, c().relays(kChunk)},
        {kRelay, {{"read_file 4096", 3}, "write_file pipe write copy 1808"}, c().relays(2 * kChunk)},

        // Under setup's hand-off (silent) the directory, registration and
        // launch boxes are not shown; the shortcut's box is.
        {kLoud, {"set_current_dir c:\\kit\\"}, Change(unregistered).box("Set Directory Error")},
        {kLoud, {"current_dir c:\\kit"}, Change(unregistered).box("Registration Error")},  // nothing to register
        {kSilent, {"set_current_dir c:\\kit\\", "current_dir c:\\kit"}, unregistered},
        {kRegistered, {"create_key Software\\HalvikTorvanex\\HalvikTorvanexJI"}, c().writes(kEntryValues)},
        {kRegistered, {"set_string_value UninstCmd*"}, c().writes(all_but("UninstCmd"))},
        {kRegistered, {"set_string_value InstPath*"}, c().writes(all_but("InstPath"))},
        {kRegistered, {"set_string_value Version*"}, c().writes(all_but("Version"))},
        {kRegistered, {"open_key_for_subkeys*"}, c().writes(kRecordValues)},  // no entry, still the shortcut
        {kLoud, {"create_key HalvikTorvanexJI"}, Change(no_entry).box("Registration Error")},
        {kSilent, {"create_key HalvikTorvanexJI"}, no_entry},
        {kRegistered, {"set_string_value DisplayName*"}, no_entry},
        {kRegistered, {"set_string_value UninstallString*"},
         c().starts_nothing().writes(all_but("UninstallString")).no_link()},
        // The shortcut: its folder's creation may fail, the save decides.
        {kRegistered,
         {{"current_dir c:\\kit", 2}, "create_shell_link", "link_persist",
          "create_directory C:\\Users\\Ann\\Start Menu\\Programs\\Halvik Torvanex", "save_link*"},
         c().box("Start Menu Creation Error").no_link()},
        {kRegistered, {"programs_folder"}, c().no_link()},
        // The trace file of an elevated run whose path cannot be read back
        // is closed unwritten; the run is as without the trace.
        {kTraced, {"final_path append C:\\Start\\trace.txt"}, c(), trace_file_left_empty},
        // The runtime's directory is read a third time.
        {{"install_register"}, {"start_process JRE*", {"current_dir c:\\kit", 3}},
         Change(not_run).box("Application Launch Error")},
        {kSilent, {"start_process JRE*", {"current_dir c:\\kit", 3}}, not_run},
    };
}

const std::vector<Row> kReactions = reactions();

// What holds for the probe's answer whatever fails.
void probe_answer_touches_nothing() {
    EXPECT_EQ(fake::state().cwd, "C:\\Start") << "the probe answer changes no directory";
    EXPECT_EQ(fake::call_count(Op::set_current_dir), 0);
    EXPECT_EQ(fake::call_count(Op::create_key), 0);
}

std::ptrdiff_t lines_of(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// The scenario's run with the nth call of op failing, or with none (nth 0).
void one_failure(const Scenario& s, Op op, int nth, const std::vector<const Row*>& rows, std::ptrdiff_t trace_lines) {
    Reaction got = run(s, op, nth);
    EXPECT_GE(fake::call_count(op), nth) << "the failure was not reached";
    ASSERT_LE(rows.size(), 1u) << "two rows name this call";
    const Row* row = rows.empty() ? nullptr : rows[0];
    Reaction want = row ? row->change.applied_to(s.expected) : s.expected;
    EXPECT_EQ(got, want) << (row ? "the documented reaction" : "a failure the table does not list changes nothing");
    if (s.setup) {
        EXPECT_EQ(got.status, 0) << "setup ends with 0 on every path";
    }
    EXPECT_EQ(fake::leaks(), std::vector<std::string>{});
    for (const std::string& caption : got.boxes)
        EXPECT_TRUE(expected::captions(s.setup ? "setup" : "install").count(caption))
            << "a box the program does not own: " << caption;
    if (row && row->also) row->also();
    if (s.name == "install_verctrl") probe_answer_touches_nothing();
    if (!s.traced) return;
    // The undisturbed run leaves its lines; a failed write loses one; without
    // the variable or the file there is no trace; an unreadable directory is
    // said so.
    const std::string& text = fake::state().file_data[expected::kTraceFile];
    if (nth == 0) {
        EXPECT_GE(text.size(), 200u) << "the traced run left its lines";
    } else if (op == Op::current_dir) {
        EXPECT_NE(text.find(" in unreadable\r\n"), std::string::npos) << text;
    } else {
        EXPECT_EQ(lines_of(text), op == Op::write_file ? trace_lines - 1 : 0);
    }
}

// A registered test whose body is a function.
class Case : public ::testing::Test {
public:
    explicit Case(std::function<void()> body) : body_(std::move(body)) {}
    void TestBody() override { body_(); }

private:
    std::function<void()> body_;
};

// The trace's own calls in a traced scenario: the read of the variable and of
// the directory come first; every open, read-back and write is the trace's.
bool trace_call(Op op, int nth) {
    return op == Op::open_for_append || op == Op::final_path || op == Op::write_file ||
           ((op == Op::get_env || op == Op::current_dir) && nth == 1);
}

// Each scenario's calls when nothing fails, as the fake logged them.
std::map<std::string, std::vector<std::string>> logs;

// How many of the log's first `end` calls the call names.
std::ptrdiff_t count(const Call& call, const std::vector<std::string>& log, std::size_t end) {
    return std::count_if(log.begin(), log.begin() + end, [&](const std::string& c) { return call.matches(c); });
}

// A row that names a call the scenario never makes is stale: the program's
// calls have changed and the table must follow.
TEST(FaultMatrix, EveryRowNamesACallTheScenarioMakes) {
    for (const Row& row : kReactions)
        for (const std::string& scenario : row.scenarios)
            for (const Call& call : row.calls) {
                EXPECT_LE(call.nth, count(call, logs[scenario], logs[scenario].size()))
                    << scenario << " " << call.text << " " << call.nth;
                EXPECT_GE(call.nth, 1);
            }
}

// Runs each scenario once undisturbed to log its calls, then registers one
// test per operation and call index: <scenario>.<operation>_<index>.
void register_matrix() {
    for (const Scenario& s : kScenarios) {
        (void)run(s);
        (void)fake::leaks();  // reported where the undisturbed case runs it again
        const std::vector<std::string>& log = logs[s.name] = fake::state().calls;
        std::ptrdiff_t trace_lines = lines_of(fake::state().file_data[expected::kTraceFile]);
        auto add = [&](const std::string& name, Op op, int nth, std::vector<const Row*> rows) {
            auto body = [=, &s] { one_failure(s, op, nth, rows, trace_lines); };
            ::testing::RegisterTest(s.name.c_str(), name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                    [=]() -> ::testing::Test* { return new Case(body); });
        };
        add("undisturbed", Op::get_env, 0, {});
        std::map<int, int> seen;  // calls of each operation so far
        for (std::size_t at = 0; at < log.size(); ++at) {
            const std::string name = log[at].substr(0, log[at].find(' '));
            const char* const* names = fake::kOpNames;
            int op = static_cast<int>(std::find(names, names + fake::kOpCount, name) - names);
            if (op == fake::kOpCount) continue;  // an operation that cannot fail
            int nth = ++seen[op];
            if (s.traced && !trace_call(Op(op), nth)) continue;  // the untraced twin covers the rest
            std::vector<const Row*> rows;
            for (const Row& row : kReactions)
                if (std::count(row.scenarios.begin(), row.scenarios.end(), s.name))
                    for (const Call& call : row.calls)
                        if (call.matches(log[at]) && count(call, log, at + 1) == call.nth) rows.push_back(&row);
            add(name + "_" + std::to_string(nth), Op(op), nth, rows);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    register_matrix();
    return RUN_ALL_TESTS();
}
