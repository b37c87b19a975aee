// One command of tz52 (info, read, ...): its help, its own options and
// operands, and what it does. Each lives in command_NAME.cpp and is listed
// once in TZ52_COMMANDS (CMakeLists.txt); the common and line options come
// from command_line.cpp. Also what the commands share once the driver
// library is loaded: the Host, messages, the port's start and end.
#ifndef TZ52_TOOLS_COMMAND_H
#define TZ52_TOOLS_COMMAND_H

#include <string>
#include <vector>

#include "tools/tz52/output/json.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/host/platform.h"

// The driver library loaded, the command line parsed: what a command runs
// with, and what it leaves for the JSON document.
struct Host {
    const Invocation* invocation = nullptr;
    std::string libraryPath;
    QmxMainFunction entry = nullptr;
    HostReportAccess report{};
    std::string command = "tz52";

    // --json: the document printed when the command ends, with the
    // failures added (a command that prints its own documents, as poll does
    // once per round, sets documentPrinted).
    Json document = Json::object();
    bool documentPrinted = false;
    std::vector<std::string> errors;  // every message said on stderr
    int failedResult = 0;             // the driver result of the first failure
};

class Command {
public:
    virtual ~Command() = default;

    virtual const char* Name() const = 0;
    // One line for the command list of tz52 --help.
    virtual const char* Summary() const = 0;
    // The usage after "tz52 NAME ".
    virtual const char* Usage() const = 0;
    // The help text between the usage and the options.
    virtual std::string Description() const = 0;
    virtual bool UsesPort() const { return false; }
    // The line settings without --port: a command that opens a line of its
    // own rather than a port through the driver (monitor).
    virtual bool UsesLineSettings() const { return UsesPort(); }
    virtual const char* JsonMeaning() const { return "output for scripts: one JSON document, also on failure"; }

    // Adds the command's own options and operands to its part of the
    // command line.
    virtual void Define(CLI::App* app) = 0;
    // Once parsed: checks the operands as a whole; the refusal, or "".
    virtual std::string CheckOperands() = 0;
    virtual int Run(Host& host) = 0;

    // The operands as given (after the options, and whatever follows "--").
    std::vector<std::string> operands;
};

// Exit codes and results.
int ExitCodeOf(int result);
int Worse(int a, int b);

// "tz52 read: MESSAGE" on stderr, kept for the JSON document; `result` is
// the driver result behind it, if any.
void Complain(Host& host, const std::string& message, int result = 0);
std::string DriverFailure(const char* operation, int code, int result);

// The port commands: every address checked with the driver before any
// traffic, the line settings resolved, the port opened. On failure it has
// said why and *exitCode holds the exit code.
bool StartOnPort(Host& host, const std::vector<std::string>& texts, std::vector<CheckedAddress>* addresses,
                 PortSetup* setup, PortContext* context, int* exitCode);
int CloseOrExplain(Host& host, PortContext* context, const PortSetup& setup);

// The port and line members of a document, and one point of it.
void AddPortJson(Json* document, const PortSetup& setup);
Json PointJson(const std::string& address, int result, const char* valueName, uint16_t value,
               const std::string& failure);
// One document on stdout, as one line; text that is not UTF-8 is replaced.
void PrintJson(const Json& document);

std::string TypeName(int32_t typeCode);
// "003B001": the address text of a point.
std::string PointText(int station, char type, int index);
// An O point holds one bit: it reads back bit 0 of what was written.
bool ReadBackMatches(const CheckedAddress& address, uint16_t written, uint16_t readBack);

// Ctrl-C and SIGTERM ask a long command to stop, while an instance lives;
// the command then ends with what it has.
class StopOnInterrupt {
public:
    StopOnInterrupt();
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
    static bool Requested();
};

// One line of progress on stderr, redrawn in place; only when stderr is a
// terminal, nothing otherwise.
class Progress {
public:
    Progress();
    ~Progress() { Clear(); }
    bool Enabled() const { return enabled_; }
    void Show(const std::string& text);
    void Clear();

private:
    bool enabled_;
    bool shown_ = false;
};

// Time since construction, finer than MonotonicMilliseconds.
class Stopwatch {
public:
    Stopwatch();
    double Milliseconds() const;

private:
    int64_t startNs_;
};

// "45 s", "3 min 20 s".
std::string FormatSeconds(double milliseconds);
// The time now in UTC, ISO 8601 with milliseconds: "2026-12-08T23:40:00.123Z".
std::string IsoUtcNow();
// Writes `text` to `path` through a file beside it, so that `path` is
// replaced whole or not at all.
bool WriteFileWhole(const std::string& path, const std::string& text, std::string* error);

// The help paragraph on point addresses.
extern const char kAddressHelp[];

#endif  // TZ52_TOOLS_COMMAND_H
