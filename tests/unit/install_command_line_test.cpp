#include "install_command_line.h"

#include "install_flow.h"
#include "test_support.h"

using kvi::install::split_command_line;

namespace {

struct SplitCase {
    const char* own_name;  // argv[0], as a C runtime splits it off the line
    const char* line;      // the process command line
    std::optional<std::string> dir, tail;
    bool search_error = false;
};

std::ostream& operator<<(std::ostream& os, const SplitCase& c) { return os << '[' << c.line << ']'; }

class InstallSplit : public FakeMachine, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(InstallSplit, YieldsDirectoryAndLoweredTail) {
    const SplitCase& c = GetParam();
    // As the program does: the name is a view into the line, or, for an
    // empty line, the program's own file.
    machine().own_path = "D:\\Apps\\Install.exe";
    kvi::Text storage;
    std::string_view own_name = kvi::install::program_name(c.line, storage);
    EXPECT_EQ(own_name, c.own_name);
    kvi::install::CommandLine out = split_command_line(own_name, c.line);
    EXPECT_EQ(opt(out.program_dir), c.dir);
    EXPECT_EQ(opt(out.tail), c.tail);
    EXPECT_EQ(out.found, !c.search_error);
}

INSTANTIATE_TEST_SUITE_P(Table, InstallSplit, ::testing::ValuesIn(std::vector<SplitCase>{
    {"D:\\Apps\\Install.exe", "D:\\Apps\\Install.exe -Batch A.TXT", "d:\\apps\\", " -batch a.txt"},
    {"D:\\Apps\\Install.exe", "\"D:\\Apps\\Install.exe\" -Batch A.TXT", "d:\\apps\\", " -batch a.txt"},
    {"C:\\Program Files\\Kit\\Install.exe", "\"C:\\Program Files\\Kit\\Install.exe\" -nojw",
     "c:\\program files\\kit\\", " -nojw"},
    {"install", "install -h", std::nullopt, " -h"},
    {"Install.exe", "Install.exe", std::nullopt, std::nullopt},
    {"D:\\Install\\Setup2.exe", "D:\\Install\\Setup2.exe -x", "d:\\", " -x"},
    {"D:\\Apps\\Install.exe", "D:\\Apps\\Install.exe\t-nojw", "d:\\apps\\", std::nullopt},
    {"D:\\Apps\\Install.exe", "D:\\Apps\\Install.exe", "d:\\apps\\", std::nullopt},
    {"D:\\Apps\\Launcher.exe", "D:\\Apps\\Launcher.exe -verctrl", std::nullopt, std::nullopt, true},
    // An unquoted path with a blank: the runtime splits the name at the blank.
    {"C:\\My", "C:\\My Kit\\Install.exe -verctrl", std::nullopt, std::nullopt, true},
    {"D:\\\xC4PPS\\INSTALL.EXE", "D:\\\xC4PPS\\INSTALL.EXE -Input \xC9.TXT", "d:\\\xC4pps\\", " -input \xC9.txt"},
    // Quotes inside the name or right after it, where runtimes differ: a
    // quoted name ends at the next quote, any other at the first blank or tab.
    {"D:\\My\"Kit\"\\Install.exe", "D:\\My\"Kit\"\\Install.exe -x", "d:\\my\"kit\"\\", " -x"},
    {"D:\\Apps\\Install.exe\"", "D:\\Apps\\Install.exe\" -x\"", "d:\\apps\\", " -x\""},
    {"D:\\My", "\"D:\\My\"Kit\\Install.exe -verctrl", std::nullopt, std::nullopt, true},
    {"D:\\Apps\\Install.exe", "\"D:\\Apps\\Install.exe\"-x -y", "d:\\apps\\", " -y"},
    {"D:\\Apps\\Install.exe -x", "\"D:\\Apps\\Install.exe -x", "d:\\apps\\", std::nullopt},
    {"D:\\Apps\\Install.exe", "", "d:\\apps\\", std::nullopt},
    {"", " -x", std::nullopt, std::nullopt, true}}));

// Each option is a text found anywhere in the lowered tail, not a word.
TEST(InstallOptions, AreTextsFoundAnywhere) {
    using Set = std::vector<bool>;  // help, verctrl, nojw, silent_launch, noexecute, register, silent, batch
    for (const auto& [tail, want] : std::vector<std::pair<const char*, Set>>{
             {nullptr, {0, 0, 0, 0, 0, 0, 0, 0}},
             {" -silentlaunch -register", {0, 0, 0, 1, 0, 1, 1, 0}},  // -silent inside -silentlaunch
             {" -nojwx -bar", {0, 0, 1, 0, 0, 0, 0, 1}},              // -nojw and -b inside longer words
             {" -hx -verctrl -noexecute", {1, 1, 0, 0, 1, 0, 0, 0}},
             {" -batch -silent", {0, 0, 0, 0, 0, 0, 1, 1}}}) {
        kvi::install::Options o = kvi::install::parse_options(tail ? kvi::Text::from(tail) : kvi::Text());
        Set got = {o.help, o.verctrl, o.nojw, o.silent_launch, o.noexecute, o.register_copy, o.silent, o.batch};
        EXPECT_EQ(got, want) << (tail ? tail : "(no tail)");
    }
}

// What the runtime is given for a command line: the words are found anywhere
// in the lowered tail with their dash ("-nojwx" counts as -nojw and passes on
// whole, "-xnojw" does not count); a tab starts no tail, and quotes are passed on as they are.
struct LaunchCase {
    const char* line;
    bool console;      // java.exe rather than javaw.exe
    const char* tail;  // what follows the runtime's own command
};

std::ostream& operator<<(std::ostream& os, const LaunchCase& c) { return os << '[' << c.line << ']'; }

class InstallLaunchLine : public FakeMachine, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(InstallLaunchLine, StartsTheRuntimeWithTheTail) {
    const LaunchCase& c = GetParam();
    machine().dirs.insert("D:\\My Kit");
    machine().command_line = c.line;
    std::string own_name(kvi::install::own_name(c.line));
    EXPECT_EQ(kvi::install::run(own_name.c_str()), 0);
    ASSERT_EQ(machine().launches.size(), 1u);
    EXPECT_EQ(machine().launches[0].command_line, (c.console ? expected::kJava : expected::kJavaw) + c.tail);
}

INSTANTIATE_TEST_SUITE_P(Table, InstallLaunchLine, ::testing::ValuesIn(std::vector<LaunchCase>{
    {"D:\\Kit\\Install.exe -NoJWx", true, "  -nojwx"},
    {"D:\\Kit\\Install.exe -xnojw -NOSPLASHY", false, "  -xnojw -nosplashy"},  // the dash counts
    {"D:\\Kit\\Install.exe -nosplashx", false, "  -nosplashx"},
    {"D:\\Kit\\Install.exe\t-nojw", false, ""},
    {"D:\\Kit\\Install.exe\t-nojw -NoSplash", false, "  -nosplash"},
    {"D:\\Kit\\Install.exe -NoSplash\t-NoJW", true, "  -nosplash\t-nojw"},
    {"D:\\Kit\\Install.exe -input \"C:\\My Answers\\A.TXT\" -NoJW", true, "  -input \"c:\\my answers\\a.txt\" -nojw"},
    {"D:\\Kit\\Install.exe \"-nojw", true, "  \"-nojw"},
    {"\"D:\\My Kit\\Install.exe\" -NoJW \"a b", true, "  -nojw \"a b"},
    // "install" in an argument is not taken for the program's name.
    {"D:\\Kit\\Install.exe -input c:\\install\\a.txt", false, "  -input c:\\install\\a.txt"}}));

TEST(InstallUsage, IsTheExactText) {
    std::string_view usage = kvi::install::usage_text();
    EXPECT_EQ(usage.size(), 401u);
    EXPECT_EQ(usage.substr(0, 51), "Usage:\n\n   -help\t\tdisplays the usage information.\n\n");
    EXPECT_EQ(usage.substr(usage.size() - 44), "   -version\t\tdisplays version information.\n\n");
}

// A whole run of Install: what it returns, prints, shows and starts (the
// directory of each start); `also` checks the rest.
struct FlowCase {
    const char* name;
    std::string line;
    int status;
    bool usage;
    std::vector<std::string> boxes, cwds;
    std::function<void()> plant, also;
};

class InstallFlow : public FakeMachine, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(InstallFlow, Runs) {
    const FlowCase& c = GetParam();
    if (c.plant) c.plant();
    machine().command_line = c.line;
    EXPECT_EQ(kvi::install::run(std::string(kvi::install::own_name(c.line.c_str())).c_str()), c.status);
    EXPECT_EQ(machine().stdout_text, c.usage ? kvi::install::usage_text() : "");
    EXPECT_EQ(shown(), c.boxes);
    std::vector<std::string> cwds;
    for (const fake::Launch& launch : machine().launches) cwds.push_back(launch.cwd);
    EXPECT_EQ(cwds, c.cwds);
    if (c.also && cwds == c.cwds) c.also();
}

const std::string kLong(400, 'q');

INSTANTIATE_TEST_SUITE_P(Table, InstallFlow, ::testing::ValuesIn(std::vector<FlowCase>{
    {"ProbeAnswerHasNoOtherEffect", "D:\\Kit\\Install.exe -verctrl", -1110, false, {}, {}, nullptr,
     [] {
         EXPECT_EQ(machine().cwd, "C:\\Start");
         EXPECT_FALSE(fake::value(kRecord, "InstPath"));
     }},
    {"ProbeAnswerHasNoOtherEffectButHelp", "D:\\Kit\\Install.exe -help -verctrl -register", -1110, true},
    // -h anywhere counts.
    {"HelpPrintsAndGoesOn", "D:\\My-Home\\Install.exe C:\\my-home\\x", 0, true, {}, {"d:\\my-home"},
     [] { machine().dirs.insert("D:\\My-Home"); }},
    {"NoArgumentsNothingPrinted", "D:\\Kit\\Install.exe", 0, false, {}, {"d:\\kit"}, nullptr,
     [] { EXPECT_EQ(machine().launches[0].command_line, expected::kJavaw); }},
    {"StartDirectoryIsTheDirectoryAtStart", "D:\\Kit\\Install.exe -nojw", 0, false, {}, {"d:\\kit"}, nullptr,
     [] { EXPECT_EQ(machine().launches[0].start_dir, "C:\\Start"); }},
    {"StartDirectoryOfAnyLengthIsLeftAlone", "D:\\Kit\\Install.exe -nojw", 0, false, {}, {"d:\\kit"},
     [] { machine().env["KVI_START_DIR"] = kLong; }, [] { EXPECT_EQ(machine().launches[0].start_dir, kLong); }},
    // No options were read: the windowed runtime.
    {"SearchErrorStillLaunchesFromHere", "D:\\Kit\\Launcher.exe -verctrl -nojw", 0, false,
     {expected::box("install-search-error")}, {"C:\\Start"}, nullptr,
     [] { EXPECT_EQ(machine().launches[0].command_line, expected::kJavaw); }},
    {"DirectoryChangeFailure", "Z:\\Gone\\Install.exe -register", 0, false,
     {expected::box("install-directory-error")}, {}, nullptr,
     [] { EXPECT_FALSE(fake::value(kRecord, "InstPath")) << "no registration"; }},
    {"DirectoryChangeFailureSilent", "Z:\\Gone\\Install.exe -SILENTLAUNCH", 0, false},
    {"NoexecuteEndsAfterTheDirectoryChange", "D:\\Kit\\Install.exe -noexecute", 0, false, {}, {},
     nullptr, [] { EXPECT_EQ(machine().cwd, "d:\\kit"); }},
    {"LaunchFailureIsMinusOne", "D:\\Kit\\Install.exe", -1, false,
     {expected::box("install-launch-error")}, {},
     [] { fake::fail(fake::Op::start_process); }}}), ByName());

}  // namespace
