// Shared pieces of the unit tests: a fixture that gives every test a fresh
// simulated machine and checks that nothing was leaked.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "expected_texts.h"
#include "setup_flow.h"
#include "text.h"

inline fake::State& machine() { return fake::state(); }

class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { EXPECT_EQ(fake::leaks(), std::vector<std::string>{}); }
};

// ... on which setup runs with a command line.
class SetupFlow : public FakeMachine {
protected:
    void run(const std::string& command_line) {
        machine().command_line = command_line;
        ASSERT_EQ(kvi::setup::run(), 0);
    }
};

// An absent text as nullopt, a present one as its bytes.
inline std::optional<std::string> opt(const kvi::Text& t) {
    if (!t.present()) return std::nullopt;
    return std::string(t.view());
}

using expected::kProbeAnswer;
using expected::kRecord;
using expected::kTraceFile;
using expected::kUninstallEntry;
using expected::sz;
using fake::called;
using fake::calls_starting;
using fake::commands;
using fake::each_program_is;
using fake::enter;

// Rows of a parameterized table are named by their `name`, which gtest shows
// written as one word: "no Programs folder" as NoProgramsFolder; it prints
// them so. (The rows live in each file's unnamed namespace, and so does this.)
namespace {
template <class Row, class = decltype(Row::name)>
std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }
}  // namespace
struct ByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        std::string out, name = info.param.name;
        for (std::size_t i = 0; i < name.size(); ++i)
            if (std::isalnum(static_cast<unsigned char>(name[i])))
                out += i && std::isalnum(static_cast<unsigned char>(name[i - 1])) ? name[i] : std::toupper(name[i]);
        return out;
    }
};

// The boxes shown, as "caption: text", each checked for the icon its caption
// and text have among the expected boxes.
inline std::vector<std::string> shown() {
    for (const auto& box : machine().boxes) {
        auto& all = expected::boxes();
        auto same = [&box](const auto& b) { return b.second.caption == box.caption && b.second.text == box.text; };
        auto want = std::find_if(all.begin(), all.end(), same);
        EXPECT_TRUE(want != all.end() && box.icon == (want->second.error_icon ? plat::Icon::error : plat::Icon::none))
            << box.caption;
    }
    return fake::box_list();
}

inline std::function<void()> all(std::vector<std::function<void()>> steps) {
    return [steps] {
        for (const auto& step : steps) step();
    };
}

// The flags a start was given, as the names of those set.
inline std::string flags(const fake::Launch& l) {
    std::string out;
    for (auto [set, name] : {std::pair{l.inherit_handles, " inherit"}, {l.new_console, " new_console"},
                             {l.no_window, " no_window"}, {l.has_console_look, " look"}, {l.elevated, " elevated"}})
        if (set) out += name;
    return out.empty() ? out : out.substr(1);
}

inline std::vector<std::string> start_flags() {
    std::vector<std::string> out;
    for (const fake::Launch& l : machine().launches) out.push_back(flags(l));
    return out;
}

inline std::string repeat(int times, const std::string& text) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

// The events of the trace file's lines, each of which must end in CR LF and
// begin with a time, the program and a process id.
inline std::vector<std::string> trace_lines(const std::string& program) {
    std::vector<std::string> out;
    std::smatch m;
    const std::regex line("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z " + program + " \\d+ ([^\r\n]*)\r\n");
    auto file = fake::state().file_data.find(kTraceFile);
    std::string rest = file == fake::state().file_data.end() ? "" : file->second;
    for (; std::regex_search(rest, m, line, std::regex_constants::match_continuous); rest = m.suffix())
        out.push_back(m[1]);
    EXPECT_EQ(rest, "") << "a line not as it should be";
    return out;
}

// A traced run's platform calls without the trace's own: first of all, the process asks whether it is elevated and
// opens the file; then (elevated) it reads the file's path back, writes to the file and closes it.
inline std::vector<std::string> without_trace(std::vector<std::string> got) {
    const std::vector<std::string> opening = {"process_elevated", std::string("open_for_append ") + kTraceFile};
    EXPECT_TRUE(got.size() >= 4 && std::equal(opening.begin(), opening.end(), got.begin() + 2)) << "the opening";
    if (got.size() >= 4) got.erase(got.begin() + 2, got.begin() + 4);
    auto file = [](const std::string& c) { return c.find(std::string(" append ") + kTraceFile) != std::string::npos; };
    got.erase(std::remove_if(got.begin(), got.end(), file), got.end());
    return got;
}

// "a | b | c" as {"a", "b", "c"}: platform calls and trace events written compactly.
inline std::vector<std::string> calls(const std::string& list) {
    std::vector<std::string> out;
    for (std::size_t at = 0, end; at <= list.size(); at = end + 3) {
        end = std::min(list.find(" | ", at), list.size());
        out.push_back(list.substr(at, end - at));
    }
    return out;
}
