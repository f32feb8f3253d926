// The trace for support people: when KVI_TRACE names a file, each program
// appends one line per decision to it. With the variable unset or empty the
// only platform call made here is the one read of it in begin(); everything
// else returns at once. A trace that cannot be written is dropped.
#pragma once

#include <cstdint>

#include "platform.h"

namespace kvi::trace {

inline constexpr char kVariable[] = "KVI_TRACE";

// Reads KVI_TRACE once, opens the file it names for appending, and writes the
// start line: own version, command line as received, current directory.
// An elevated process writes only to a .log or .txt file that reads back
// from its handle as the name given, else to none. `program` must outlive
// the trace.
void begin(const char* program);

// Writes the exit status, closes the file and returns the status.
int end(int status);

// True between a begin() that opened the file and end().
bool on();

// Writes one line: the bytes of the format f with each % directive replaced by the
// next argument: %s a zero-terminated text (null: nothing), written with
// each control byte as \xNN so that no name can break the line or forge
// another; %u an unsigned 32-bit number, %x one as eight hex digits
// (exit statuses: -1110 is 0xFFFFFBAA). A C variadic function: the smallest
// call (one push per argument) at the many places that trace, and the
// compiler checks every call's arguments against its format.
__attribute__((format(printf, 1, 2))) void note(const char* f, ...);  // NOLINT(cert-dcl50-cpp)

// "not " in front of the word that follows it in a format, unless `yes`.
constexpr const char* maybe_not(bool yes) { return yes ? "" : "not "; }

// One start of a process, as the request gave it; on failure with the error code.
void started(const plat::StartRequest& request, bool ok);

}  // namespace kvi::trace
