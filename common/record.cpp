#include "record.h"

#include "platform.h"
#include "trace.h"

namespace kvi {

// The trace's line of a value read or written: "read" or "wrote", its name, byte count and text.
constexpr char kValueLine[] = "%s %s, %u bytes <%s>";

OwnedKey open_record() { return OwnedKey(plat::create_key(plat::local_machine(), kRecordKey)); }

OwnedKey readable_record(OwnedKey record) {
    if (record.open()) return record;
    OwnedKey readable(plat::open_key_for_reading(plat::local_machine(), kRecordKey));
    trace::note("record %sopened for reading", trace::maybe_not(readable.open()));
    return readable;
}

bool write_value(plat::Key key, const char* name, const char* data, std::uint32_t bytes) {
    bool ok = key != plat::Key::none && plat::set_string_value(key, name, data, bytes);
    if (ok) trace::note(kValueLine, "wrote", name, bytes, data);
    else trace::note("not written %s", name);
    return ok;
}

std::uint32_t read_value(plat::Key key, const char* name, Text& out) {
    std::uint32_t size = plat::read_string(key, name, out);
    if (!out.present() && !out.make_empty()) return size;
    trace::note(kValueLine, "read", name, size, out.c_str());
    return size;
}

}  // namespace kvi
