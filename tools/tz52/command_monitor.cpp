#include "tools/tz52/command_monitor.h"

#include <cstdio>

#include "tools/tz52/driver_calls.h"
#include "tools/tz52/monitor.h"

namespace {

// The parity letter of the driver's parity code.
const char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};

}  // namespace

int RunMonitorCommand(const Invocation& invocation, QmxMainFunction entry) {
    DriverInfo info;
    const int result = QueryDriverInfo(entry, &info);
    if (result != kResultOk) {
        std::fprintf(stderr, "tz52 monitor: cannot learn the default line settings: DriverInfo gave result %d: %s\n",
                     result, ResultMeaning(result));
        return result == kResultRefused ? kExitRefused : kExitLineFailure;
    }
    const LineOverrides& given = invocation.line;
    tz52monitor::MonitorSettings settings;
    settings.devicePath = invocation.device;
    settings.linkPath = invocation.link;
    settings.capturePath = invocation.capture;
    settings.decodePath = invocation.decode;
    settings.baud = given.hasBaudRate ? given.baudRate : info.baudRate;
    settings.dataBits = given.hasDataBits ? given.dataBits : info.dataBits;
    const uint16_t parity = given.hasParity ? given.parityCode : info.parity;
    settings.parity = parity < sizeof kParityLetters ? kParityLetters[parity] : 'N';
    const uint16_t stopBits = given.hasStopBits ? given.stopBitsCode : info.stopBits;
    settings.readLimitMs = 10 * (given.hasReadTimeout ? given.readTimeout : info.readTimeout);
    settings.readLimitGiven = given.hasReadTimeout;
    settings.display.json = invocation.json;
    settings.display.clock = invocation.clock;
    settings.display.raw = invocation.raw;
    if (!invocation.decode.empty()) return tz52monitor::RunMonitorDecode(settings);
    if (stopBits == 1) {
        std::fprintf(stderr, "tz52 monitor: --stop-bits 1.5: a serial device here takes 1 or 2 stop bits\n");
        return kExitUsage;
    }
    settings.stopBits = stopBits == 2 ? 2 : 1;
    return tz52monitor::RunMonitorLive(settings);
}
