// tz52 bridge --config FILE: the bridge's long options as keys of a file
// (`port = ttyUSB0`, `# comments`), read by CLI11's configuration parser and
// given to the same options the command line fills. What the command line
// gave wins over the file.
#ifndef TZ52_TOOLS_TZ52_COMMANDS_BRIDGE_CONFIG_H
#define TZ52_TOOLS_TZ52_COMMANDS_BRIDGE_CONFIG_H

#include <string>
#include <vector>

#include "tools/tz52/bridge/bridge.h"

namespace CLI {
class App;
}

// Applies the keys of `path` to the options of `app` (the bridge's part of
// the command line) that the command line left unset; the `point` keys go
// to *points, each with its FILE:LINE. False with *error naming FILE:LINE
// (an unknown key, a bad value) or FILE (it cannot be read: *exitCode 74).
bool ApplyBridgeConfig(CLI::App* app, const std::string& path, std::vector<ListedPoint>* points, std::string* error,
                       int* exitCode);

#endif  // TZ52_TOOLS_TZ52_COMMANDS_BRIDGE_CONFIG_H
