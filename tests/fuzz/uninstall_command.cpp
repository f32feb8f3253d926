// The uninstall command and the values self-registration writes, for a
// fuzzed current directory of any length.

#include "fuzz_support.h"
#include "registration.h"

namespace {

using expected::kRecord;
const char* const kEntry = expected::kUninstallEntry;

// The command and its byte count: the directory, a backslash unless it ends in
// one, "Install.exe -remove"; the program's path in quotes when it holds a
// blank. dir + 21 (+ 2) bytes, so a directory that brings its own backslash
// leaves one more zero byte behind the terminator.
std::string expected_bytes(const std::string& dir) {
    const bool quote = dir.find(' ') != std::string::npos;
    const bool root = !dir.empty() && dir.back() == '\\';
    std::string text = std::string(quote ? "\"" : "") + dir + (root ? "" : "\\") + "Install.exe" + (quote ? "\"" : "") +
                       " -remove";
    std::size_t bytes = dir.size() + 21 + (quote ? 2 : 0);
    FUZZ_CHECK(bytes == text.size() + (root ? 2 : 1));
    return text + std::string(bytes - text.size(), '\0');
}

void check_build(const std::string& dir) {
    kvi::Text out;
    std::uint32_t bytes = kvi::install::build_uninstall_command(out, dir);
    const std::string want = expected_bytes(dir);
    FUZZ_CHECK(bytes == want.size());
    // Every byte up to the count is readable: the text, then zeros.
    FUZZ_CHECK(std::string(out.c_str(), bytes) == want);
}

void check_registration(const std::string& dir) {
    fake::reset();
    fake::state().cwd = dir;
    kvi::install::Registration end = kvi::install::register_installation();
    // The step reports what happened; the boxes are the flow's.
    FUZZ_CHECK(fuzz::clean_end({}));
    if (dir.empty()) {
        // No directory to register: the run ends, after the registration box.
        FUZZ_CHECK(end == kvi::install::Registration::failed);
        return;
    }
    FUZZ_CHECK(end == kvi::install::Registration::done);
    const std::string command = expected_bytes(dir);
    FUZZ_CHECK(fake::value(kRecord, "UninstCmd") == command);
    FUZZ_CHECK(fake::value(kRecord, "InstPath") == dir + '\0');
    FUZZ_CHECK(fake::value(kRecord, "Version") == std::string("1.8-002", 8));
    FUZZ_CHECK(fake::value(kEntry, "DisplayName") == std::string("Halvik Torvanex Products", 25));
    FUZZ_CHECK(fake::value(kEntry, "UninstallString") == command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The builder takes any bytes; the platform reports a directory up to its first zero.
    check_build(fuzz::bytes(data, size));
    check_registration(fuzz::platform_text(data, size));
    return 0;
}
