// The port's start and end: addresses checked, line settings resolved, the
// port opened and closed, each failure said in words.
#include "tools/tz52/host/port_session.h"

#include <cstdio>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/host/log_line.h"

int ExitCodeOf(int result) {
    // 1 stays a refusal; anything else that is not success is a failure.
    if (result == kResultOk) return kExitOk;
    return result == kResultRefused ? kExitRefused : kExitLineFailure;
}

int Worse(int a, int b) { return a > b ? a : b; }

void Complain(Host& host, const std::string& message, int result) {
    LogLine(LogLevel::kError, host.command, message);
    host.errors.push_back(message);
    if (host.failedResult == kResultOk) host.failedResult = result;
}

std::string DriverFailure(const char* operation, int code, int result) {
    return std::string(operation) + " (operation " + std::to_string(code) + ") gave result " + std::to_string(result) +
           ": " + ResultMeaning(result);
}

bool ResolveLineSettings(Host& host, LineSettings* line, int32_t* readTimeout, int* exitCode) {
    DriverInfo info;
    const int result = QueryDriverInfo(host.entry, &info);
    if (result != kResultOk) {
        Complain(host, "cannot learn the default line settings: " + DriverFailure("DriverInfo", kOpDriverInfo, result),
                 result);
        *exitCode = ExitCodeOf(result);
        return false;
    }
    const LineOverrides& given = host.invocation->line;
    *readTimeout = given.hasReadTimeout ? given.readTimeout : info.readTimeout;
    line->baudRate = given.hasBaudRate ? given.baudRate : info.baudRate;
    line->dataBits = given.hasDataBits ? given.dataBits : info.dataBits;
    line->stopBits = given.hasStopBits ? given.stopBitsCode : info.stopBits;
    line->parity = given.hasParity ? given.parityCode : info.parity;
    return true;
}

// The port's name and line settings, before it opens.
bool ResolvePortSetup(Host& host, PortSetup* setup, int* exitCode) {
    setup->name = host.invocation->port;
    if (!ResolveLineSettings(host, &setup->line, &setup->readTimeout, exitCode)) return false;
    const std::string conflict = StopBitsConflict(setup->line.dataBits, setup->line.stopBits);
    if (!conflict.empty()) {
        Complain(host, conflict + "; port " + setup->name + " was not opened");
        *exitCode = kExitUsage;
        return false;
    }
    return true;
}

namespace {

// Checks every address with the driver before anything goes on the line.
// Returns false, having said why, when any is refused.
bool CheckAllAddresses(Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* out) {
    bool allValid = true;
    for (const std::string& text : texts) {
        CheckedAddress address = CheckAddress(host.entry, text);
        if (address.result != kResultOk) {
            Complain(host,
                     Quoted(text) + " is not a valid point address (address check, operation " +
                         std::to_string(kOpCheckAddress) + ", result " +
                         std::to_string(address.result) + "): " + AddressRefusalReason(address),
                     address.result);
            allValid = false;
        }
        out->push_back(address);
    }
    if (!allValid) Complain(host, "nothing was sent; port " + host.invocation->port + " was not opened");
    return allValid;
}

// The port as the driver's defaults and the command line set it up; a
// combination the line cannot carry is refused here, before the port opens.
// Opens the port; on failure says why, with the host support library's
// report and the system's own reason.
bool OpenOrExplain(Host& host, PortContext* context, const PortSetup& setup, int* exitCode) {
    const int reportsBefore = host.report.reportCount ? host.report.reportCount() : 0;
    const int result = OpenPort(host.entry, context, setup);
    if (result == kResultOk) return true;
    std::string message = "cannot open port " + setup.name + " at " + DescribeLine(setup.line) + ": " +
                          DriverFailure("Open", kOpOpen, result);
    if (host.report.reportCount && host.report.reportCount() > reportsBefore) {
        message += "; the driver reported " + Quoted(host.report.lastMessage());
    }
    const std::string systemReason = DiagnosePortOpen(setup.name);
    if (!systemReason.empty()) message += "; " + systemReason;
    Complain(host, message, result);
    *exitCode = ExitCodeOf(result);
    return false;
}

}  // namespace

bool StartOnPort(Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* addresses,
                 PortSetup* setup, PortContext* context, int* exitCode) {
    if (!CheckAllAddresses(host, texts, addresses)) {
        *exitCode = kExitRefused;
        return false;
    }
    return ResolvePortSetup(host, setup, exitCode) && OpenOrExplain(host, context, *setup, exitCode);
}

int CloseOrExplain(Host& host, PortContext* context, const PortSetup& setup) {
    const int result = ClosePort(host.entry, context);
    if (result == kResultOk) return kExitOk;
    Complain(host, "closing port " + setup.name + " failed: " + DriverFailure("Close", kOpClose, result),
             result);
    return ExitCodeOf(result);
}
