// The installation record under HKEY_LOCAL_MACHINE, in the registry's 32-bit
// view: its key, the values setup and Install keep in it, their reads and
// writes. The test tools and the benchmark take its key from here too.
#pragma once

#include "handles.h"

namespace kvi {

inline constexpr char kRecordKey[] = "Software\\HalvikTorvanex\\HalvikTorvanexJI";
inline constexpr char kValueOriginalSource[] = "OriginalSource";
inline constexpr char kValueVersion[] = "Version";
inline constexpr char kValueInstPath[] = "InstPath";
inline constexpr char kValueUninstCmd[] = "UninstCmd";

// Opens the record with full access, creating it when missing; not open when that fails.
OwnedKey open_record();
// The record when it is open; else the record opened for reading only, as a standard
// user, who cannot open it for writing, still may (not open when missing).
OwnedKey readable_record(OwnedKey record);

// Writes a text value of exactly `bytes` bytes and notes it in the trace; with
// Key::none nothing is written, and it is noted as not written.
bool write_value(plat::Key key, const char* name, const char* data, std::uint32_t bytes);
// Reads a value into out (present afterwards, empty when it is missing or unreadable)
// and notes it in the trace. Returns its size as the registry gives it: 0 when missing or empty.
std::uint32_t read_value(plat::Key key, const char* name, Text& out);

}  // namespace kvi
