// The command line of tz52: what a person or a script asked for, checked for
// form only. Whether an address names a point is the driver's question, not
// the command line's.
#ifndef TZ52_TOOLS_COMMAND_LINE_H
#define TZ52_TOOLS_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

// Exit codes a script can test.
enum ExitCode {
    kExitOk = 0,
    kExitRefused = 1,      // an address, a point or an answer was refused
    kExitLineFailure = 2,  // the port, the line or the driver library failed
    kExitUsage = 64        // the command line itself is wrong
};

enum class Command { kNone, kInfo, kCheck, kRead, kWrite, kPoll, kMonitor };

// Line settings given on the command line; each unset one comes from the
// driver's own defaults (DriverInfo).
struct LineOverrides {
    bool hasBaudRate = false;
    uint16_t baudRate = 0;
    bool hasDataBits = false;
    uint16_t dataBits = 0;
    bool hasStopBits = false;
    uint16_t stopBitsCode = 0;  // 0 one, 1 one and a half, 2 two
    bool hasParity = false;
    uint16_t parityCode = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool hasReadTimeout = false;
    int32_t readTimeout = 0;    // units of 10 ms
};

struct PointWrite {
    std::string address;
    uint16_t value = 0;
};

struct Invocation {
    Command command = Command::kNone;
    bool help = false;
    bool json = false;
    std::string libraryPath;  // empty: the library beside the executable
    std::string port;
    LineOverrides line;
    std::vector<std::string> addresses;  // check, read, poll
    std::vector<PointWrite> writes;      // write
    bool verify = false;                 // write: read every point back
    int64_t everyMilliseconds = 1000;    // poll
    int64_t rounds = 0;                  // poll: 0 runs until interrupted
    // monitor
    std::string device;
    std::string link;
    std::string capture;
    std::string decode;
    bool clock = false;
    bool raw = false;
};

struct ParsedCommandLine {
    bool ok = false;
    std::string error;  // what is wrong, for a usage message
    Invocation invocation;
};

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The help text of one command, or of tz52 as a whole for Command::kNone.
std::string HelpText(Command command);

const char* CommandName(Command command);

// Value parsers; each returns false for a text it does not accept.
// A duration: "500ms", "2s" or a bare number of milliseconds.
bool ParseDuration(const std::string& text, int64_t* milliseconds);
// A read limit in the driver's units of 10 ms: "4", or "40ms" / "1s" (a
// multiple of 10 ms); 1 (10 ms) to 6000 (60 s).
bool ParseReadTimeout(const std::string& text, int32_t* units);
// A point value: 0 to 65535, decimal or 0x hexadecimal.
bool ParsePointValue(const std::string& text, uint16_t* value);
// Stop bits "1", "1.5", "2" to the port's code 0, 1, 2.
bool ParseStopBits(const std::string& text, uint16_t* code);
// Parity "none", "odd", "even", "mark", "space" (or their first letter) to
// the port's code 0 to 4.
bool ParseParity(const std::string& text, uint16_t* code);

#endif  // TZ52_TOOLS_COMMAND_LINE_H
