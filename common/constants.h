// Names and numbers that setup and Install share: both programs must agree on
// them byte for byte, so they live in one place.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvi {

// The version both programs carry, written to the record and compared by setup.
inline constexpr char kOwnVersion[] = "1.8-002";

// Install's answer to setup's version probe (0xFFFFFBAA as an unsigned exit code).
inline constexpr std::int32_t kProbeAnswer = -1110;

// Environment variable that carries the folder the installation was started from.
inline constexpr char kStartDirVar[] = "KVI_START_DIR";

// The security of the usual location's folders, which everything copied into
// them inherits. Owner Administrators (O:BA): only an elevated administrator
// can give that owner, so a folder a standard user made can never pass for
// one setup made. The list is protected from the drive's inherited entries
// (P); SYSTEM and Administrators get full control, Users read and execute.
inline constexpr char kInstalledFolderSddl[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The platform's path limit: 260 UTF-16 characters, NUL included. Texts hold
// UTF-8, up to three bytes for each such character, so a path's text is sized
// from the length the platform reports, and its characters are counted.
inline constexpr std::uint32_t kPathMax = 260;

// True when a path (UTF-8) has at most 259 UTF-16 characters: one for each
// letter, two for one beyond the basic plane (a four-byte sequence).
constexpr bool within_path_limit(std::string_view path) {
    std::size_t units = 0;
    for (char c : path) {
        unsigned char b = static_cast<unsigned char>(c);
        units += ((b & 0xC0) != 0x80) + (b >= 0xF0);
    }
    return units < kPathMax;
}

}  // namespace kvi
