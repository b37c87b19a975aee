// The simulator's settings and how the command line spells them.
#ifndef TZ52SIM_SIM_OPTIONS_H
#define TZ52SIM_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tz52sim/sim_faults.h"
#include "tools/tz52sim/sim_points.h"

namespace tz52sim {

// A character frame on the line: "8N1" and the like.
struct LineFormat {
    int dataBits = 8;   // 5 to 8
    char parity = 'N';  // N, E, O, M, S
    int stopBits = 1;   // 1 or 2
};

bool ParseLineFormat(const std::string& text, LineFormat* format, std::string* error);
std::string FormatLineFormat(const LineFormat& format);
// Start bit, data bits, parity bit and stop bits.
int BitsPerCharacter(const LineFormat& format);

// "001M025=1234": a point and the value it starts with.
struct Assignment {
    PointRef point;
    uint16_t value = 0;
};

bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error);
// One assignment a line; blank lines and text after # are ignored.
bool ReadAssignmentFile(const std::string& path, std::vector<Assignment>* assignments,
                        std::string* error);

struct SimConfig {
    std::vector<int> stations;  // empty: station 1
    std::vector<Assignment> assignments;
    std::string linkPath;    // a symlink kept pointing at the pseudo-terminal
    std::string devicePath;  // serve this serial device instead of a pseudo-terminal
    uint32_t baud = 0;       // 0: no pacing on a pseudo-terminal (a device defaults to 9600)
    LineFormat format;
    FaultPlan faults;
    bool trace = false;
};

enum class CommandLineOutcome { kRun, kHelp, kVersion, kError };

// Fills `config` from the arguments and checks it as a whole.
CommandLineOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig* config,
                                    std::string* error);

// The --help text.
std::string UsageText();

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_OPTIONS_H
