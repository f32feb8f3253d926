// The Start-menu shortcut's paths, for a fuzzed current directory and
// Programs folder: the input is the directory, then a line feed and the
// folder (without one, the usual folder). No link may carry a path beyond
// the platform's limit of 259 UTF-16 characters, however many bytes its
// UTF-8 takes; a step that cannot make its link says it failed.

#include "fuzz_support.h"
#include "shortcut.h"

namespace {

constexpr std::size_t kPathMax = 260;

void check_shortcut(const std::string& dir, const std::string& programs) {
    fake::reset();
    fake::State& s = fake::state();
    fake::enter(dir);
    s.programs_folder = programs;
    s.dirs.insert(programs);

    // The box for a failure is the flow's.
    const bool box = kvi::install::create_start_menu_shortcut() == kvi::install::Shortcut::failed;
    FUZZ_CHECK(fuzz::clean_end({}));
    for (const auto& [file, link] : s.saved_links)
        for (const std::string& path : {file, link.path, link.working_dir, link.icon_path})
            FUZZ_CHECK(fake::utf16_units(path) < kPathMax);

    const bool root = !dir.empty() && dir.back() == '\\';
    const std::string exe = dir + (root ? "" : "\\") + "Install.exe";
    const std::string file = programs + "\\Halvik Torvanex\\Halvik Install.lnk";
    const bool made = !s.saved_links.empty();

    if (dir.empty() || fake::utf16_units(exe) >= kPathMax) {
        // The directory does not fit: a box, and COM is never set up.
        FUZZ_CHECK(!made && box && s.com_inits == 0);
    } else if (programs.empty()) {
        // A lookup that gives no folder has failed: silence.
        FUZZ_CHECK(!made && !box && s.com_inits == 0);
    } else if (fake::utf16_units(file) >= kPathMax) {
        // The Programs folder is read whole, at any length; the link's file does not fit.
        FUZZ_CHECK(!made && box && s.com_inits == 0);
    } else {
        // Made, or the save failed and said so.
        FUZZ_CHECK(made != box);
        if (made) {
            FUZZ_CHECK(s.saved_links.size() == 1 && s.saved_links.count(file) == 1);
            const fake::Link& link = s.saved_links.begin()->second;
            FUZZ_CHECK(link.path == exe && link.icon_path == exe && link.icon_index == 0);
            FUZZ_CHECK(link.working_dir == dir && link.description == "Halvik Torvanex Install");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Halves halves = fuzz::split_at_line_feed(fuzz::platform_text(data, size));
    check_shortcut(halves.first, halves.second.value_or("C:\\Users\\Ann\\Start Menu\\Programs"));
    return 0;
}
