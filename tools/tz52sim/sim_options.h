// The simulator's settings and how the command line spells them.
#ifndef TZ52SIM_SIM_OPTIONS_H
#define TZ52SIM_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/posix/line_ports.h"
#include "tools/tz52sim/sim_faults.h"
#include "tools/tz52sim/sim_points.h"

namespace tz52sim {

using tz52line::BitsPerCharacter;
using tz52line::ClosePseudoTerminal;
using tz52line::LineFormat;
using tz52line::OpenRawDevice;
using tz52line::PseudoTerminal;
using tz52line::RemoveLinkIfOurs;

bool ParseLineFormat(const std::string& text, LineFormat* format, std::string* error);
std::string FormatLineFormat(const LineFormat& format);

// "001M025=1234": a point and the value it starts with.
struct Assignment {
    PointRef point;
    uint16_t value = 0;
};

bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error);
// One assignment a line; blank lines and text after # are ignored. Line N
// of `lines` is line N of the file `name`; a fault is "NAME:N: why" and
// leaves *assignments as it was.
bool ParseAssignmentLines(const std::vector<std::string>& lines, const std::string& name,
                          std::vector<Assignment>* assignments, std::string* error);

enum class FileOutcome { kRead, kUnreadable, kBadLine };
// The file read whole and checked (ReadTextLines), then parsed as above.
FileOutcome ReadAssignmentFile(const std::string& path, std::vector<Assignment>* assignments,
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

// kFileError: a --set-file that cannot be read (not one with a bad line,
// which is kError like any other bad value).
enum class CommandLineOutcome { kRun, kHelp, kVersion, kError, kFileError };

// Fills `config` from the arguments and checks it as a whole.
CommandLineOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig* config,
                                    std::string* error);

// The --help text.
std::string UsageText();

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_OPTIONS_H
