// The whole check of a point file (tz52 dump's text) before tz52 restore
// uses any of it: every POINT=VALUE line judged, the header read. Kept apart
// from the command so that the fuzz target runs the same check.
#ifndef TZ52_TOOLS_TZ52_COMMANDS_RESTORE_FILE_H
#define TZ52_TOOLS_TZ52_COMMANDS_RESTORE_FILE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/tz52/host/driver_calls.h"

// One accepted assignment: a valid point and a value its type holds.
struct PointFileEntry {
    CheckedAddress address;
    std::string point;  // canonical, "017M033"
    uint16_t value = 0;
    int line = 0;  // from 1
};

// One refused line; `message` is ready to follow "FILE:LINE: " and shows
// the file's text escaped.
struct PointFileFault {
    int line = 0;
    int result = kResultRefused;
    std::string message;
};

struct PointFileCheck {
    std::vector<PointFileEntry> entries;  // in file order, every type
    std::vector<PointFileFault> faults;
    // From the header: "# tz52 dump of station N" (0: none) and
    // "# complete: no (...)" (or an older "# incomplete: ..." line).
    int headerStation = 0;
    bool incomplete = false;
    std::string incompleteReason;  // as the file says it, escaped
    std::set<int> stations;        // of the accepted entries
};

// Checks `lines` (line N is lines[N - 1]); the driver behind `entry` judges
// every address, as it will when the points are written.
PointFileCheck CheckPointFile(QmxMainFunction entry, const std::vector<std::string>& lines);

#endif  // TZ52_TOOLS_TZ52_COMMANDS_RESTORE_FILE_H
