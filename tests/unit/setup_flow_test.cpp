#include "setup_flow.h"

#include <algorithm>

#include "test_support.h"

namespace {

constexpr std::uint32_t kAnswer = 0xFFFFFBAAu;

class SetupFlow : public FakeMachine {
protected:
    // Runs setup with the given command line and checks it ends with 0.
    void run(const std::string& command_line) {
        machine().command_line = command_line;
        ASSERT_EQ(kvi::setup::run(), 0);
    }
    // Registers a copy as Install would.
    void installed(const std::string& version, const std::string& path) {
        fake::put_value(kRecord, "Version", sz(version));
        fake::put_value(kRecord, "InstPath", sz(path));
    }
    // An installed Install that answers the probe with `answer`.
    void answers(std::uint32_t answer) {
        machine().program = [answer](const std::string& cmd) {
            return fake::Program{false, cmd.find("-verctrl") != std::string::npos ? answer : 0};
        };
    }
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (auto& l : fake::state().launches) out.push_back(l.command_line);
        return out;
    }
    bool called(const std::string& call) const {
        auto& c = fake::state().calls;
        return std::find(c.begin(), c.end(), call) != c.end();
    }
    bool created_any_directory() const {
        auto& c = fake::state().calls;
        return std::any_of(c.begin(), c.end(), [](auto& s) { return s.rfind("create_directory", 0) == 0; });
    }
};

TEST_F(SetupFlow, FreshMachineStartsThePlainBootstrapFromTheProgramDirectory) {
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(machine().calls.front(), "restrict_dll_search");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s"});
    const fake::Launch& boot = machine().launches[0];
    EXPECT_EQ(boot.application, "D:\\Kit\\_instkvi.com") << "beside setup's own file, not searched for";
    using Request = std::pair<std::string, plat::Acl>;
    EXPECT_EQ(machine().dir_requests,
              (std::vector<Request>{{"C:\\HalvikTorvanex", plat::Acl::installed_folder},
                                    {"C:\\HalvikTorvanex\\Install", plat::Acl::installed_folder}}));
    EXPECT_EQ(boot.cwd, "d:\\kit");
    EXPECT_EQ(boot.start_dir, "C:\\Start") << "the start directory is taken before the change";
    EXPECT_FALSE(boot.inherit_handles);
    EXPECT_FALSE(boot.new_console);
    EXPECT_FALSE(boot.has_console_look);
    EXPECT_EQ(fake::value(kRecord, "OriginalSource"), sz("d:\\kit"));
    EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex"));
    EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex\\Install"));
    EXPECT_EQ(machine().cwd, "d:\\kit") << "the reachability test puts the directory back";
    EXPECT_TRUE(machine().boxes.empty());
}

TEST_F(SetupFlow, ForwardsOptionsBehindDashA) {
    run("D:\\Kit\\SETUP.EXE -Batch C:\\Inst\\b.txt -f -NoJW");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -a  -batch  c:\\inst\\b.txt  -force -nojw"});
}

TEST_F(SetupFlow, TailWithoutOptionsEndsInDashA) {
    run("D:\\Kit\\setup.exe ");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -a "});
}

TEST_F(SetupFlow, StartDirectoryIsSetOnlyWhenEmpty) {
    machine().env["KVI_START_DIR"] = "E:\\Media";
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(machine().launches[0].start_dir, "E:\\Media");

    fake::reset();
    machine().env["KVI_START_DIR"] = "";
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(machine().launches[0].start_dir, "C:\\Start");
}

TEST_F(SetupFlow, ForceSkipsTheCheckOfACurrentCopy) {
    installed("1.8-002", "C:\\Kit");
    answers(kAnswer);
    run("D:\\Kit\\setup.exe -force");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -a  -force"});
    EXPECT_FALSE(called("query_value_size Version"));
    EXPECT_EQ(fake::value(kRecord, "OriginalSource"), sz("d:\\kit")) << "recorded also when the check is skipped";
}

TEST_F(SetupFlow, TargetNamesTheLocationWithTwoBlanks) {
    installed("1.7-000", "C:\\Old");
    run("D:\\Kit\\setup.exe -target c:\\inst");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f  c:\\inst -a "});
    EXPECT_TRUE(machine().dirs.count("C:\\HalvikTorvanex\\Install")) << "the usual location is made anyway";
    EXPECT_FALSE(called("query_value_size Version"));
}

TEST_F(SetupFlow, OlderCopyIsReinstalledWhereItIs) {
    installed("1.7-999", "C:\\Old Kit");
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f C:\\Old Kit"});
}

TEST_F(SetupFlow, CurrentCopyThatAnswersGetsTheHandOff) {
    installed("1.8-002", "C:\\Kit");
    answers(kAnswer);
    run("D:\\Kit\\setup.exe -batch c:\\b.txt");
    EXPECT_EQ(commands(), (std::vector<std::string>{"C:\\Kit\\Install.exe -verctrl",
                                                    "C:\\Kit\\Install.exe -silentLaunch -register  -batch c:\\b.txt"}));
    EXPECT_FALSE(created_any_directory());
    EXPECT_TRUE(machine().boxes.empty());
}

TEST_F(SetupFlow, NoexecuteStopsAfterTheProbe) {
    installed("2.0-000", "C:\\Kit");
    answers(kAnswer);
    run("D:\\Kit\\setup.exe -noexecute");
    EXPECT_EQ(commands(), std::vector<std::string>{"C:\\Kit\\Install.exe -verctrl"});
    EXPECT_FALSE(created_any_directory());
}

TEST_F(SetupFlow, FailedHandOffFallsBackToTheBootstrap) {
    installed("1.8-002", "C:\\Kit");
    answers(0);
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(commands(), (std::vector<std::string>{"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f C:\\Kit"}));

    fake::reset();
    installed("1.8-002", "");
    answers(kAnswer);
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s"}) << "no path: no probe";

    fake::reset();
    installed("1.8-002", "C:\\Kit");
    machine().program = [](const std::string& cmd) {
        bool is_probe = cmd.find("-verctrl") != std::string::npos;
        return fake::Program{cmd.find("-register") != std::string::npos, is_probe ? kAnswer : 0};
    };
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(commands(), (std::vector<std::string>{"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f C:\\Kit"}));
}

TEST_F(SetupFlow, UnwritableDriveMakesAnEmptyLocation) {
    machine().read_only.insert("C:\\HalvikTorvanex");
    installed("1.7-000", "C:\\Old");
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f "});

    fake::reset();
    machine().read_only.insert("C:\\HalvikTorvanex");
    run("D:\\Kit\\setup.exe -nojw");
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f  -a  -nojw"});
}

TEST_F(SetupFlow, UsualLocationThatCannotBeEnteredIsNotPrepared) {
    // A file where the folder should be, or a folder that cannot be entered.
    auto blocked_location = [this](bool is_file) {
        fake::reset();
        machine().dirs.insert("C:\\HalvikTorvanex");
        if (is_file) {
            machine().files.insert("C:\\HalvikTorvanex\\Install");
        } else {
            machine().dirs.insert("C:\\HalvikTorvanex\\Install");
            machine().locked_dirs.insert("C:\\HalvikTorvanex\\Install");
        }
        installed("1.7-000", "C:\\Old");
    };
    for (bool is_file : {true, false}) {
        blocked_location(is_file);
        run("D:\\Kit\\setup.exe");
        EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f "});
        blocked_location(is_file);
        run("D:\\Kit\\setup.exe -target c:\\t");
        EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -f  c:\\t -a "});
    }
}

TEST_F(SetupFlow, RecordFailuresShowOneBoxAndGoOn) {
    for (fake::Op op : {fake::Op::create_key, fake::Op::set_string_value, fake::Op::get_current_dir}) {
        fake::reset();
        installed("1.8-002", "C:\\Kit");
        answers(kAnswer);
        // get_current_dir: the first read is the start directory, the second the one recorded.
        fake::fail(op, op == fake::Op::get_current_dir ? 2 : 1);
        run("D:\\Kit\\setup.exe");
        EXPECT_EQ(fake::box_list(),
                  std::vector<std::string>{
                      "Registration Error: Error setting original source.  It may be because you do not have "
                      "administrator privileges.  This should not affect the operation of your program."});
        EXPECT_EQ(machine().boxes[0].icon, plat::Icon::error);
        if (op == fake::Op::create_key) {
            EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s"}) << "nothing to read: no copy";
        } else {
            EXPECT_EQ(commands().size(), 2u) << "the check still runs on the open record";
        }
        EXPECT_EQ(fake::leaks(), std::vector<std::string>{});
    }
}

TEST_F(SetupFlow, BootstrapThatCannotStartIsReported) {
    fake::fail(fake::Op::start_process);
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(fake::box_list(), std::vector<std::string>{"Application Launch Error: Error Launching Installation."});
    EXPECT_EQ(machine().boxes[0].icon, plat::Icon::error);

    // setup's own path cannot be read: nothing is started by a bare name instead.
    fake::reset();
    fake::fail_always(fake::Op::own_program_path);
    run("D:\\Kit\\setup.exe");
    EXPECT_EQ(fake::box_list(), std::vector<std::string>{"Application Launch Error: Error Launching Installation."});
    EXPECT_TRUE(machine().launches.empty());
}

TEST_F(SetupFlow, BootstrapIsNamedByTheFolderOfSetupsOwnFile) {
    struct Row {
        std::string own_path, command_line, application;
    };
    const std::string deep = "E:\\" + std::string(300, 'd');
    for (const Row& row : {Row{"D:\\Kit\\setup.exe", "setup", "D:\\Kit\\_instkvi.com"},
                           Row{"E:\\setup.exe", "D:\\Kit\\setup.exe -nojw", "E:\\_instkvi.com"},
                           Row{deep + "\\SETUP.EXE", "setup", deep + "\\_instkvi.com"}}) {
        fake::reset();
        machine().own_path = row.own_path;
        run(row.command_line);
        ASSERT_EQ(machine().launches.size(), 1u);
        EXPECT_EQ(machine().launches[0].application, row.application);
        EXPECT_EQ(machine().launches[0].command_line.rfind("_instkvi.com -s", 0), 0u) << "command line as before";
    }
}

TEST_F(SetupFlow, HelpAndVersionShowTheirBoxAndDoNothingElse) {
    run("D:\\Kit\\setup.exe -force -help");
    ASSERT_EQ(machine().boxes.size(), 1u);
    EXPECT_EQ(machine().boxes[0].caption, "Usage Help");
    EXPECT_EQ(machine().boxes[0].text.size(), 641u);
    EXPECT_EQ(machine().boxes[0].icon, plat::Icon::none);

    fake::reset();
    run("D:\\Kit\\setup.exe -ver");
    EXPECT_EQ(fake::box_list(), std::vector<std::string>{"Version Information:  Halvik Torvanex Install version 1.8-002 "});
    EXPECT_TRUE(machine().launches.empty());
    EXPECT_FALSE(fake::value(kRecord, "OriginalSource"));
    EXPECT_EQ(machine().cwd, "C:\\Start");
}

TEST_F(SetupFlow, UnreachableProgramDirectoryRecordsTheStartDirectory) {
    run("Z:\\Gone\\setup.exe");
    EXPECT_EQ(fake::value(kRecord, "OriginalSource"), sz("C:\\Start"));
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s"});
}

TEST_F(SetupFlow, OriginalSourceIsWrittenWholeOrNotAtAll) {
    // Names are UTF-8: a Cyrillic letter is two bytes, so 129 of them no longer fit
    // the 260-byte directory buffer, though they are far from 260 characters.
    struct Row {
        int letters;
        bool written;
    };
    for (Row row : {Row{128, true}, Row{129, false}}) {
        fake::reset();
        std::string dir = "d:\\";
        for (int i = 0; i < row.letters; ++i) dir += "\xD0\x94";  // Д
        machine().dirs.insert(dir);
        run(dir + "\\setup.exe");
        EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s"});
        if (row.written) {
            EXPECT_EQ(dir.size(), 259u);
            EXPECT_EQ(fake::value(kRecord, "OriginalSource"), sz(dir));
            EXPECT_TRUE(machine().boxes.empty());
        } else {
            EXPECT_FALSE(fake::value(kRecord, "OriginalSource")) << "no cut name in the record";
            ASSERT_EQ(machine().boxes.size(), 1u);
            EXPECT_EQ(machine().boxes[0].caption, "Registration Error");
        }
    }
}

TEST_F(SetupFlow, LongCommandIsStartedWhole) {
    std::string tail(3000, 'x');
    run("D:\\Kit\\setup.exe -qatest " + tail);
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -a  -qatest " + tail});
}

TEST_F(SetupFlow, BatchLooksAtTheUsualLocationOnceMore) {
    run("D:\\Kit\\setup.exe -batch c:\\b.txt");
    auto& c = machine().calls;
    EXPECT_EQ(std::count(c.begin(), c.end(), "create_directory C:\\HalvikTorvanex\\Install"), 2);
    for (const auto& [path, acl] : machine().dir_requests) EXPECT_EQ(acl, plat::Acl::installed_folder) << path;
    EXPECT_EQ(commands(), std::vector<std::string>{"_instkvi.com -s -a  -batch  c:\\b.txt"});
}

}  // namespace

// Each road with the trace on appends its decisions. Off, or with a link or a
// directory at the trace's name, no file is written and the platform calls are
// those the road made before the trace existed, with the one read of KVI_TRACE
// (and the refused open).
TEST_F(SetupFlow, TraceOfEachRoad) {
    const std::string record = "close_key HKLM\\Software\\HalvikTorvanex\\HalvikTorvanexJI | ";
    const std::string read = "query_value Version 9 | query_value_size InstPath | query_value InstPath 8 | " + record;
    const std::string boot = "create_directory C:\\HalvikTorvanex | create_directory C:\\HalvikTorvanex\\Install | "
                             "get_current_dir | set_current_dir C:\\HalvikTorvanex\\Install | set_current_dir d:\\kit | "
                             "own_program_path 260 | start_process _instkvi.com -s";
    const std::string closed = " | close_handle thread | close_handle process";
    const std::string start = "start 1.8-002 <D:\\Kit\\setup.exe> in C:\\Start | start dir set C:\\Start | "
                              "program dir d:\\kit\\ entered | record opened | wrote OriginalSource, 7 bytes <d:\\kit> | ";
    const std::string bootstrap = "> program D:\\Kit\\_instkvi.com flags 0x00000000 | exit 0x00000000";
    struct Road {
        std::function<void()> prepare;
        std::string trace, calls;  // calls: as before the trace existed, behind the common start
    } roads[] = {
        {[] {}, start + "read Version, 0 bytes <> | read InstPath, 0 bytes <> | installed copy none | "
                        "usual location prepared: created | started <_instkvi.com -s" + bootstrap,
         "query_value_size InstPath | " + record + boot + closed},
        {[this] { installed("1.8-002", "C:\\Kit"); answers(kAnswer); },
         start + "read Version, 8 bytes <1.8-002> | read InstPath, 7 bytes <C:\\Kit> | installed copy current | "
                 "started <C:\\Kit\\Install.exe -verctrl> program (its first word) flags 0x00000000 | probe exit "
                 "0xFFFFFBAA | started <C:\\Kit\\Install.exe -silentLaunch -register> program (its first word) flags "
                 "0x00000000 | exit 0x00000000",
         read + "start_process C:\\Kit\\Install.exe -verctrl | wait_for 4294967295 | exit_code" + closed +
             " | start_process C:\\Kit\\Install.exe -silentLaunch -register" + closed},
        {[this] { machine().files.insert("C:\\HalvikTorvanex\\Install"); installed("1.7-000", "C:\\Old"); },
         start + "read Version, 8 bytes <1.7-000> | read InstPath, 7 bytes <C:\\Old> | installed copy older | "
                 "usual location not prepared: unreachable | started <_instkvi.com -s -f " + bootstrap,
         read + boot + " -f " + closed},
    };
    for (const Road& road : roads)
        for (std::string trace : {"on", "off", "link", "directory"}) {
            fake::reset();
            road.prepare();
            if (trace != "off") machine().env["KVI_TRACE"] = kTraceFile;
            if (trace == "link") machine().links.insert(kTraceFile);
            if (trace == "directory") machine().dirs.insert(kTraceFile);
            run("D:\\Kit\\setup.exe");
            if (trace == "on") {
                EXPECT_EQ(trace_lines("setup"), calls(road.trace));
                EXPECT_EQ(machine().file_data[kTraceFile].substr(0, 36), "2026-12-09T04:05:06.007Z setup 4242 ");
                continue;
            }
            EXPECT_FALSE(machine().file_data.count(kTraceFile)) << trace;
            std::vector<std::string> want = calls(
                "restrict_dll_search | get_env KVI_TRACE | get_env KVI_START_DIR | get_current_dir | "
                "set_env KVI_START_DIR=C:\\Start | set_current_dir d:\\kit\\ | get_current_dir | create_key "
                "Software\\HalvikTorvanex\\HalvikTorvanexJI | set_string_value OriginalSource 7 | query_value_size "
                "Version | " + road.calls);
            if (trace != "off") want.insert(want.begin() + 2, std::string("open_for_append ") + kTraceFile);
            EXPECT_EQ(machine().calls, want) << trace;
        }
}

// A name's control bytes cannot break a line or forge one; a line longer
// than 16 KiB is cut and says so.
TEST_F(SetupFlow, TraceLinesAreEscapedAndBounded) {
    machine().env["KVI_TRACE"] = kTraceFile;
    run("D:\\Kit\\setup.exe -qatest \r\n\x7F" + std::string(20000, 'x'));
    std::vector<std::string> lines = trace_lines("setup");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0].substr(0, 53), "start 1.8-002 <D:\\Kit\\setup.exe -qatest \\x0D\\x0A\\x7Fx");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 7), "x [cut]");
    EXPECT_EQ(machine().file_data[kTraceFile].find("\r\n"), 16382u) << "the first line fills 16384 bytes";
}
