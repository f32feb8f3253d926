#include "handles.h"

#include "trace.h"

namespace kvi {

bool StartedProcess::start(const plat::StartRequest& request) {
    plat::Started started;
    bool ok = plat::start_process(request, started);
    elevation_required_ = started.elevation_required;
    trace::started(request, ok);
    if (!ok) return false;
    thread_.reset(started.thread);
    process_.reset(started.process);
    return true;
}

}  // namespace kvi
