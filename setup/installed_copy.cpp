#include "installed_copy.h"

#include <climits>

#include "constants.h"
#include "platform.h"
#include "trace.h"

namespace kvi::setup {

namespace {

struct VersionFields {
    int field[3] = {0, 0, 0};
};

// The leading-number rule: white space skipped, an optional sign, then
// digits up to the first other character. Values beyond an int are clamped.
int leading_number(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || (piece[i] >= 9 && piece[i] <= 13))) ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    long long value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10 + (piece[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Splits a version text at runs of "." and "-"; false when it has fewer than three fields.
bool split_version(std::string_view text, VersionFields& out) {
    auto is_sep = [](char c) { return c == '.' || c == '-'; };
    std::size_t i = 0;
    for (int n = 0; n < 3; ++n) {
        while (i < text.size() && is_sep(text[i])) ++i;
        if (i == text.size()) return false;
        std::size_t piece = i;
        while (i < text.size() && !is_sep(text[i])) ++i;
        out.field[n] = leading_number(slice(text, piece, i - piece));
    }
    return true;
}

// Starts a command line as a new process: no inherited handles, a start-up
// record that is all zero but its size; no console window when asked.
bool start(Text& command, StartedProcess& process, bool no_window) {
    plat::StartRequest request;
    request.command_line = command.data();
    request.no_window = no_window;
    return process.start(request);
}

}  // namespace

CheckResult check_installed_copy(OwnedKey record) {
    CheckResult result;
    if (!record.open()) return result;
    Text version;
    std::uint32_t version_size = read_value(record.get(), kValueVersion, version);
    (void)read_value(record.get(), kValueInstPath, result.inst_path);
    record.close();
    if (version_size > 0) result.outcome = version_is_older(version.view()) ? Outcome::older : Outcome::current;
    return result;
}

bool version_is_older(std::string_view stored) {
    VersionFields theirs, ours;
    if (!split_version(stored, theirs)) return true;
    split_version(kOwnVersion, ours);
    for (int i = 0; i < 3; ++i) {
        if (ours.field[i] > theirs.field[i]) return true;
        if (ours.field[i] < theirs.field[i]) return false;
    }
    return false;
}

bool build_install_command(Text& out, std::string_view inst_path, std::string_view rest) {
    out.reset();
    bool quote = contains(inst_path, " ");
    return out.append_all(quote ? "\"" : "", inst_path, "\\Install.exe", quote ? "\"" : "", rest);
}

bool probe(std::string_view inst_path) {
    Text command;
    if (!build_install_command(command, inst_path, " -verctrl")) return false;
    StartedProcess process;
    if (!start(command, process, true)) return false;
    (void)plat::wait_for(process.process(), plat::kInfinite);
    std::uint32_t status = 0;
    bool read = plat::exit_code(process.process(), status);
    trace::note(read ? "probe exit 0x%x" : "probe exit unreadable", status);
    if (!read) return false;
    return status == static_cast<std::uint32_t>(kProbeAnswer);
}

bool hand_off(std::string_view inst_path, const Options& options) {
    if (inst_path.empty()) return false;
    if (!probe(inst_path)) return false;
    Text command;
    if (!build_install_command(command, inst_path, " -silentLaunch -register")) return false;
    if (options.tail.present() && !command.append_all(" ", options.tail.view())) return false;
    if (options.noexecute) return true;
    // With -nojw the console runtime runs in Install's console, which it needs.
    StartedProcess process;
    return start(command, process, !options.nojw);
}

}  // namespace kvi::setup
