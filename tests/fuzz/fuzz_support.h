// What the fuzz targets share: an invariant check that aborts (so libFuzzer
// keeps the input as a crash), and the texts the platform would hand over.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "expected_texts.h"
#include "fake_platform.h"

// Aborts with the failed condition when an invariant does not hold.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "invariant failed: %s\n  at %s:%d\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace fuzz {

// The bytes up to the first zero byte: what a platform call that hands over a
// zero-terminated text (a command line, a directory) can deliver.
inline std::string platform_text(const std::uint8_t* data, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    return s.substr(0, s.find('\0'));
}

// The fuzz input split at its first line feed; `second` is absent without one.
struct Halves {
    std::string first;
    bool has_second = false;
    std::string second;
};
inline Halves split_at_line_feed(const std::string& s) {
    std::size_t lf = s.find('\n');
    if (lf == std::string::npos) return {s, false, {}};
    return {s.substr(0, lf), true, s.substr(lf + 1)};
}

// A-Z to a-z only, as both programs lower-case.
inline std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

inline bool has_upper(std::string_view s) {
    for (char c : s)
        if (c >= 'A' && c <= 'Z') return true;
    return false;
}

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

// Every box shown has one of the given captions.
inline bool boxes_among(const std::set<std::string>& allowed) {
    for (const auto& b : fake::state().boxes)
        if (!allowed.count(b.caption)) return false;
    return true;
}

inline bool nothing_leaked() { return fake::leaks().empty(); }

}  // namespace fuzz
