// The installation record: one key under HKEY_LOCAL_MACHINE, in the
// registry's 32-bit view, whose values setup and Install write and setup
// reads. The test tools take its name from here too.
#pragma once

#include <cstdint>

#include "handles.h"
#include "text.h"

namespace kvi {

inline constexpr char kRecordKey[] = "Software\\HalvikTorvanex\\HalvikTorvanexJI";
inline constexpr char kValueOriginalSource[] = "OriginalSource";
inline constexpr char kValueVersion[] = "Version";
inline constexpr char kValueInstPath[] = "InstPath";
inline constexpr char kValueUninstCmd[] = "UninstCmd";

// Opens the record with full access, creating it when missing; not open when
// that fails (a standard user's).
OwnedKey open_record();

// Returns the record when it is open; else opens it for reading only, as a
// standard user, who cannot open it for writing, still may (not open when missing).
OwnedKey readable_record(OwnedKey record);

// Writes a text value of exactly `bytes` bytes and notes it in the trace;
// without a key (Key::none) nothing is written and it is noted as not written.
bool write_value(plat::Key key, const char* name, const char* data, std::uint32_t bytes);

// Reads a value into out (present afterwards, empty when it is missing or
// unreadable) and notes it in the trace. Returns its size as the registry
// gives it: 0 when it is missing or empty.
std::uint32_t read_value(plat::Key key, const char* name, Text& out);

}  // namespace kvi
