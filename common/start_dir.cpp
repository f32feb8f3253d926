#include "start_dir.h"

#include <utility>

#include "constants.h"
#include "platform.h"
#include "trace.h"

namespace kvi {

bool read_path(std::uint32_t (*read)(char* buf, std::uint32_t cap), Text& out) {
    // The path may change between two calls (a directory, say), so ask again
    // with each size the platform names until it fits.
    std::uint32_t cap = kPathMax;
    for (int tries = 0; tries < 4; ++tries) {
        Text buf;
        if (!buf.reserve(cap - 1)) return false;
        std::uint32_t n = read(buf.data(), cap);
        if (n == 0) return false;
        if (n < cap) {
            buf.fit_to_terminator();
            out = std::move(buf);
            return true;
        }
        if (n == UINT32_MAX) return false;
        cap = n + 1;
    }
    return false;
}

bool read_current_dir(Text& out) { return read_path(plat::get_current_dir, out); }

void settle_start_dir() {
    char value[kPathMax];
    std::uint32_t n = plat::get_env(kStartDirVar, value, kPathMax);
    if (n != 0) return trace::note("start dir kept %s", n < kPathMax ? value : nullptr);
    Text current;
    bool set = read_current_dir(current) && plat::set_env(kStartDirVar, current.c_str());
    trace::note("start dir %s %s", trace::maybe_not(set, "not set"), current.c_str());
}

}  // namespace kvi
