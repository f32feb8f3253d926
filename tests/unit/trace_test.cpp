// The trace: its lines, the names it writes to, its formatter.
#include "trace.h"

#include "test_support.h"

namespace {

using Trace = SetupFlow;  // a run of setup, whose trace these are

// A name's control bytes cannot break a line or forge one; a line longer
// than 16 KiB is cut and says so.
TEST_F(Trace, LinesAreEscapedAndBounded) {
    machine().env["KVI_TRACE"] = kTraceFile;
    run("D:\\Kit\\setup.exe -qatest \r\n\x7F" + std::string(20000, 'x'));
    std::vector<std::string> lines = trace_lines("setup");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0].substr(0, 53), "start 1.8-002 <D:\\Kit\\setup.exe -qatest \\x0D\\x0A\\x7Fx");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 7), "x [cut]");
    EXPECT_EQ(machine().file_data[kTraceFile].find("\r\n"), 16382u) << "the first line fills 16384 bytes";
}

// The trace is written only to a plain disk path. An elevated process, whose
// environment the unelevated half may have written, writes only to a .log or
// .txt file (no stream of another), and only when the open file reads back
// as the name given, A-Z in either case: not through a junction or link, not
// spelt with / for \, nor when the path cannot be read back.
TEST_F(Trace, NamesThatAreRefused) {
    struct Row {
        std::string name;
        bool elevated, opened, traced;  // opened: the open was tried; traced: lines were written
        std::string lies_at = "";  // where the file (C:\Start\trace.txt) reads back from; "-": it cannot
    };
    const std::string kElsewhere = "C:\\Elsewhere\\trace.txt";
    const Row rows[] = {
        {kTraceFile, true, true, true}, {"\\\\?\\C:\\Start\\trace.txt", true, true, true},
        {"c:\\start\\TRACE.txt", true, true, true, kTraceFile}, {"c:/Start/trace.txt", false, true, true},
        {"c:/Start/trace.txt", true, true, false},
        {"\\\\server\\share\\trace.txt", true, false, false}, {"\\\\.\\pipe\\kvi", true, false, false},
        {"\\\\?\\UNC\\server\\share\\trace.txt", true, false, false}, {"\\\\?\\pipe\\kvi", true, false, false},
        {"trace.txt", true, false, false}, {"C:trace.txt", true, false, false},
        {kTraceFile, true, true, false, kElsewhere}, {kTraceFile, false, true, true, kElsewhere},
        {"C:\\Gone\\trace.txt", true, true, false}, {kTraceFile, true, true, false, "-"},
        {"C:\\Start\\trace.cmd", true, false, false}, {"C:\\Start\\trace.cmd", false, true, true},
        {"C:\\Start\\trace.LOG", true, true, true}, {"C:\\Start\\trace", true, false, false},
        {"C:\\Start\\trace.cmd:x.txt", true, false, false},
    };
    for (const Row& row : rows) {
        fake::reset();
        machine().elevated = row.elevated;
        machine().env["KVI_TRACE"] = row.name;
        if (row.lies_at == "-") fake::fail(fake::Op::final_path);
        else if (!row.lies_at.empty()) machine().final_paths[kTraceFile] = row.lies_at;
        run("D:\\Kit\\setup.exe -target c:\\t");
        EXPECT_EQ(called("open_for_append " + row.name), row.opened) << row.name;
        bool traced = std::any_of(machine().file_data.begin(), machine().file_data.end(),
                                  [](const auto& file) { return !file.second.empty(); });
        EXPECT_EQ(traced, row.traced) << row.name;
    }
}

// The formatter writes nothing for a directive it does not know and stops
// at a % that ends the format, never reading what lies behind it.
TEST_F(Trace, FormatterKeepsToItsFormat) {
    machine().env["KVI_TRACE"] = kTraceFile;
    kvi::trace::begin("setup");
    const char unknown[] = "a%qb%9c";
    const char trailing[] = {'x', '%', '\0', '%', 's', '\0'};
    const char* formats[] = {unknown, trailing};
    for (const char* f : formats) kvi::trace::note(f);  // NOLINT: formats under test
    kvi::trace::end(0);
    std::vector<std::string> lines = trace_lines("setup");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "abc");
    EXPECT_EQ(lines[2], "x");
}

}  // namespace
