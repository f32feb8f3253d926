#include "setup_command_line.h"

#include "boxes.h"
#include "test_support.h"

using kvi::setup::Options;
using kvi::setup::parse_command_line;
using kvi::setup::ParseEnd;
using std::nullopt;

namespace {

struct Case {
    const char* line;
    ParseEnd end;
    std::optional<std::string> dir, tail, forwarded, target_path;
    bool force = false, batch = false, noexecute = false, target = false;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << '[' << c.line << ']'; }

class SetupCommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(SetupCommandLine, YieldsDirectoryTailOptionsAndFlags) {
    const Case& c = GetParam();
    Options o;
    ASSERT_EQ(parse_command_line(c.line, o), c.end);
    if (c.end != ParseEnd::done) return;
    EXPECT_EQ(opt(o.program_dir), c.dir);
    EXPECT_EQ(opt(o.tail), c.tail);
    EXPECT_EQ(opt(o.forwarded), c.forwarded);
    EXPECT_EQ(opt(o.target_path), c.target_path);
    EXPECT_EQ(o.force, c.force);
    EXPECT_EQ(o.batch, c.batch);
    EXPECT_EQ(o.noexecute, c.noexecute);
    EXPECT_EQ(o.target, c.target);
}

const ParseEnd done = ParseEnd::done, usage = ParseEnd::usage, version = ParseEnd::version;

INSTANTIATE_TEST_SUITE_P(Table, SetupCommandLine, ::testing::ValuesIn(std::vector<Case>{
    // The worked example.
    {"D:\\Kit\\SETUP.EXE -Batch C:\\Inst\\b.txt -f -NoJW", done, "d:\\kit\\", " -batch c:\\inst\\b.txt -f -nojw",
     " -batch  c:\\inst\\b.txt  -force -nojw", nullopt, true, true},
    // Name, directory and tail.
    {"setup", done, nullopt, nullopt, nullopt, nullopt},
    {"C:\\Kit\\setup.exe", done, "c:\\kit\\", nullopt, nullopt, nullopt},
    {"\"setup.exe\" -force", done, "", " -force", " -force", nullopt, true},
    {"\"C:\\My Kit\\Setup.exe\" -force", done, "c:\\my kit\\", " -force", " -force", nullopt, true},
    {"\"C:\\a -b\\setup.exe\" -noexecute", done, "c:\\a -b\\", " -noexecute", " -noexecute", nullopt, false,
     false, true},
    // A folder holding " -" ends no name in front of the first "setup", nor when its word has a backslash.
    {"D:\\Kit -v2\\setup.exe -batch c:\\a.txt", done, "d:\\kit -v2\\", " -batch c:\\a.txt", " -batch  c:\\a.txt",
     nullopt, false, true},
    {"D:\\Kit -v2 x\\setup.exe", done, "d:\\kit -v2 x\\", nullopt, nullopt, nullopt},
    {"\"D:\\Kit -v2\\setup.exe\"", done, "d:\\kit -v2\\", nullopt, nullopt, nullopt},
    {"D:\\setup -x\\setup.exe -force", done, "d:\\setup -x\\", " -force", " -force", nullopt, true},
    {"D:\\setup -x y\\setup.exe -force", usage},  // "setup -x" then reads as the program and an option
    {"C:\\setup\\setup.exe -force", done, "c:\\setup\\", " -force", " -force", nullopt, true},
    {"C:\\kit\\launch.exe -force", done, nullopt, nullopt, nullopt, nullopt},
    {"setup.exe\t-force", done, nullopt, nullopt, nullopt, nullopt},
    {"\"C:\\setup 2.exe\"", usage},
    // An argument that holds "setup" is not the program's name.
    {"D:\\Kit\\setup.exe -batch c:\\setup\\answers.txt", done, "d:\\kit\\", " -batch c:\\setup\\answers.txt",
     " -batch  c:\\setup\\answers.txt", nullopt, false, true},
    {"setup.exe -input c:\\setup.txt", done, nullopt, " -input c:\\setup.txt", " -input  c:\\setup.txt"},
    // Help and version win over everything after or inside them.
    {"setup -HELP", usage}, {"setup -Help", usage}, {"setup -h", usage},
    {"setup -h -force", usage}, {"setup -hx", usage},
    {"setup -version -help", version}, {"setup -help -version", usage},
    {"setup -v", version}, {"setup -ver", version}, {"setup -ver -force", version},
    {"setup -verbose", usage}, {"setup -input c:\\help\\in.txt", usage},
    // Options with values.
    {"setup -batch", usage}, {"setup -batch -force", usage}, {"setup -batch   ", usage},
    {"setup -batch\tc:\\b.txt", usage}, {"setup -input", usage}, {"setup -target", usage},
    {"setup -input c:\\batch.txt", done, nullopt, " -input c:\\batch.txt", " -batch  c:\\batch.txt",
     nullopt, false, true},
    {"setup -target c:\\my-dir", usage},
    {"setup -target c:\\inst -force", done, nullopt, " -target c:\\inst -force", " -force", " c:\\inst ", true,
     false, false, true},
    {"setup -noexecute", done, nullopt, " -noexecute", " -noexecute", nullopt, false, false, true},
    // Short forms, pass-through words and dashes.
    {"setup -f", done, nullopt, " -f", " -force", nullopt, true},
    {"setup -f x", usage},
    {"setup -s -qatest -delay 5", done, nullopt, " -s -qatest -delay 5", " -s  -qatest  -delay 5"},
    {"setup -delay5", usage},
    {"setup -verctrl2 -lfwx", done, nullopt, " -verctrl2 -lfwx", " -verctrl2  -lfwx"},
    {"setup --force", done, nullopt, " --force", " -force", nullopt, true},
    {"setup - -force", done, nullopt, " - -force", " -force", nullopt, true},
    {"setup batch c:\\b.txt", done, nullopt, " batch c:\\b.txt", " -batch  batch c:\\b.txt", nullopt, false, true},
    {"setup -SilentLaunch -Register", done, nullopt, " -silentlaunch -register", " -silentlaunch  -register"},
    {"setup -remove -postreboot -prereboot -lfj -nosplash", done, nullopt,
     " -remove -postreboot -prereboot -lfj -nosplash", " -remove  -postreboot  -prereboot  -lfj  -nosplash"},
    {"setup ", done, nullopt, " ", "", nullopt},
    {"setup -b c:\\x", usage}, {"setup -t c:\\x", usage}, {"setup -i c:\\x", usage},
    // "nojw" and "nosplash" are found anywhere in a word, which then passes through whole.
    {"setup -NoJWx -xnosplashy", done, nullopt, " -nojwx -xnosplashy", " -nojwx  -xnosplashy"},
    // Tabs: no blank, so neither the tail's start, nor the word "s", nor a value's start.
    {"C:\\Kit\\setup.exe\t-force -NoSplash", done, "c:\\kit\\", " -nosplash", " -nosplash"},
    {"setup -s\t-nosplash", usage},
    {"setup -target c:\\a\tb -nosplash", done, nullopt, " -target c:\\a\tb -nosplash", " -nosplash",
     " c:\\a\tb ", false, false, false, true},
    // A non-breaking space (UTF-8) is no blank.
    {"D:\\Kit\\setup.exe -\xC2\xA0", usage},
    // No "setup" in the line: nothing is read, not even -help.
    {"C:\\Kit\\kvi.exe -help -target c:\\x", done, nullopt, nullopt, nullopt, nullopt},
    // Quotes: a quoted value keeps its blank, an open quote runs to the end, and a
    // quote in front of the first option hides it.
    {"setup -batch \"C:\\My Answers\\A.txt\" -NoSplash", done, nullopt,
     " -batch \"c:\\my answers\\a.txt\" -nosplash", " -batch  \"c:\\my answers\\a.txt\"  -nosplash",
     nullopt, false, true},
    {"setup -nosplash \"C:\\X Y", done, nullopt, " -nosplash \"c:\\x y", " -nosplash \"c:\\x y"},
    {"D:\\Kit\\setup.exe \"-nosplash", usage},
    // The quote is never closed, so the last "setup" of the whole line is the name.
    {"D:\\Kit\\setup.exe \"x -batch c:\\setup\\a.txt", done, "d:\\kit\\setup.exe \"x -batch c:\\",
     nullopt, nullopt, nullopt},
    // "setup" inside arguments and as the program's folder.
    {"D:\\Kit\\setup.exe -BATCH C:\\SETUP\\ANSWERS.TXT", done, "d:\\kit\\",
     " -batch c:\\setup\\answers.txt", " -batch  c:\\setup\\answers.txt", nullopt, false, true},
    {"D:\\Kit\\setup.exe -target c:\\setup dir\\x", done, "d:\\kit\\", " -target c:\\setup dir\\x", "",
     " c:\\setup dir\\x", false, false, false, true},
    {"D:\\Kit\\setup.exe -nosplash -batch c:\\x\\setup -force", done, "d:\\kit\\",
     " -nosplash -batch c:\\x\\setup -force", " -nosplash  -batch  c:\\x\\setup  -force", nullopt, true, true},
    {"C:\\Setup\\setup.exe -batch c:\\setup\\b.txt", done, "c:\\setup\\", " -batch c:\\setup\\b.txt",
     " -batch  c:\\setup\\b.txt", nullopt, false, true},
    // Bytes above 127 are kept; only A-Z are lowered.
    {"SETUP -input C:\\\xC4RGER\\\xE9T\xC9.TXT", done, nullopt, " -input c:\\\xC4rger\\\xE9t\xC9.txt",
     " -input  c:\\\xC4rger\\\xE9t\xC9.txt"}}));

// Both informational boxes as shown, whose texts must keep these exact lengths and blanks.
class SetupMessages : public FakeMachine {};
TEST_F(SetupMessages, UsageAndVersionTextsAreExact) {
    kvi::setup::show(kvi::setup::Box::usage);
    kvi::setup::show(kvi::setup::Box::version);
    EXPECT_EQ(shown(), (std::vector{expected::box("setup-usage"), expected::box("setup-version")}));
    EXPECT_EQ(machine().boxes.at(0).text.size(), 641u);
    EXPECT_EQ(machine().boxes.at(0).text.substr(0, 8), "Usage:\n\n");
    EXPECT_EQ(machine().boxes.at(1).text, " Halvik Torvanex Install version 1.8-002 ");
}

TEST(SetupBlankTest, AnswersForWhiteSpaceOnly) {
    using kvi::setup::is_blank;
    EXPECT_FALSE(is_blank(""));
    EXPECT_TRUE(is_blank(" \t\n\v\f\r"));
    EXPECT_FALSE(is_blank(" x "));
    EXPECT_FALSE(is_blank("\x08"));
}

}  // namespace
