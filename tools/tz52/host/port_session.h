// The port's start and end for the commands that use one, and the Host
// they run with: the driver library loaded, the command line parsed.
#ifndef TZ52_TOOLS_TZ52_HOST_PORT_SESSION_H
#define TZ52_TOOLS_TZ52_HOST_PORT_SESSION_H

#include <string>
#include <vector>

#include "tools/tz52/command_line.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/host/platform.h"
#include "tools/tz52/output/json.h"

// The driver library loaded, the command line parsed: what a command runs
// with, and what it leaves for the JSON document.
struct Host {
    const Invocation* invocation = nullptr;
    std::string libraryPath;
    QmxMainFunction entry = nullptr;
    HostReportAccess report{};
    std::string command = "tz52";
    std::vector<std::string> arguments;  // tz52's, without the program's name

    // --json: the document printed when the command ends, with the
    // failures added (a command that prints its own documents, as poll does
    // once per round, sets documentPrinted).
    Json document = Json::object();
    bool documentPrinted = false;
    std::vector<std::string> errors;  // every message said on stderr
    int failedResult = 0;             // the driver result of the first failure
};

// Exit codes and results.
int ExitCodeOf(int result);
int Worse(int a, int b);

// "tz52 read: MESSAGE" on stderr, kept for the JSON document; `result` is
// the driver result behind it, if any.
void Complain(Host& host, const std::string& message, int result = 0);
std::string DriverFailure(const char* operation, int code, int result);

// The line settings and read timeout (units of 10 ms) a port opens with:
// the driver's defaults, each replaced by the command line's where given.
// On failure it has said why and *exitCode holds the exit code.
bool ResolveLineSettings(Host& host, LineSettings* line, int32_t* readTimeout, int* exitCode);

// The port's name and its line settings resolved, without opening it (the
// bridge opens it itself). On failure it has said why and *exitCode holds
// the exit code.
bool ResolvePortSetup(Host& host, PortSetup* setup, int* exitCode);

// The port commands: every address checked with the driver before any
// traffic, the line settings resolved, the port opened. On failure it has
// said why and *exitCode holds the exit code.
bool StartOnPort(Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* addresses,
                 PortSetup* setup, PortContext* context, int* exitCode);
int CloseOrExplain(Host& host, PortContext* context, const PortSetup& setup);

#endif  // TZ52_TOOLS_TZ52_HOST_PORT_SESSION_H
