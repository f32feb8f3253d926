#include "boxes.h"

#include <string_view>

#include "constants.h"
#include "platform.h"
#include "trace.h"

namespace kvi {

namespace {

struct BoxSpec {
    const char *caption, *text;
    plat::Icon icon;
    std::uint8_t silenced_by;  // Quiet bits
};

// The usage text is stored with setup's code: each section of setup.exe fills
// whole steps of 512 bytes, and its read-only data would otherwise need one
// step more while the code's last one has the room.
#ifdef _WIN32
#define KVI_WITH_THE_CODE [[gnu::section(".text$usage")]]
#else
#define KVI_WITH_THE_CODE
#endif
KVI_WITH_THE_CODE constexpr char kSetupUsage[] =
    "Usage:\n\n"
    "   -target <path>\talternate location to install KVI (usual location C:\\HalvikTorvanex\\Install)\n\n"
    "   -force\t\tforces installation of this version of KVI regardless of existing version\n\n"
    "   -noexecute\tallows installation of KVI but inhibits invocation of KVI\n\n"
    "   -batch <file>\tperforms installation in batch mode\n\n"
    "   -input <file>\tprefills installation input parameters\n\n"
    "   -nosplash\tsuppresses splash screen at startup\n\n"
    "   -nojw\t\topens a command window (useful for getting output from exceptions).\n\n"
    "   -version\t\tdisplays version information\n\n"
    "   -silent\t\truns batch in silent mode (use with -batch)\n\n"
    "   -help\t\tdisplays usage information\n\n";
#undef KVI_WITH_THE_CODE

void show(const BoxSpec& box, unsigned quiet) {
    if (box.silenced_by & quiet) return;
    trace::note("box %s", box.caption);
    plat::message_box(box.text, box.caption, box.icon);
}

constexpr plat::Icon kError = plat::Icon::error, kNoIcon = plat::Icon::none;

}  // namespace

namespace setup {
constexpr BoxSpec kBoxes[] = {
    {"Usage Help", kSetupUsage, kNoIcon, kLoud},
    {"Version Information", " Halvik Torvanex Install version 1.8-002 ", kNoIcon, kLoud},
    {"Registration Error", "Error setting original source.  It may be because you do not have administrator "
     "privileges.  This should not affect the operation of your program.", kError, kLoud},
    {"Application Launch Error", "Error Launching Installation.", kError, kLoud},
};
static_assert(std::string_view(kBoxes[1].text).find(kOwnVersion) == 33, "the version box names the own version");
void show(Box box) { kvi::show(kBoxes[static_cast<int>(box)], kLoud); }
}  // namespace setup

namespace install {
constexpr BoxSpec kBoxes[] = {
    {"Search Error", "Error finding install", kNoIcon, kLoud},
    {"Set Directory Error", "Error navigating to Install Application directory.", kError, kSilentLaunch},
    {"Registration Error", "Error registering Install Application.", kError, kSilentLaunch},
    {"Start Menu Creation Error", "Error creating start menu entry for Halvik Install", kNoIcon, kLoud},
    {"Application Launch Error", "Error launching Install Application.  Possible memory allocation problem.", kError,
     kSilentLaunch | kSilent},
    {"Application Launch Error", "Error launching Install Application.", kError, kSilentLaunch | kSilent},
    {"CreatePipe Error", "CreatePipe(&hChildStdinRd, &hChildStdinWr, &saAttr, 0)", kNoIcon, kLoud},
    {"SetStdHandle Error", "SetStdHandle(STD_INPUT_HANDLE, hChildStdinRd)", kNoIcon, kLoud},
    {"DuplicateHandle Error", "DuplicateHandle(...", kNoIcon, kLoud},
    {"SetStdHandle Error", "SetStdHandle(STD_INPUT_HANDLE, hSaveStdin)", kNoIcon, kLoud},
    {"INVALID_HANDLE_VALUE Error", "(hInputFile == INVALID_HANDLE_VALUE)", kNoIcon, kLoud},
    {"CloseHandle Error", "CloseHandle(hChildStdinWrDup)", kNoIcon, kLoud},
    {"Application Error", "Error Getting Process Code.", kError, kLoud},
};
void show(Box box, unsigned quiet) { kvi::show(kBoxes[static_cast<int>(box)], quiet); }
}  // namespace install

}  // namespace kvi
