// Live monitoring needs pseudo-terminals; on Windows tz52 monitor decodes
// captures only.
#include <cstdio>

#include "tools/tz52/monitor.h"

namespace tz52monitor {

int RunMonitorLive(const MonitorSettings&) {
    std::fprintf(stderr,
                 "tz52 monitor: watching a live line needs Linux (or another POSIX system); on Windows, "
                 "tz52 monitor --decode FILE reads a capture\n");
    return 2;
}

}  // namespace tz52monitor
