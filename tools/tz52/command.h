// One command of tz52 (info, read, ...): its help, its own options and
// operands, and what it does. Each lives in commands/NAME.cpp and has one
// row in the command table (command_table.cpp); the common and line options
// come from command_line.cpp, the Host and the port's start and end from
// host/port_session.h.
#ifndef TZ52_TOOLS_TZ52_COMMAND_H
#define TZ52_TOOLS_TZ52_COMMAND_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tz52/command_line.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/host/port_session.h"

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

// The help paragraph on point addresses.
extern const char kAddressHelp[];

#endif  // TZ52_TOOLS_TZ52_COMMAND_H
