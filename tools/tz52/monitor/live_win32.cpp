// Live monitoring needs pseudo-terminals; on Windows tz52 monitor decodes
// captures only.
#include "tools/tz52/monitor/monitor.h"

namespace tz52monitor {

MonitorOutcome RunMonitorLive(const MonitorSettings&) {
    MonitorOutcome outcome;
    outcome.exitCode = 2;
    outcome.failure =
        "watching a live line needs Linux (or another POSIX system); on Windows, tz52 monitor --decode FILE "
        "reads a capture";
    return outcome;
}

}  // namespace tz52monitor
