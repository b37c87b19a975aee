// The command line of tz52: the options every command shares and the line
// options of the commands that use a port, each defined once here; the
// parse of a whole command line into one of the commands (command.h); the
// help texts (the parsers of the values the options take are in
// tools/common/cli/values.h). Whether an address names a point is the
// driver's question, not the command line's.
#ifndef TZ52_TOOLS_TZ52_COMMAND_LINE_H
#define TZ52_TOOLS_TZ52_COMMAND_LINE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/cli/exit_codes.h"
#include "tools/common/cli/values.h"

namespace CLI {
class App;
}
class Command;

// Exit codes a script can test.
enum ExitCode {
    kExitOk = 0,
    kExitRefused = 1,      // an address, a point or an answer was refused
    kExitLineFailure = 2,  // the port, the line or the driver library failed
    kExitUsage = kExitCodeUsage,         // the command line itself is wrong
    kExitFileError = kExitCodeFileError  // a file could not be read or written
};

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

// What the options shared by the commands hold once parsed.
struct Invocation {
    bool json = false;
    std::string libraryPath;  // empty: the library beside the executable
    std::string port;         // commands that use a port
    LineOverrides line;
};

// --json, --lib and --help, added to tz52 itself and to every command.
// `jsonMeaning` says what --json gives for this command.
void AddCommonOptions(CLI::App* app, Invocation* invocation, const char* jsonMeaning);
// --port (`withPort`) and the line settings, added to every command that
// uses a port or a line.
void AddLineOptions(CLI::App* app, Invocation* invocation, bool withPort = true);

// An option whose value `apply` checks and stores, refusing it with words
// (RefuseOptionValue).
void AddValueOption(CLI::App* app, const char* name, const char* typeName, const std::string& description,
                    std::function<void(const std::string&)> apply);
// Refuses an option's value: "--baud "0": why", as a CLI11 validation error.
[[noreturn]] void RefuseOptionValue(const std::string& option, const std::string& value, const std::string& why);
// An option taking a whole number from `least` to `most` (decimal or 0x
// hexadecimal), refused with `why`; `store` takes the number.
void AddWholeNumberOption(CLI::App* app, const char* name, const char* typeName, const std::string& description,
                          uint64_t least, uint64_t most, const std::string& why, std::function<void(uint64_t)> store);

struct ParseOutcome {
    bool ok = false;
    std::string error;  // what is wrong, for a usage message
    int exitCode = kExitUsage;  // with an error: kExitFileError for a file that cannot be read
    bool help = false;
    bool version = false;
    Command* command = nullptr;  // null: no command given
};

// tz52's whole command line, built from the list of commands.
class CommandLine {
public:
    CommandLine();
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // Parses once; the arguments without the program name.
    ParseOutcome Parse(const std::vector<std::string>& arguments);
    const Invocation& invocation() const { return invocation_; }

    // The help of `command`, or of tz52 as a whole for null; and its first
    // line, the usage.
    std::string HelpText(const Command* command) const;
    std::string UsageLine(const Command* command) const;

private:
    const CLI::App* SubcommandOf(const Command* command) const;
    // What CLI11 left over (an option misplaced or unknown, an operand too
    // many); the refusal, or "".
    std::string LeftOverRefusal(const Command* command) const;
    // The command's operands taken and checked; the refusal, or "".
    std::string CommandRefusal(Command& command, const std::vector<std::string>& afterOptions) const;

    std::unique_ptr<CLI::App> app_;
    std::vector<std::unique_ptr<Command>> commands_;
    std::vector<CLI::App*> subcommands_;  // one per command, in the same order
    Invocation invocation_;
    bool version_ = false;
};

// Why 1.5 stop bits cannot go with `dataBits`, or "" when they can.
// Inline: the port's start (host/) asks it too, below the command line.
inline std::string StopBitsConflict(uint16_t dataBits, uint16_t stopBitsCode) {
    if (stopBitsCode != 1 || dataBits == 5) return "";
    return "1.5 stop bits go with 5 data bits, not " + std::to_string(dataBits) +
           " (give --data-bits 5, or --stop-bits 1 or 2)";
}

#endif  // TZ52_TOOLS_TZ52_COMMAND_LINE_H
