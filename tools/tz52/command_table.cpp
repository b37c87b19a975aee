// Every command of tz52, one row each, in the order tz52 --help lists them:
// what the dispatcher (command_line.cpp) knows without asking the command.
#include <memory>
#include <string>
#include <vector>

#include "tools/tz52/command.h"

std::unique_ptr<Command> MakeInfoCommand();
std::unique_ptr<Command> MakeCheckCommand();
std::unique_ptr<Command> MakeReadCommand();
std::unique_ptr<Command> MakeWriteCommand();
std::unique_ptr<Command> MakePollCommand();
std::unique_ptr<Command> MakeScanCommand();
std::unique_ptr<Command> MakeDumpCommand();
std::unique_ptr<Command> MakeRestoreCommand();
std::unique_ptr<Command> MakeMonitorCommand();
#if TZ52_WITH_BRIDGE
std::unique_ptr<Command> MakeBridgeCommand();
#endif
#if TZ52_WITH_PASSWD
std::unique_ptr<Command> MakePasswdCommand();
#endif

const std::vector<CommandRow>& CommandTable() {
    // {name, summary, factory, least operands, most (-1: no limit), uses a port, operands in the usage, in a refusal}
    static const std::vector<CommandRow> kTable = {
        {"info", "the driver's name, banner and default line settings", MakeInfoCommand, 0, 0, false, "", ""},
        {"check", "ask the driver whether point addresses are valid", MakeCheckCommand, 1, -1, false, "ADDRESS...",
         "ADDRESS"},
        {"read", "read points", MakeReadCommand, 1, -1, true, "ADDRESS...", "ADDRESS"},
        {"write", "write points", MakeWriteCommand, 1, -1, true, "ADDRESS=VALUE...", "ADDRESS=VALUE"},
        {"poll", "read points again and again", MakePollCommand, 1, -1, true, "ADDRESS...", "ADDRESS"},
        {"scan", "find the stations that answer on the line", MakeScanCommand, 0, 0, true, "", ""},
        {"dump", "read every point of a station, for a backup", MakeDumpCommand, 0, 0, true, "", ""},
        {"restore", "write a dump's writable points back", MakeRestoreCommand, 1, 1, true, "FILE", "FILE (a dump)"},
        {"monitor", "watch a host's line to a controller, or decode a capture", MakeMonitorCommand, 0, 0, false, "",
         ""},
#if TZ52_WITH_BRIDGE
        {"bridge", "serve the points over MQTT, Modbus TCP and HTTP, take writes from them", MakeBridgeCommand, 0, -1, true,
         "[ADDRESS...]", "ADDRESS"},
#endif
#if TZ52_WITH_PASSWD
        {"passwd", "make a user's line for the bridge's HTTP users file", MakePasswdCommand, 1, 1, false, "NAME",
         "NAME"},
#endif
    };
    return kTable;
}

std::string AbsentCommandReason(const std::string& name) {
#if !TZ52_WITH_BRIDGE
    if (name == "bridge") {
#ifdef _WIN32
        return "the bridge is built for Linux only: tz52.exe has no bridge command";
#else
        return "this tz52 was built without the bridge (libmosquitto-dev was not installed)";
#endif
    }
#endif
#if !TZ52_WITH_PASSWD
    if (name == "passwd") {
#ifdef _WIN32
        return "the HTTP face's users are for the bridge, which is built for Linux only: tz52.exe has no passwd "
               "command";
#else
        return "this tz52 was built without passwd (libcrypt-dev was not installed)";
#endif
    }
#endif
    static_cast<void>(name);
    return "";
}
