// What the commands share: exit codes, messages, the port's start and end,
// the JSON pieces.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/command.h"

int ExitCodeOf(int result) {
    // 1 stays a refusal; anything else that is not success is a failure.
    if (result == kResultOk) return kExitOk;
    return result == kResultRefused ? kExitRefused : kExitLineFailure;
}

int Worse(int a, int b) { return a > b ? a : b; }

void Complain(Host& host, const std::string& message, int result) {
    std::fprintf(stderr, "tz52 %s: %s\n", host.command.c_str(), message.c_str());
    host.errors.push_back(message);
    if (host.failedResult == kResultOk) host.failedResult = result;
}

std::string DriverFailure(const char* operation, int code, int result) {
    return std::string(operation) + " (operation " + std::to_string(code) + ") gave result " + std::to_string(result) +
           ": " + ResultMeaning(result);
}

const char kAddressHelp[] =
    "ADDRESS is the driver's point address: a three-digit station (001 to 127), a point\n"
    "type letter (A B C M O S, either case) and a three-digit index, as in 001M025.\n"
    "The driver judges every address before anything goes on the line.\n";

std::string TypeName(int32_t typeCode) { return std::string(1, static_cast<char>(typeCode)); }

namespace {

// Checks every address with the driver before anything goes on the line.
// Returns false, having said why, when any is refused.
bool CheckAllAddresses(Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* out) {
    bool allValid = true;
    for (const std::string& text : texts) {
        CheckedAddress address = CheckAddress(host.entry, text);
        if (address.result != kResultOk) {
            Complain(host,
                     Quoted(text) + " is not a valid point address (address check, operation 3, result " +
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
bool ResolvePortSetup(Host& host, PortSetup* setup, int* exitCode) {
    DriverInfo info;
    const int result = QueryDriverInfo(host.entry, &info);
    if (result != kResultOk) {
        Complain(host, "cannot learn the default line settings: " + DriverFailure("DriverInfo", kOpDriverInfo, result),
                 result);
        *exitCode = ExitCodeOf(result);
        return false;
    }
    const LineOverrides& given = host.invocation->line;
    setup->name = host.invocation->port;
    setup->readTimeout = given.hasReadTimeout ? given.readTimeout : info.readTimeout;
    setup->line.baudRate = given.hasBaudRate ? given.baudRate : info.baudRate;
    setup->line.dataBits = given.hasDataBits ? given.dataBits : info.dataBits;
    setup->line.stopBits = given.hasStopBits ? given.stopBitsCode : info.stopBits;
    setup->line.parity = given.hasParity ? given.parityCode : info.parity;
    const std::string conflict = StopBitsConflict(setup->line.dataBits, setup->line.stopBits);
    if (!conflict.empty()) {
        Complain(host, conflict + "; port " + setup->name + " was not opened");
        *exitCode = kExitUsage;
        return false;
    }
    return true;
}

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

void AddPortJson(Json* document, const PortSetup& setup) {
    (*document)["port"] = setup.name;
    (*document)["line"] = DescribeLine(setup.line);
    (*document)["readTimeout"] = setup.readTimeout;
}

Json PointJson(const std::string& address, int result, const char* valueName, uint16_t value,
               const std::string& failure) {
    Json point = Json::object();
    point["address"] = address;
    point["result"] = result;
    if (valueName != nullptr) point[valueName] = value;
    if (!failure.empty()) point["error"] = failure;
    return point;
}

void PrintJson(const Json& document) {
    const std::string text = JsonText(document);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string PointText(int station, char type, int index) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d%c%03d", station, type, index);
    return text;
}

bool ReadBackMatches(const CheckedAddress& address, uint16_t written, uint16_t readBack) {
    if (address.pointType == kPointO) return readBack == (written & 1u);
    return readBack == written;
}

// ---- stopping, progress, time ------------------------------------------------

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

}  // namespace

StopOnInterrupt::StopOnInterrupt() {
    g_stopRequested = 0;
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
}

StopOnInterrupt::~StopOnInterrupt() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool StopOnInterrupt::Requested() { return g_stopRequested != 0; }

Progress::Progress() : enabled_(CanRedrawInPlace(stderr)) {}

void Progress::Show(const std::string& text) {
    if (!enabled_) return;
    std::fprintf(stderr, "\r\x1b[2K%s", text.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\x1b[2K");
    std::fflush(stderr);
    shown_ = false;
}

namespace {

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Stopwatch::Stopwatch() : startNs_(SteadyNanoseconds()) {}

double Stopwatch::Milliseconds() const { return static_cast<double>(SteadyNanoseconds() - startNs_) / 1e6; }

std::string FormatSeconds(double milliseconds) {
    const long long seconds = static_cast<long long>(milliseconds / 1000.0 + 0.5);
    if (seconds < 60) return std::to_string(seconds) + " s";
    return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string IsoUtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

bool WriteFileWhole(const std::string& path, const std::string& text, std::string* error) {
    // Every step checked: a full disk may fail the write, the flush, the
    // sync or the close, and the file beside is then removed, never renamed.
    const std::string part = path + ".part";
    FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
        *error = Printable(part) + ": " + std::strerror(errno);
        return false;
    }
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size() && SyncToDisk(file);
    int reason = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (!ok) {
        *error = Printable(part) + ": " + std::strerror(reason != 0 ? reason : EIO);
        std::remove(part.c_str());
        return false;
    }
    if (!ReplaceFileWith(part, path)) {
        *error = Printable(path) + ": " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}
