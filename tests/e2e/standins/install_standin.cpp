// Stand-in for an installed Install.exe, for setup's tests. It records how it
// was started (setup may start it twice: the version probe, then the
// hand-off) and ends with a chosen status: for a command line holding
// "-verctrl" the status in KVI_PROBE_EXIT (default -1110, the right answer),
// otherwise the status in KVI_HANDOFF_EXIT (default 0). It records whether it
// got a console window: setup starts the probe and the hand-off without one.
#include "record.h"

int main() {
    standin::Record rec;
    std::string cmd = standin::lower(GetCommandLineA());
    bool probe = cmd.find("-verctrl") != std::string::npos;
    rec.add("mode", probe ? "probe" : "other");
    rec.add("console_window", GetConsoleWindow() ? "1" : "0");
    UINT status = static_cast<UINT>(probe ? standin::env_number("KVI_PROBE_EXIT", -1110)
                                          : standin::env_number("KVI_HANDOFF_EXIT", 0));
    rec.add_hex("exit", status);
    rec.write();
    ExitProcess(status);
}
