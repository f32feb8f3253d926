// The trace for support people: when KVI_TRACE names a file, each program
// appends one line per decision to it. With the variable unset or empty the
// only platform call made here is the one read of it in begin(); everything
// else returns at once. A trace that cannot be written is dropped.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform.h"

namespace kvi::trace {

// The environment variable that names the trace file.
inline constexpr char kVariable[] = "KVI_TRACE";

// Reads KVI_TRACE once, opens the file it names for appending, and writes the
// start line: own version, command line as received, current directory.
// `program` must outlive the trace.
void begin(const char* program);

// Writes the exit status, closes the file and returns the status.
int end(int status);

// True between a begin() that opened the file and end().
bool on();

// A number as text in a buffer of its own, for the pieces of a line.
class Number {
public:
    static Number dec(std::int64_t value);
    static Number hex(std::uint32_t value);  // 0x and eight digits
    operator std::string_view() const { return std::string_view(digits_, size_); }

private:
    char digits_[24] = {};
    std::uint8_t size_ = 0;
};
inline Number dec(std::int64_t value) { return Number::dec(value); }

// Writes one line made of the pieces in turn; control bytes are written as \xNN.
void note(std::initializer_list<std::string_view> pieces);

// A registry value written with its byte count (data shown up to its first
// zero byte), or not written.
void value_written(const char* name, const char* data, std::uint32_t bytes, bool ok);

// One start of a process, as the request gave it; on failure with the error code.
void started(const plat::StartRequest& request, bool ok);

// Shows a message box and notes its caption.
void box(const char* text, const char* caption, plat::Icon icon);

}  // namespace kvi::trace
