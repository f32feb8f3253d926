#include "start_dir.h"

#include "constants.h"
#include "platform.h"
#include "trace.h"

namespace kvi {

bool read_current_dir(Text& out) {
    char buf[kPathMax];
    std::uint32_t n = plat::get_current_dir(buf, kPathMax);
    if (n == 0) return false;
    if (n < kPathMax) {
        out.reset();
        return out.append(std::string_view(buf, n));
    }
    // Longer than the usual limit: ask again with the size the platform named.
    // The directory may change in between, so loop until it fits.
    for (int tries = 0; tries < 4; ++tries) {
        Text big;
        if (!big.reserve(n)) return false;
        std::uint32_t got = plat::get_current_dir(big.data(), n + 1);
        if (got == 0) return false;
        if (got <= n) {
            out.reset();
            return out.append(std::string_view(big.c_str(), got));
        }
        n = got;
    }
    return false;
}

void settle_start_dir() {
    char value[kPathMax];
    std::uint32_t n = plat::get_env(kStartDirVar, value, kPathMax);
    if (n != 0) return trace::note("start dir kept %s", n < kPathMax ? value : nullptr);
    Text current;
    bool set = read_current_dir(current) && plat::set_env(kStartDirVar, current.c_str());
    trace::note("start dir %s %s", trace::maybe_not(set, "not set"), current.c_str());
}

}  // namespace kvi
