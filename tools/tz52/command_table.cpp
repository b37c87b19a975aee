// Every command of tz52, in the order tz52 --help lists them.
#include <memory>
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

std::vector<std::unique_ptr<Command>> MakeAllCommands() {
    std::vector<std::unique_ptr<Command>> commands;
    for (auto make : {MakeInfoCommand, MakeCheckCommand, MakeReadCommand, MakeWriteCommand, MakePollCommand,
                      MakeScanCommand, MakeDumpCommand, MakeRestoreCommand, MakeMonitorCommand}) {
        commands.push_back(make());
    }
#if TZ52_WITH_BRIDGE
    commands.push_back(MakeBridgeCommand());
#endif
    return commands;
}
