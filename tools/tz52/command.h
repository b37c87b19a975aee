// One command of tz52 (info, read, ...): its help, its own options and
// operands, and what it does. Each lives in commands/NAME.cpp and has one
// row in the command table (command_table.cpp); the common and line options
// come from command_line.cpp, the Host and the port's start and end from
// host/port_session.h.
#ifndef TZ52_TOOLS_TZ52_COMMAND_H
#define TZ52_TOOLS_TZ52_COMMAND_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/tz52/command_line.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/host/port_session.h"

class Command;

// One row of the command table (command_table.cpp): what the dispatcher
// knows of a command without asking it.
struct CommandRow {
    const char* name;
    const char* summary;  // one line for the command list of tz52 --help
    std::unique_ptr<Command> (*make)();
    int leastOperands;
    int mostOperands;     // -1: no limit
    bool usesPort;
    const char* operands;     // in the usage line: "ADDRESS...", or ""
    const char* operandNoun;  // in a refused count: "ADDRESS", "FILE (a dump)"
};

class Command {
public:
    virtual ~Command() = default;

    // From the command's row of the command table, set by CommandLine.
    const char* Name() const { return tableRow->name; }
    bool UsesPort() const { return tableRow->usesPort; }
    // The command's own options in the usage line; the port, the line
    // options, --json, --lib and the operands come from the table.
    virtual const char* Usage() const = 0;
    // More usage lines, each starting with "\n" (a second form of the command).
    virtual const char* MoreUsage() const { return ""; }
    // The help text between the usage and the options.
    virtual std::string Description() const = 0;
    virtual bool UsesLineSettings() const { return UsesPort(); }
    // Whether Run needs the driver library loaded (tz52 passwd does not).
    virtual bool UsesDriver() const { return true; }
    virtual const char* JsonMeaning() const { return "output for scripts: one JSON document, also on failure"; }

    // Adds the command's own options and operands to its part of the
    // command line.
    virtual void Define(CLI::App* app) = 0;
    // Once parsed, their count already checked against the table: checks
    // the operands as a whole; the refusal, or "".
    virtual std::string CheckOperands() = 0;
    virtual int Run(Host& host) = 0;

    // The operands as given (after the options, and whatever follows "--").
    std::vector<std::string> operands;
    const CommandRow* tableRow = nullptr;
};

// Every command, in the order tz52 --help lists them.
const std::vector<CommandRow>& CommandTable();
// Why a command of tz52 is not in this build (the bridge on Windows, or
// built without libmosquitto); "" for a name that is no command of tz52.
std::string AbsentCommandReason(const std::string& name);

std::string TypeName(int32_t typeCode);
// "003B001": the address text of a point.
std::string PointText(int station, char type, int index);
// An O point holds one bit: it reads back bit 0 of what was written.
bool ReadBackMatches(const CheckedAddress& address, uint16_t written, uint16_t readBack);

// The help paragraph on point addresses.
extern const char kAddressHelp[];

#endif  // TZ52_TOOLS_TZ52_COMMAND_H
