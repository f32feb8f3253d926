#include "record.h"

#include "platform.h"
#include "trace.h"

namespace kvi {

OwnedKey open_record() { return OwnedKey(plat::create_key(plat::local_machine(), kRecordKey)); }

OwnedKey readable_record(OwnedKey record) {
    if (record.open()) return record;
    OwnedKey readable(plat::open_key_for_reading(plat::local_machine(), kRecordKey));
    trace::note("record %sopened for reading", trace::maybe_not(readable.open()));
    return readable;
}

bool write_value(plat::Key key, const char* name, const char* data, std::uint32_t bytes) {
    bool ok = key != plat::Key::none && plat::set_string_value(key, name, data, bytes);
    trace::value_written(name, data, bytes, ok);
    return ok;
}

std::uint32_t read_value(plat::Key key, const char* name, Text& out) {
    std::uint32_t size = plat::read_string(key, name, out);
    if (!out.present() && !out.make_empty()) return size;
    trace::note(trace::kValueLine, "read", name, size, out.c_str());
    return size;
}

}  // namespace kvi
