// The points the line polls, as a points file's lines (ADDRESS or ADDRESS
// every DURATION, # comments) and the command line name them, each address
// checked by the driver. Nothing here reads a file, so every byte sequence
// can be tried against it (fuzz/points_file_fuzz.cpp).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_POINTS_FILE_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_POINTS_FILE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/tz52/host/driver_calls.h"

// One point the bridge polls.
struct BridgePoint {
    CheckedAddress address;
    std::string name;  // "001M025", its topic
    int64_t periodMilliseconds = 0;
};

// Where each point was first named: "FILE:LINE", "the command line".
using PointOrigins = std::map<std::string, std::string>;

// Adds the point at `text`, polled every `period`, once the driver took its
// address and unless `origins` holds it already. Refusals start with
// `messageHead`; a point named again is `twice` ("listed") twice, with the
// place it was first named.
bool AddBridgePoint(QmxMainFunction entry, const std::string& text, int64_t period, const std::string& origin,
                    const std::string& messageHead, const char* twice, std::vector<BridgePoint>* points,
                    PointOrigins* origins, std::string* error);

// One point as a points file's line gives it (ADDRESS or ADDRESS every
// DURATION, # comment); an empty line adds none. Refusals start with `where`.
bool ParseBridgePointLine(QmxMainFunction entry, std::string line, const std::string& where, int64_t defaultPeriod,
                          std::vector<BridgePoint>* points, PointOrigins* origins, std::string* error);

// The points of a points file's lines (ADDRESS or ADDRESS every DURATION, #
// comments), each through AddBridgePoint. `source` names the file in
// messages ("FILE:LINE: ...").
bool ParseBridgePoints(QmxMainFunction entry, const std::vector<std::string>& lines, const std::string& source,
                       int64_t defaultPeriod, std::vector<BridgePoint>* points, PointOrigins* origins,
                       std::string* error);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_POINTS_FILE_H
