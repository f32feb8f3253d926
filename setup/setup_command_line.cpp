#include "setup_command_line.h"

namespace kvi::setup {

namespace {

constexpr std::string_view kName = "setup";

// "is w" for a whole-token test: the word alone, or with exactly one trailing blank.
constexpr bool is_word(std::string_view token, std::string_view w) {
    return token == w || (token.size() == w.size() + 1 && slice(token, 0, w.size()) == w && token.back() == ' ');
}

// The word alone, or the word followed by a blank anywhere in the token, so a
// value may follow it. `w_blank` is the word with its blank.
constexpr bool is_word_or_has(std::string_view token, std::string_view w, std::string_view w_blank) {
    return token == w || contains(token, w_blank);
}

// nosplash, nojw, silent, verctrl and lfw are looked for anywhere: "-nojwx" passes too.
constexpr bool is_pass_through(std::string_view t) {
    return contains(t, "nosplash") || contains(t, "nojw") || contains(t, "silent") || is_word(t, "s") ||
           is_word_or_has(t, "qatest", "qatest ") || is_word_or_has(t, "delay", "delay ") ||
           is_word_or_has(t, "register", "register ") || contains(t, "verctrl") ||
           is_word_or_has(t, "remove", "remove ") || is_word_or_has(t, "postreboot", "postreboot ") ||
           is_word_or_has(t, "prereboot", "prereboot ") || is_word_or_has(t, "lfj", "lfj ") ||
           contains(t, "lfw");
}

// Where the program's name may stand: in front of the first blank that is
// followed by a dash, lies outside double quotes and behind the line's first
// "setup", and starts a word (up to the next blank) without a backslash. An
// option's word holds none, so a path through a folder named "setup" in an
// argument cannot pass for the name; a folder such as "kit -v2" in the
// program's path either comes before the first "setup" or leads on with a
// backslash, so it ends nothing.
constexpr std::size_t name_region_end(std::string_view line, std::size_t first_name) {
    bool quoted = false;
    std::size_t end = line.size();  // the blank and dash whose word is being read, else the line's end
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (end < i && c == ' ') return end;  // the word ended without a backslash
        if (c == '\\') end = line.size();     // a folder: read on
        if (c == '"') quoted = !quoted;
        else if (!quoted && i > first_name && c == ' ' && slice(line, i + 1, 1) == "-") end = i;
    }
    return end;
}

// The option's value: the token from its first blank on. Empty when the
// token has no blank or the value is blank, which the caller reports.
std::string_view value_of(std::string_view token) {
    std::size_t blank = token.find(' ');
    if (blank == std::string_view::npos) return {};
    std::string_view value = slice(token, blank);
    return is_blank(value) ? std::string_view() : value;
}

// Applies the rules to one token.
ParseEnd classify(std::string_view t, Options& o) {
    if (contains(t, "help") || is_word(t, "h")) return ParseEnd::usage;
    if (contains(t, "version") || is_word(t, "v") || is_word(t, "ver")) return ParseEnd::version;

    bool stored = true;
    if (contains(t, "batch")) {
        std::string_view value = value_of(t);
        if (value.empty()) return ParseEnd::usage;
        o.batch = true;
        stored = o.forwarded.append_all(" -batch ", value);
    } else if (contains(t, "force") || is_word(t, "f")) {
        o.force = true;
        stored = o.forwarded.append(" -force");
    } else if (contains(t, "noexecute")) {
        o.noexecute = true;
        stored = o.forwarded.append(" -noexecute");
    } else if (contains(t, "target")) {
        std::string_view value = value_of(t);
        if (value.empty()) return ParseEnd::usage;
        o.target = true;
        o.target_path.reset();
        stored = o.target_path.append(value);
    } else if (contains(t, "input")) {
        std::string_view value = value_of(t);
        if (value.empty()) return ParseEnd::usage;
        stored = o.forwarded.append_all(" -input ", value);
    } else if (is_pass_through(t)) {
        stored = o.forwarded.append_all(" -", t);
    } else if (!is_blank(t)) {
        return ParseEnd::usage;
    }
    return stored ? ParseEnd::done : ParseEnd::out_of_memory;
}

}  // namespace

bool is_blank(std::string_view s) {
    constexpr std::string_view kWhite = " \t\n\v\f\r";
    return !s.empty() && s.find_first_not_of(kWhite) == std::string_view::npos;
}

ParseEnd parse_command_line(std::string_view command_line, Options& out) {
    Text lowered = Text::from(command_line);
    if (!lowered.present()) return ParseEnd::out_of_memory;
    lower_in_place(lowered.data(), lowered.size());
    std::string_view line = lowered.view();

    // The program's name and the program directory.
    std::size_t first = line.find(kName);
    if (first == std::string_view::npos) return ParseEnd::done;
    std::size_t name = find_last_match(slice(line, 0, name_region_end(line, first)), kName);
    if (name > 0) {
        std::size_t from = line[0] == '"' ? 1 : 0;
        if (!out.program_dir.make_empty() || !out.program_dir.append(slice(line, from, name - from)))
            return ParseEnd::out_of_memory;
    }

    // The argument tail starts at the first blank from the name on.
    std::size_t blank = line.find(' ', name);
    if (blank == std::string_view::npos) return ParseEnd::done;
    if (!out.tail.append(slice(line, blank)) || !out.forwarded.make_empty()) return ParseEnd::out_of_memory;
    out.nojw = contains(out.tail.view(), "-nojw");  // -nojwx too, and within a value

    // Tokens: cut at every run of dashes; the text before the first dash counts too.
    std::string_view rest = out.tail.view();
    while (!rest.empty()) {
        std::size_t dash = rest.find('-');
        std::string_view token = slice(rest, 0, dash);
        if (!token.empty()) {
            ParseEnd end = classify(token, out);
            if (end != ParseEnd::done) return end;
        }
        if (dash == std::string_view::npos) break;
        rest = slice(rest, dash);
        while (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
    }
    return ParseEnd::done;
}

}  // namespace kvi::setup
