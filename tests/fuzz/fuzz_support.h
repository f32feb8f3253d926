// What the fuzz targets share: an invariant check that aborts (so libFuzzer
// keeps the input as a crash), the texts the platform would hand over, and
// the model of Install's command line that two targets check against.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "expected_texts.h"
#include "fake_platform.h"
#include "text.h"

// Aborts with the failed condition when an invariant does not hold.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant failed: %s\n  at %s:%d\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

inline std::string bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The bytes up to the first zero byte: what a platform call that hands over a
// zero-terminated text (a command line, a directory) can deliver.
inline std::string platform_text(const std::uint8_t* data, std::size_t size) {
    std::string s = bytes(data, size);
    return s.substr(0, s.find('\0'));
}

// The text in front of its first line feed, and what follows it, if any.
struct Halves {
    std::string first;
    std::optional<std::string> second;
};
inline Halves split_at_line_feed(const std::string& s) {
    std::size_t lf = s.find('\n');
    if (lf == std::string::npos) return {s, std::nullopt};
    return {s.substr(0, lf), s.substr(lf + 1)};
}

inline std::string str(const kvi::Text& t) { return std::string(t.view()); }

using fake::lower;

inline bool has_upper(std::string_view s) { return lower(std::string(s)) != s; }
inline bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
inline bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
inline bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// Element 0 of the argument vector, as the C runtime splits it.
inline std::string element_zero(const std::string& line) {
    if (!line.empty() && line[0] == '"') {
        std::size_t close = line.find('"', 1);
        return line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return line.substr(0, line.find_first_of(" \t"));
}

// Nothing leaked, and every box shown has one of the given captions.
inline bool clean_end(const std::set<std::string>& captions) {
    for (const auto& b : fake::state().boxes)
        if (!captions.count(b.caption)) return false;
    return fake::leaks().empty();
}

// How Install reads its command line, given its own name: without "install"
// in the name nothing is read. The program directory is the lowered name in
// front of its last "install", without a leading quote; the tail runs from
// the first blank at or after the name's length to the end of the line.
struct InstallLine {
    std::string lowered, dir, tail;
    bool found = false, has_dir = false, has_tail = false;
    bool has(const char* option) const { return has_tail && contains(tail, option); }
};

inline InstallLine install_line(const std::string& own_name, const std::string& line) {
    InstallLine m;
    m.lowered = lower(line);
    const std::string name = lower(own_name);
    const std::size_t last = name.rfind("install");
    m.found = last != std::string::npos;
    if (!m.found) return m;
    if (last > 0) {
        std::size_t from = name[0] == '"' ? 1 : 0;
        m.has_dir = true;
        m.dir = name.substr(from, last - from);
    }
    std::size_t blank = line.size() > own_name.size() ? m.lowered.find(' ', own_name.size()) : std::string::npos;
    m.has_tail = blank != std::string::npos;
    if (m.has_tail) m.tail = m.lowered.substr(blank);
    return m;
}

}  // namespace fuzz
