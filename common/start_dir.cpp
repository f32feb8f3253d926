#include "start_dir.h"

#include "constants.h"
#include "platform.h"
#include "trace.h"

namespace kvi {

void settle_start_dir() {
    char value[kPathMax];
    std::uint32_t n = plat::get_env(kStartDirVar, value, kPathMax);
    if (n != 0) return trace::note("start dir kept %s", n < kPathMax ? value : nullptr);
    Text current;
    bool set = plat::current_dir(current) && plat::set_env(kStartDirVar, current.c_str());
    trace::note("start dir %sset %s", trace::maybe_not(set), current.c_str());
}

}  // namespace kvi
