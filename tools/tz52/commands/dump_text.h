// The text of a dump, as tz52 dump writes it and the bridge's console
// downloads it: a header of # comments (the station, the date, the port,
// whether every point was reached), then one POINT=VALUE a line, a failed
// point as a comment. tz52 restore and tz52sim --set-file read it.
#ifndef TZ52_TOOLS_TZ52_COMMANDS_DUMP_TEXT_H
#define TZ52_TOOLS_TZ52_COMMANDS_DUMP_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/tz52/host/driver_calls.h"

struct DumpedPoint {
    CheckedAddress address;
    std::string point;
    int result = kResultPortFailure;
    uint16_t value = 0;
    std::string failure;
    bool read = false;  // false: not reached (stopped before it)
};

// What a dump read: every point, how far it got, what it was read with.
struct DumpReading {
    std::vector<DumpedPoint> points;
    size_t done = 0;
    size_t failed = 0;
    std::string date;
    PortSetup setup;
    bool complete() const { return done == points.size(); }
    std::string DoneText() const { return std::to_string(done) + " of " + std::to_string(points.size()) + " points"; }
};

// The header, then one POINT=VALUE a line; `types` as "ABCMOS".
std::string DumpText(int station, const std::string& types, const DumpReading& reading);

#endif  // TZ52_TOOLS_TZ52_COMMANDS_DUMP_TEXT_H
