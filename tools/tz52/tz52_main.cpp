// tz52: a command-line host for the driver library. It loads the library at
// run time and calls QmxMain with the host records, one operation at a time,
// as a host application does: info, check, read, write, poll.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tz52/command_line.h"
#include "tools/tz52/command_monitor.h"
#include "tools/tz52/driver_calls.h"
#include "tools/tz52/host_platform.h"
#include "tools/tz52/output_text.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

// The exit code of a driver result: 1 stays a refusal, anything else that is
// not success is a failure.
int ExitCodeOf(int result) {
    if (result == kResultOk) return kExitOk;
    return result == kResultRefused ? kExitRefused : kExitLineFailure;
}

int Worse(int a, int b) { return a > b ? a : b; }

struct Host {
    Invocation invocation;
    std::string libraryPath;
    QmxMainFunction entry = nullptr;
    HostReportAccess report{};
    const char* command = "tz52";
};

void Complain(const Host& host, const std::string& message) {
    std::fprintf(stderr, "tz52 %s: %s\n", host.command, message.c_str());
}

std::string DriverFailure(const char* operation, int code, int result) {
    return std::string(operation) + " (operation " + std::to_string(code) + ") gave result " + std::to_string(result) +
           ": " + ResultMeaning(result);
}

// ---- info -----------------------------------------------------------------

int RunInfo(const Host& host) {
    DriverInfo info;
    const int result = QueryDriverInfo(host.entry, &info);
    if (result != kResultOk) {
        Complain(host, DriverFailure("DriverInfo", kOpDriverInfo, result));
        return ExitCodeOf(result);
    }
    const LineSettings line{info.baudRate, info.dataBits, info.stopBits, info.parity};
    const std::vector<std::string> banner = Cp437Lines(info.banner);
    const std::string name = info.name != nullptr ? info.name : "";
    if (host.invocation.json) {
        std::string bannerJson;
        for (const std::string& text : banner) bannerJson += (bannerJson.empty() ? "" : ",") + JsonString(text);
        std::printf(
            "{\"library\":%s,\"name\":%s,\"banner\":[%s],\"infoVersion\":%d,\"inUse\":%d,\"readTimeout\":%d,"
            "\"readTimeoutMs\":%d,\"baudRate\":%u,\"dataBits\":%u,\"stopBitsCode\":%u,\"parityCode\":%u,"
            "\"lastField\":%d,\"line\":%s}\n",
            JsonString(host.libraryPath).c_str(), JsonString(name).c_str(), bannerJson.c_str(), info.infoVersion,
            info.inUse, info.readTimeout, info.readTimeout * 10, info.baudRate, info.dataBits, info.stopBits,
            info.parity, info.reserved, JsonString(DescribeLine(line)).c_str());
        return kExitOk;
    }
    std::printf("Driver      \"%s\"\n", name.c_str());
    std::printf("Library     %s\n", host.libraryPath.c_str());
    for (size_t i = 0; i < banner.size(); ++i) {
        std::printf("%s%s\n", i == 0 ? "Banner      " : "            ", banner[i].c_str());
    }
    std::printf("Defaults    %s, read limit %d (%s)\n", DescribeLine(line).c_str(), info.readTimeout,
                DescribeReadTimeout(info.readTimeout).c_str());
    std::printf("Info record version %d, in-use value %d, last field %d\n", info.infoVersion, info.inUse,
                info.reserved);
    return kExitOk;
}

// ---- check ------------------------------------------------------------------

std::string TypeName(int32_t typeCode) { return std::string(1, static_cast<char>(typeCode)); }

int RunCheck(const Host& host) {
    int exitCode = kExitOk;
    std::string json;
    for (const std::string& text : host.invocation.addresses) {
        const CheckedAddress address = CheckAddress(host.entry, text);
        exitCode = Worse(exitCode, ExitCodeOf(address.result));
        if (host.invocation.json) {
            json += json.empty() ? "" : ",";
            json += "{\"address\":" + JsonString(text) + ",\"result\":" + std::to_string(address.result);
            if (address.result == kResultOk) {
                json += ",\"valid\":true,\"station\":" + std::to_string(address.station) +
                        ",\"type\":" + JsonString(TypeName(address.pointType)) +
                        ",\"index\":" + std::to_string(address.pointIndex) + "}";
            } else {
                json += ",\"valid\":false,\"reason\":" + JsonString(AddressRefusalReason(address)) + "}";
            }
            continue;
        }
        if (address.result == kResultOk) {
            std::printf("%s valid    station %d, type %s, index %d\n", PadRight(text, 9).c_str(), address.station,
                        TypeName(address.pointType).c_str(), address.pointIndex);
        } else {
            std::printf("%s refused  result %d: %s\n", PadRight(text, 9).c_str(), address.result,
                        AddressRefusalReason(address).c_str());
        }
    }
    if (host.invocation.json) std::printf("{\"addresses\":[%s]}\n", json.c_str());
    return exitCode;
}

// ---- the port commands: read, write, poll ------------------------------------

// Checks every address with the driver before anything goes on the line.
// Returns false, having said why, when any is refused.
bool CheckAllAddresses(const Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* out) {
    bool allValid = true;
    for (const std::string& text : texts) {
        CheckedAddress address = CheckAddress(host.entry, text);
        if (address.result != kResultOk) {
            Complain(host, "'" + text + "' is not a valid point address (address check, operation 3, result " +
                               std::to_string(address.result) + "): " + AddressRefusalReason(address));
            allValid = false;
        }
        out->push_back(address);
    }
    if (!allValid) Complain(host, "nothing was sent; port " + host.invocation.port + " was not opened");
    return allValid;
}

// The port as the driver's defaults and the command line set it up.
bool ResolvePortSetup(const Host& host, PortSetup* setup, int* exitCode) {
    DriverInfo info;
    const int result = QueryDriverInfo(host.entry, &info);
    if (result != kResultOk) {
        Complain(host, "cannot learn the default line settings: " + DriverFailure("DriverInfo", kOpDriverInfo, result));
        *exitCode = ExitCodeOf(result);
        return false;
    }
    const LineOverrides& given = host.invocation.line;
    setup->name = host.invocation.port;
    setup->readTimeout = given.hasReadTimeout ? given.readTimeout : info.readTimeout;
    setup->line.baudRate = given.hasBaudRate ? given.baudRate : info.baudRate;
    setup->line.dataBits = given.hasDataBits ? given.dataBits : info.dataBits;
    setup->line.stopBits = given.hasStopBits ? given.stopBitsCode : info.stopBits;
    setup->line.parity = given.hasParity ? given.parityCode : info.parity;
    return true;
}

// Opens the port; on failure says why, with the host support library's
// report and the system's own reason.
bool OpenOrExplain(const Host& host, PortContext* context, const PortSetup& setup, int* exitCode) {
    const int reportsBefore = host.report.reportCount ? host.report.reportCount() : 0;
    const int result = OpenPort(host.entry, context, setup);
    if (result == kResultOk) return true;
    std::string message = "cannot open port " + setup.name + " at " + DescribeLine(setup.line) + ": " +
                          DriverFailure("Open", kOpOpen, result);
    if (host.report.reportCount && host.report.reportCount() > reportsBefore) {
        message += "; the driver reported \"" + std::string(host.report.lastMessage()) + "\"";
    }
    const std::string systemReason = DiagnosePortOpen(setup.name);
    if (!systemReason.empty()) message += "; " + systemReason;
    Complain(host, message);
    *exitCode = ExitCodeOf(result);
    return false;
}

// What read, write and poll do first: every address checked before any
// traffic, the line settings resolved, the port opened. On failure it has
// said why and *exitCode holds the exit code.
bool StartOnPort(const Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* addresses,
                 PortSetup* setup, PortContext* context, int* exitCode) {
    if (!CheckAllAddresses(host, texts, addresses)) {
        *exitCode = kExitRefused;
        return false;
    }
    return ResolvePortSetup(host, setup, exitCode) && OpenOrExplain(host, context, *setup, exitCode);
}

int CloseOrExplain(const Host& host, PortContext* context, const PortSetup& setup) {
    const int result = ClosePort(host.entry, context);
    if (result == kResultOk) return kExitOk;
    Complain(host, "closing port " + setup.name + " failed: " + DriverFailure("Close", kOpClose, result));
    return ExitCodeOf(result);
}

std::string PortJson(const PortSetup& setup) {
    return "\"port\":" + JsonString(setup.name) + ",\"line\":" + JsonString(DescribeLine(setup.line)) +
           ",\"readTimeout\":" + std::to_string(setup.readTimeout);
}

std::string PointJson(const std::string& address, int result, const char* valueName, uint16_t value,
                      const std::string& failure) {
    std::string json = "{\"address\":" + JsonString(address) + ",\"result\":" + std::to_string(result);
    if (valueName != nullptr) json += ",\"" + std::string(valueName) + "\":" + std::to_string(value);
    if (!failure.empty()) json += ",\"error\":" + JsonString(failure);
    return json + "}";
}

int RunRead(const Host& host) {
    std::vector<CheckedAddress> addresses;
    PortSetup setup;
    PortContext context{};
    int exitCode = kExitOk;
    if (!StartOnPort(host, host.invocation.addresses, &addresses, &setup, &context, &exitCode)) return exitCode;

    std::string json;
    if (!host.invocation.json) std::printf("POINT     VALUE  HEX     RESULT\n");
    for (const CheckedAddress& address : addresses) {
        uint16_t value = 0;
        const int result = ReadPointValue(host.entry, &context, address, &value);
        exitCode = Worse(exitCode, ExitCodeOf(result));
        const std::string point = CanonicalAddress(address);
        const std::string failure = result == kResultOk ? "" : PointFailureReason(false, result, address, setup);
        if (!failure.empty()) Complain(host, "read " + point + ": result " + std::to_string(result) + " (" +
                                                 ResultMeaning(result) + "): " + failure);
        if (host.invocation.json) {
            json += (json.empty() ? "" : ",") + PointJson(point, result, result == kResultOk ? "value" : nullptr,
                                                          value, failure);
        } else if (result == kResultOk) {
            std::printf("%s %7u  %s  ok\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str());
        } else {
            std::printf("%s %7s  %-6s  failed (result %d)\n", point.c_str(), "-", "-", result);
        }
    }
    exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
    if (host.invocation.json) std::printf("{%s,\"points\":[%s]}\n", PortJson(setup).c_str(), json.c_str());
    return exitCode;
}

// An O point holds one bit: it reads back bit 0 of what was written.
bool ReadBackMatches(const CheckedAddress& address, uint16_t written, uint16_t readBack) {
    if (address.pointType == kPointO) return readBack == (written & 1u);
    return readBack == written;
}

int RunWrite(const Host& host) {
    std::vector<std::string> texts;
    for (const PointWrite& write : host.invocation.writes) texts.push_back(write.address);
    std::vector<CheckedAddress> addresses;
    PortSetup setup;
    PortContext context{};
    int exitCode = kExitOk;
    if (!StartOnPort(host, texts, &addresses, &setup, &context, &exitCode)) return exitCode;

    const bool verify = host.invocation.verify;
    std::string json;
    if (!host.invocation.json) {
        std::printf(verify ? "POINT   WRITTEN  HEX     READ BACK  RESULT\n" : "POINT   WRITTEN  HEX     RESULT\n");
    }
    for (size_t i = 0; i < addresses.size(); ++i) {
        const CheckedAddress& address = addresses[i];
        const uint16_t value = host.invocation.writes[i].value;
        const std::string point = CanonicalAddress(address);
        std::string failure;
        std::string status = "ok";
        int result = WritePointValue(host.entry, &context, address, value);
        if (result != kResultOk) {
            failure = PointFailureReason(true, result, address, setup);
            Complain(host, "write " + point + ": result " + std::to_string(result) + " (" + ResultMeaning(result) +
                               "): " + failure);
            status = "write failed (result " + std::to_string(result) + ")";
        }
        uint16_t readBack = 0;
        bool haveReadBack = false;
        if (result == kResultOk && verify) {
            result = ReadPointValue(host.entry, &context, address, &readBack);
            if (result != kResultOk) {
                failure = PointFailureReason(false, result, address, setup);
                Complain(host, "read-back of " + point + ": result " + std::to_string(result) + " (" +
                                   ResultMeaning(result) + "): " + failure);
                status = "read-back failed (result " + std::to_string(result) + ")";
            } else if (!ReadBackMatches(address, value, readBack)) {
                haveReadBack = true;
                result = kResultRefused;
                failure = "wrong answer: wrote " + std::to_string(value) + ", read back " + std::to_string(readBack);
                Complain(host, "write " + point + ": " + failure);
                status = "MISMATCH";
            } else {
                haveReadBack = true;
                if (address.pointType == kPointO && value > 1) status = "ok (bit 0)";
            }
        }
        exitCode = Worse(exitCode, ExitCodeOf(result));
        if (host.invocation.json) {
            std::string entry = PointJson(point, result, "written", value, failure);
            if (haveReadBack) entry.insert(entry.size() - 1, ",\"readBack\":" + std::to_string(readBack));
            json += (json.empty() ? "" : ",") + entry;
            continue;
        }
        const std::string readBackText = haveReadBack ? std::to_string(readBack) : "-";
        if (verify) {
            std::printf("%s %7u  %s  %9s  %s\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str(),
                        readBackText.c_str(), status.c_str());
        } else {
            std::printf("%s %7u  %s  %s\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str(),
                        status.c_str());
        }
    }
    exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
    if (host.invocation.json) std::printf("{%s,\"points\":[%s]}\n", PortJson(setup).c_str(), json.c_str());
    return exitCode;
}

// One point's latest reading and how often it failed.
struct PollRow {
    CheckedAddress address;
    std::string point;
    int result = kResultOk;
    uint16_t value = 0;
    bool haveValue = false;
    int64_t failures = 0;
    std::string lastFailure;
};

void SleepUntil(int64_t deadline) {
    // In short slices, so that Ctrl-C ends the wait on every platform.
    for (int64_t now = MonotonicMilliseconds(); now < deadline && !g_stopRequested; now = MonotonicMilliseconds()) {
        SleepMilliseconds(deadline - now < 100 ? deadline - now : 100);
    }
}

int RunPoll(const Host& host) {
    std::vector<CheckedAddress> addresses;
    PortSetup setup;
    PortContext context{};
    int exitCode = kExitOk;
    if (!StartOnPort(host, host.invocation.addresses, &addresses, &setup, &context, &exitCode)) return exitCode;

    std::vector<PollRow> rows;
    for (const CheckedAddress& address : addresses) {
        PollRow row;
        row.address = address;
        row.point = CanonicalAddress(address);
        rows.push_back(row);
    }
    const bool redraw = !host.invocation.json && CanRedrawInPlace(stdout);
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    const int64_t start = MonotonicMilliseconds();
    int64_t round = 0;
    int drawnLines = 0;
    while (!g_stopRequested && (host.invocation.rounds == 0 || round < host.invocation.rounds)) {
        ++round;
        const int64_t roundStart = MonotonicMilliseconds();
        for (PollRow& row : rows) {
            if (g_stopRequested) break;
            row.result = ReadPointValue(host.entry, &context, row.address, &row.value);
            exitCode = Worse(exitCode, ExitCodeOf(row.result));
            if (row.result == kResultOk) {
                row.haveValue = true;
            } else {
                ++row.failures;
                row.lastFailure = PointFailureReason(false, row.result, row.address, setup);
            }
        }
        const int64_t elapsed = roundStart - start;
        if (host.invocation.json) {
            std::string json;
            for (const PollRow& row : rows) {
                json += (json.empty() ? "" : ",") +
                        PointJson(row.point, row.result, row.result == kResultOk ? "value" : nullptr, row.value,
                                  row.result == kResultOk ? "" : row.lastFailure);
            }
            std::printf("{\"round\":%lld,\"elapsedMs\":%lld,%s,\"points\":[%s]}\n", static_cast<long long>(round),
                        static_cast<long long>(elapsed), PortJson(setup).c_str(), json.c_str());
        } else if (redraw) {
            if (drawnLines > 0) std::printf("\x1b[%dA", drawnLines);
            std::printf("\x1b[2KPOINT     VALUE  HEX     RESULT\n");
            for (const PollRow& row : rows) {
                std::string status = row.result == kResultOk ? "ok" : "failed (result " + std::to_string(row.result) + ")";
                if (row.result != kResultOk && row.haveValue) status += ", last value kept";
                if (row.failures > 0 && row.result == kResultOk) {
                    status += " (" + std::to_string(row.failures) + " failed rounds)";
                }
                const std::string valueText = row.haveValue ? std::to_string(row.value) : "-";
                const std::string hexText = row.haveValue ? HexWord(row.value) : "-";
                std::printf("\x1b[2K%s %7s  %-6s  %s\n", row.point.c_str(), valueText.c_str(), hexText.c_str(),
                            status.c_str());
            }
            std::printf("\x1b[2Kround %lld, every %lld ms, port %s, %s; Ctrl-C stops\n", static_cast<long long>(round),
                        static_cast<long long>(host.invocation.everyMilliseconds), setup.name.c_str(),
                        DescribeLine(setup.line).c_str());
            drawnLines = static_cast<int>(rows.size()) + 2;
        } else {
            std::string line = "round " + std::to_string(round) + " at " + std::to_string(elapsed) + " ms:";
            for (const PollRow& row : rows) {
                line += " " + row.point + "=" +
                        (row.result == kResultOk ? std::to_string(row.value)
                                                 : "failed(" + std::to_string(row.result) + ")");
            }
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
        if (host.invocation.rounds != 0 && round >= host.invocation.rounds) break;
        SleepUntil(roundStart + host.invocation.everyMilliseconds);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    for (const PollRow& row : rows) {
        if (row.failures == 0) continue;
        Complain(host, row.point + " failed in " + std::to_string(row.failures) + " of " + std::to_string(round) +
                           " rounds; last: " + row.lastFailure);
    }
    return Worse(exitCode, CloseOrExplain(host, &context, setup));
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    Host host;
    host.invocation = parsed.invocation;
    host.command = CommandName(host.invocation.command);
    if (!parsed.ok) {
        const std::string help = HelpText(host.invocation.command);
        std::fprintf(stderr, "tz52: %s\n%s\n", parsed.error.c_str(), help.substr(0, help.find('\n')).c_str());
        return kExitUsage;
    }
    if (host.invocation.help) {
        std::fputs(HelpText(host.invocation.command).c_str(), stdout);
        return kExitOk;
    }

    host.libraryPath = host.invocation.libraryPath.empty() ? DefaultDriverLibraryPath() : host.invocation.libraryPath;
    std::string loadError;
    if (!LoadDriverLibrary(host.libraryPath, &host.entry, &loadError)) {
        Complain(host, "cannot load the driver library " + host.libraryPath + ": " + loadError +
                           (host.invocation.libraryPath.empty() ? " (choose one with --lib PATH)" : ""));
        return kExitLineFailure;
    }
    // The driver's Open report is shown as part of tz52's own message.
    host.report = FindHostReport();
    if (host.report.setEcho) host.report.setEcho(0);

    switch (host.invocation.command) {
        case Command::kInfo: return RunInfo(host);
        case Command::kCheck: return RunCheck(host);
        case Command::kRead: return RunRead(host);
        case Command::kWrite: return RunWrite(host);
        case Command::kPoll: return RunPoll(host);
        case Command::kMonitor: return RunMonitorCommand(host.invocation, host.entry);
        case Command::kNone: break;
    }
    return kExitUsage;
}
