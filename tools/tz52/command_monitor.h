// tz52 monitor: the command's own part, between tz52's command line and the
// monitor's workings (tools/tz52/monitor.h).
#ifndef TZ52_TOOLS_COMMAND_MONITOR_H
#define TZ52_TOOLS_COMMAND_MONITOR_H

#include "tools/tz52/command_line.h"
#include "tools/tz52/host_platform.h"

// Line settings not given on the command line are the driver's defaults, as
// for every command that opens a port.
int RunMonitorCommand(const Invocation& invocation, QmxMainFunction entry);

#endif  // TZ52_TOOLS_COMMAND_MONITOR_H
