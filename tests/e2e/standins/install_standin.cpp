// Stand-in for an installed Install.exe, for setup's tests. It records how it
// was started (setup may start it twice: the version probe, then the hand-off)
// and whether it got a console window (setup starts both without one), and
// ends with KVI_PROBE_EXIT (default -1110, the right answer) for a command line
// holding "-verctrl", otherwise with KVI_HANDOFF_EXIT (default 0).
#include "record.h"

int main() {
    standin::Record rec;
    bool probe = standin::lower(GetCommandLineA()).find("-verctrl") != std::string::npos;
    rec.add("mode", probe ? "probe" : "other");
    rec.add("console_window", GetConsoleWindow() ? "1" : "0");
    UINT status = static_cast<UINT>(probe ? standin::env_number("KVI_PROBE_EXIT", -1110)
                                          : standin::env_number("KVI_HANDOFF_EXIT", 0));
    rec.add_hex("exit", status);
    rec.write();
    ExitProcess(status);
}
