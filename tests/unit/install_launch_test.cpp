#include "launch.h"
#include "install_flow.h"

#include <tuple>

#include "boxes.h"
#include "test_support.h"

namespace {

using expected::kJava;
using expected::kJavaw;
using fake::Op;

int launch(const char* tail, bool silent_launch = false) {
    kvi::install::CommandLine line{true, {}, tail ? kvi::Text::from(tail) : kvi::Text()};
    line.options = kvi::install::parse_options(line.tail);
    line.options.silent_launch |= silent_launch;
    return kvi::install::launch_application(line) == kvi::install::Launch::started ? 0 : -1;
}

const fake::Launch& only_launch() {
    EXPECT_EQ(machine().launches.size(), 1u);
    return machine().launches.at(0);
}

// Standard input redirected from a file of `size` bytes.
void input_file(std::size_t size) {
    machine().stdin_kind = fake::StdinKind::disk_file;
    machine().stdin_data.resize(size);
    for (std::size_t i = 0; i < size; ++i) machine().stdin_data[i] = static_cast<char>(i * 7 + i / 251);
}

// Standard input from a file of `input` bytes, every program as given, and these calls failing.
std::function<void()> relay(std::size_t input, fake::Program program = {}, std::vector<std::pair<Op, int>> fails = {}) {
    return [=] {
        input_file(input);
        each_program_is(program);
        for (auto [op, nth] : fails) fake::fail(op, nth);
    };
}

long count(const std::string& call) { return std::count(machine().calls.begin(), machine().calls.end(), call); }

TEST(LaunchCommand, BaseCommandsAndTail) {
    kvi::Text out;
    ASSERT_TRUE(kvi::install::build_launch_command(out, false, kvi::Text()));
    EXPECT_EQ(std::string(out.view()), kJavaw);
    EXPECT_EQ(out.size(), 184u);
    ASSERT_TRUE(kvi::install::build_launch_command(out, true, kvi::Text::from(" -nojw c:\\a")));
    EXPECT_EQ(std::string(out.view()), kJava + "  -nojw c:\\a");
    EXPECT_EQ(kJava.size(), 183u);
}

// The tail and -silentLaunch given to the launch, what it returns, the boxes
// it shows and the flags of each start; `plant` sets the machine up, `also`
// checks the rest.
struct LaunchRun {
    const char* name;
    const char* tail;
    bool silent_launch;
    int status;
    std::vector<std::string> boxes, starts;
    std::function<void()> plant, also;
};

class JavaLaunch : public FakeMachine, public ::testing::WithParamInterface<LaunchRun> {};

TEST_P(JavaLaunch, Runs) {
    const LaunchRun& run = GetParam();
    if (run.plant) run.plant();
    EXPECT_EQ(launch(run.tail, run.silent_launch), run.status);
    EXPECT_EQ(shown(), run.boxes);
    EXPECT_EQ(start_flags(), run.starts);
    if (run.also && fake::box_list() == run.boxes && start_flags() == run.starts) run.also();
}

// The pipe is gone before the start, so the application inherits none of it.
void own_input() {
    const fake::Launch& app = only_launch();
    EXPECT_EQ(static_cast<std::uintptr_t>(app.std_input), 0x10u) << "the application reads our own input";
    EXPECT_EQ(machine().piped, "");
    auto& c = machine().calls;
    auto start = std::find_if(c.begin(), c.end(), [](auto& call) { return call.rfind("start_process", 0) == 0; });
    EXPECT_EQ(std::find(start, c.end(), "close_handle pipe read"), c.end());
}

std::vector<std::string> handle_calls() {
    const std::regex handles("(create_pipe|set_std_input|duplicate_uninheritable|close_handle|std_input)( .*)?");
    std::vector<std::string> out;
    for (auto& c : machine().calls)
        if (c.rfind("start_process", 0) == 0 || std::regex_match(c, handles))
            out.push_back(c.rfind("start_process", 0) == 0 ? "start_process" : c);
    return out;
}

const std::string kNotLaunched = expected::box("install-launch-error");
const std::string kLongDir = "C:\\" + std::string(400, 'k');

const std::vector<std::pair<Op, int>> kNoStart = {{Op::start_process, 1}};

INSTANTIATE_TEST_SUITE_P(Table, JavaLaunch, ::testing::ValuesIn(std::vector<LaunchRun>{
    // The runtime's console is Install's own; the runtime is resolved, not searched for.
    {"WindowedRuntimeWithoutOptions", nullptr, false, 0, {}, {""}, nullptr,
     [] {
         EXPECT_EQ(only_launch().command_line, kJavaw);
         EXPECT_EQ(only_launch().application, "C:\\Start\\JRE\\bin\\javaw.exe");
     }},
    {"ConsoleRuntimeForNojw", " -nojw", false, 0, {}, {""}, nullptr,
     [] { EXPECT_EQ(only_launch().command_line, kJava + "  -nojw"); }},
    // The batch console opens as before.
    {"BatchModeOpensItsConsole", " -batch c:\\a.txt", false, 0, {}, {"new_console look"}, nullptr,
     [] {
         const fake::Launch& batch = only_launch();
         EXPECT_EQ(batch.application, "C:\\Start\\JRE\\bin\\java.exe");
         EXPECT_EQ(batch.title, "Halvik Torvanex Install");
         const plat::ConsoleLook& look = batch.look;
         EXPECT_EQ(std::make_tuple(look.x, look.y, look.width, look.height, look.fill, look.flags),
                   std::make_tuple(10u, 10u, 800u, 600u, std::uint16_t{0x74}, 0x16u));
         EXPECT_EQ(machine().slept_ms, 0u) << "no wait without the relay";
     }},
    {"BAnywhereIsBatchMode", " -bogus", false, 0, {}, {"new_console look"}, nullptr,
     [] { EXPECT_EQ(only_launch().command_line.substr(0, 16), "JRE\\bin\\java.exe"); }},
    {"RelayCopiesEveryByteAndWaits", " -batch a.txt -silent", false, 0, {}, {"inherit"},
     relay(3 * 4096 + 123, {false, 7, false, 2}),
     [] {
         EXPECT_EQ(machine().piped, machine().stdin_data);
         EXPECT_EQ(machine().read_sizes, (std::vector<std::uint32_t>{4096, 4096, 4096, 4096, 4096}));
         EXPECT_EQ(count("wait_for 2000"), 3) << "two looks while running, one at the end";
         EXPECT_EQ(handle_calls(), (std::vector<std::string>{
                                       "std_input", "create_pipe", "set_std_input pipe read",
                                       "duplicate_uninheritable", "close_handle pipe write", "start_process",
                                       "set_std_input own input", "close_handle pipe read",
                                       "close_handle pipe write copy", "close_handle thread", "close_handle process"}));
     }},
    {"RelayStartsAtTheFilesPosition", " -b", false, 0, {}, {"inherit"},
     [] {
         input_file(10000);
         machine().stdin_pos = 6000;
     },
     [] { EXPECT_EQ(machine().piped, machine().stdin_data.substr(6000)); }},
    {"RelayHandlesEmptyInput", " -batch", false, 0, {}, {"inherit"}, relay(0),
     [] { EXPECT_EQ(machine().piped, ""); }},
    {"WaitEndsForAnApplicationThatReturns259", " -batch", false, 0, {}, {"inherit"}, relay(10, {false, 259}),
     [] { EXPECT_EQ(count("wait_for 2000"), 1); }},
    {"UnreadableStatusTerminatesTheApplication", " -batch -silentlaunch", true, 0,
     {expected::box("install-process-code-error")}, {"inherit"}, relay(10, {false, 0, true}),
     [] { EXPECT_TRUE(called("terminate 3221225477")); }},
    {"FailedWaitFallsBackToPolling", " -batch", false, 0, {}, {"inherit"},
     relay(10, {false, 0, false, 1}, {{Op::wait_for, 1}}), [] { EXPECT_EQ(machine().slept_ms, 2000u); }},
    {"RelayIntoAnApplicationThatStoppedReadingEnds", " -batch", false, 0, {}, {"inherit"},
     relay(1 << 20, {false, 0, false, 0, false}),
     [] {
         EXPECT_FALSE(machine().relay_blocked) << "our own read end was still open";
         EXPECT_LT(machine().stdin_pos, machine().stdin_data.size());
     }},
    // A failed pipe set-up starts the application with our own input; the box is shown whatever the flags say.
    {"NoPipe", " -batch -silent", false, 0, {expected::box("install-pipe-error")}, {"inherit"},
     relay(100, {}, {{Op::create_pipe, 1}}), own_input},
    {"NoPipeAsStandardInput", " -batch -silent", false, 0, {expected::box("install-pipe-input-error")}, {"inherit"},
     relay(100, {}, {{Op::set_std_input, 1}}), own_input},
    {"NoDuplicate", " -batch -silent", false, 0, {expected::box("install-duplicate-error")}, {"inherit"},
     relay(100, {}, {{Op::duplicate_uninheritable, 1}}), own_input},
    // Giving standard input back, closing our duplicated write end.
    {"BoxesAfterTheStart", " -batch -silent", false, 0,
     {expected::box("install-restore-input-error"), expected::box("install-close-error")}, {"inherit"},
     relay(100, {}, {{Op::set_std_input, 2}, {Op::close_handle, 3}})},
    // GetStdHandle gives INVALID_HANDLE_VALUE.
    {"InvalidSavedInput", " -batch", false, 0, {expected::box("install-invalid-input-error")},
     {"inherit"}, relay(100, {}, {{Op::std_input, 1}}), [] { EXPECT_EQ(machine().piped, ""); }},
    {"StartFailureShowsItsBox", nullptr, false, -1, {kNotLaunched}, {}, relay(10, {}, kNoStart)},
    {"StartFailureSilent", " -silent", false, -1, {}, {}, relay(10, {}, kNoStart)},
    {"StartFailureSilentLaunch", " -x", true, -1, {}, {}, relay(10, {}, kNoStart)},
    {"StartFailureInBatchMode", " -batch", false, -1, {kNotLaunched}, {}, relay(10, {}, kNoStart)},
    {"RuntimeAtADriveRoot", " -nojw", false, 0, {}, {""}, [] { enter("K:\\"); },
     [] {
         EXPECT_EQ(only_launch().application, "K:\\JRE\\bin\\java.exe") << "no second backslash at a drive root";
         EXPECT_EQ(only_launch().command_line, kJava + "  -nojw");
     }},
    // A directory longer than the usual limit is read whole.
    {"RuntimeInALongDirectory", nullptr, false, 0, {}, {""}, [] { machine().cwd = kLongDir; },
     [] { EXPECT_EQ(only_launch().application, kLongDir + "\\JRE\\bin\\javaw.exe"); }}}), ByName());

// What standard input is decides: anything redirected is relayed, a console
// or no input at all gets the batch console.
struct InputRow {
    fake::StdinKind kind;
    const char* name;
    bool relay;
};
class JavaLaunchInput : public FakeMachine, public ::testing::WithParamInterface<InputRow> {};
TEST_P(JavaLaunchInput, StandardInputKindDecidesTheRelay) {
    const InputRow& row = GetParam();
    input_file(2 * 4096 + 777);
    machine().stdin_kind = row.kind;
    each_program_is({false, 5, false, 1});
    EXPECT_EQ(launch(" -batch c:\\a.txt"), 0);
    const fake::Launch& app = only_launch();
    EXPECT_EQ(app.command_line, kJava + "  -batch c:\\a.txt");
    EXPECT_EQ(flags(app), row.relay ? "inherit" : "new_console look");
    EXPECT_EQ(count("wait_for 2000"), row.relay ? 2 : 0) << "waits only with the relay";
    std::string want = row.relay && row.kind != fake::StdinKind::null_device ? machine().stdin_data : "";
    EXPECT_TRUE(machine().piped == want) << machine().piped.size() << " bytes relayed";
    if (row.relay) EXPECT_EQ(machine().read_sizes.back(), 4096u) << "reads until the input ends";
    EXPECT_TRUE(machine().boxes.empty());
}

using fake::StdinKind;
INSTANTIATE_TEST_SUITE_P(Table, JavaLaunchInput, ::testing::ValuesIn(std::vector<InputRow>{
    {StdinKind::console, "console", false}, {StdinKind::none, "no handle", false},
    {StdinKind::invalid, "invalid handle", false}, {StdinKind::disk_file, "disk file", true},
    {StdinKind::pipe, "pipe", true}, {StdinKind::null_device, "null device", true}}), ByName());

// The relay road with the trace on, and off: then no file, and the road's
// platform calls are the same, but for the trace's own (the open, its writes,
// the directory it names in the start line).
TEST_F(JavaLaunch, TraceOfTheRelayRoad) {
    const std::string java = kJava + "  -batch c:\\answers.txt";
    std::vector<std::string> road;
    for (bool on : {true, false}) {
        fake::reset();
        machine().dirs.insert("C:\\Kit");
        input_file(5000);
        each_program_is({false, 0, false, 1});
        if (on) machine().env["KVI_TRACE"] = kTraceFile;
        machine().command_line = "C:\\Kit\\Install.exe -batch c:\\answers.txt";
        EXPECT_EQ(kvi::install::run("C:\\Kit\\Install.exe"), 0);
        EXPECT_EQ(machine().piped, machine().stdin_data);
        EXPECT_EQ(trace_lines("Install"),
                  on ? calls("start 1.8-002 <C:\\Kit\\Install.exe -batch c:\\answers.txt> in C:\\Start | start dir set "
                             "C:\\Start | program dir c:\\kit\\ entered | started <" + java + "> program "
                             "c:\\kit\\JRE\\bin\\java.exe flags 0x00000000 inherit | relay 5000 bytes, input ended | "
                             "exit 0x00000000")
                     : std::vector<std::string>{});
        std::vector<std::string> got = on ? without_trace(machine().calls) : machine().calls;
        if (on) got.erase(std::find(got.begin(), got.end(), "current_dir C:\\Start"));  // the start line's
        EXPECT_EQ(std::count(got.begin(), got.end(), "get_env KVI_TRACE"), 1);
        if (on) {
            road = got;
        } else {
            EXPECT_EQ(got, road);
            EXPECT_FALSE(machine().file_data.count(kTraceFile));
        }
    }
}

}  // namespace
