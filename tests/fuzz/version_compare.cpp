// setup's version comparison against the own version 1.8-002, two ways: on
// generated version texts whose fields are known by construction, and on the
// input as a stored text, whose answer must not change under rewritings that
// keep its fields.

#include <climits>
#include <tuple>

#include "fuzz_support.h"
#include "installed_copy.h"

namespace {

using kvi::setup::version_is_older;

// Reads the input one byte at a time; zeros once it is used up.
struct Bytes {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    unsigned next() { return at < size ? data[at++] : 0u; }
};

std::string separator_run(Bytes& in) {
    std::string run;
    int n = 1 + static_cast<int>(in.next() % 3);
    for (int i = 0; i < n; ++i) run += (in.next() & 1) ? '.' : '-';
    return run;
}

// One generated piece of a version text and the value it must be read as.
struct Piece {
    std::string text;
    long long value;
};

Piece generate_piece(Bytes& in) {
    unsigned kind = in.next() % 5;
    unsigned n = in.next() % 12;
    std::string digits = std::string(in.next() % 3, '0') + std::to_string(n);  // leading zeros
    switch (kind) {
        case 0: return {digits, n};
        case 1: return {" \t" + digits, n};           // white space in front
        case 2: return {"+" + digits + "rc", n};      // a sign in front, letters behind
        case 3: return {std::string(12 + n, '9'), INT_MAX};  // beyond an int: the largest value
        default: return {(n & 1) ? "x" + digits : "", 0};    // no leading digits
    }
}

// 1 to 4 pieces, with separators in front of, between and behind them: a plain
// tuple comparison with (1, 8, 2) must agree.
void check_generated(Bytes& in) {
    unsigned count = 1 + in.next() % 4;
    std::string text = (in.next() & 1) ? separator_run(in) : "";
    long long field[3] = {0, 0, 0};
    for (unsigned i = 0; i < count; ++i) {
        Piece p = generate_piece(in);
        if (p.text.empty()) p = {"a", 0};  // a piece must hold something between separators
        if (i > 0) text += separator_run(in);
        text += p.text;
        if (i < 3) field[i] = p.value;
    }
    if (in.next() & 1) text += separator_run(in);

    bool want = count < 3 || std::make_tuple(field[0], field[1], field[2]) < std::make_tuple(1LL, 8LL, 2LL);
    FUZZ_CHECK(version_is_older(text) == want);
}

std::string doubled_separators(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '.' || c == '-') out += c == '.' ? '-' : '.';
    }
    return out;
}

int piece_count(const std::string& s) {
    int n = 0;
    bool in_piece = false;
    for (char c : s) {
        bool sep = c == '.' || c == '-';
        if (!sep && !in_piece) ++n;
        in_piece = !sep;
    }
    return n;
}

// Separators put in front or doubled, or a fourth piece behind three, change nothing.
void check_properties(const std::string& stored) {
    bool older = version_is_older(stored);
    if (piece_count(stored) < 3) FUZZ_CHECK(older);
    FUZZ_CHECK(version_is_older("." + stored) == older);
    FUZZ_CHECK(version_is_older("-.-" + stored) == older);
    FUZZ_CHECK(version_is_older(doubled_separators(stored)) == older);
    if (piece_count(stored) >= 3) FUZZ_CHECK(version_is_older(stored + ".999-x") == older);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The stored value is read as text up to its first zero byte.
    check_properties(fuzz::platform_text(data, size));

    Bytes in{data, size};
    check_generated(in);
    return 0;
}
