#include "tools/tz52sim/sim_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "tools/tz52sim/sim_text.h"

namespace tz52sim {

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

constexpr const char kUsage[] =
    "usage: tz52sim [options]\n"
    "\n"
    "A simulated tz-52 controller. It opens a pseudo-terminal (or serves a\n"
    "serial device), prints one line \"port NAME\" with the name a host opens\n"
    "(pts/5 for /dev/pts/5) and answers the read and write commands of its\n"
    "stations until SIGINT or SIGTERM.\n"
    "\n"
    "Controller:\n"
    "  --station N         answer for station N (1 to 127); repeatable; default 1\n"
    "  --set POINT=VALUE   start a point with a value, e.g. --set 001M025=1234;\n"
    "                      repeatable; A 0-381, B 0-127, O 0-1, C M S 0-65535\n"
    "                      (decimal, or hexadecimal with 0x)\n"
    "  --set-file FILE     one POINT=VALUE a line; # starts a comment\n"
    "\n"
    "Line:\n"
    "  --link PATH         keep a symlink PATH to the pseudo-terminal (removed at exit)\n"
    "  --device PATH       serve a serial device instead, configured raw\n"
    "  --baud N            line rate; on a pseudo-terminal the simulator waits each\n"
    "                      request's wire time and sends the reply at this rate\n"
    "                      (default: no pacing; a device defaults to 9600)\n"
    "  --format FORMAT     data bits, parity (N E O M S), stop bits; default 8N1\n"
    "\n"
    "Faults (exchanges count every request to a served station, from 1):\n"
    "  --fault N:KIND      put a fault on exchange N; repeatable. KIND is one of\n"
    "                        silent        no reply\n"
    "                        late=MS       the reply MS milliseconds late\n"
    "                        damage=POS    reply byte POS (2 or more) changed so its\n"
    "                                      pair does not add up\n"
    "                        badstart      a wrong first reply byte\n"
    "                        short=LEN     only the first LEN bytes of the reply\n"
    "                        stray=COUNT   COUNT stray bytes after the reply\n"
    "                        hangup        half the reply, then the line goes away\n"
    "                                      and the simulator exits\n"
    "  --random-faults R   give a share R (0 to 1) of the exchanges a random fault\n"
    "                      (silent, late, damage, badstart, short, stray)\n"
    "  --seed S            seed of the random faults (default 0); a seed repeats a run\n"
    "  --random-late MS    how late a random late reply comes (default 20)\n"
    "\n"
    "Output:\n"
    "  --trace             print every exchange to stderr: bytes in hex, station,\n"
    "                      command, point, value and any fault\n"
    "  --help              this text\n";

// Options that take a value, as "--name value" or "--name=value".
constexpr const char* kValueOptions[] = {
    "--station", "--set", "--set-file", "--link", "--device", "--baud", "--format",
    "--fault", "--random-faults", "--seed", "--random-late",
};

bool TakesValue(const std::string& name) {
    for (const char* option : kValueOptions) {
        if (name == option) return true;
    }
    return false;
}

}  // namespace

bool ParseLineFormat(const std::string& text, LineFormat* format, std::string* error) {
    const std::string kParities = "NEOMS";
    if (text.size() != 3 || text[0] < '5' || text[0] > '8' ||
        kParities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])))) ==
            std::string::npos ||
        (text[2] != '1' && text[2] != '2')) {
        *error = "format \"" + text + "\" is not like 8N1 (data 5-8, parity N E O M S, stop 1 or 2)";
        return false;
    }
    format->dataBits = text[0] - '0';
    format->parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    format->stopBits = text[2] - '0';
    return true;
}

std::string FormatLineFormat(const LineFormat& format) {
    return std::to_string(format.dataBits) + format.parity + std::to_string(format.stopBits);
}

bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *error = "\"" + text + "\" is not POINT=VALUE (for example 001M025=1234)";
        return false;
    }
    Assignment parsed;
    if (!ParsePoint(Trim(text.substr(0, equals)), &parsed.point, error)) return false;
    const PointTypeInfo* info = FindPointType(parsed.point.type);
    long long value = 0;
    if (!ParseInteger(Trim(text.substr(equals + 1)), 0, info->maxValue, &value)) {
        *error = "\"" + text + "\": a value of type " + parsed.point.type + " must be 0 to " +
                 std::to_string(info->maxValue);
        return false;
    }
    parsed.value = static_cast<uint16_t>(value);
    *assignment = parsed;
    return true;
}

bool ReadAssignmentFile(const std::string& path, std::vector<Assignment>* assignments,
                        std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        const std::string text = Trim(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        Assignment assignment;
        std::string why;
        if (!ParseAssignment(text, &assignment, &why)) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        assignments->push_back(assignment);
    }
    return true;
}

CommandLineOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig* config,
                                    std::string* error) {
    bool seedGiven = false;
    for (int at = 1; at < argc; ++at) {
        std::string name = argv[at];
        std::string value;
        const size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            if (!TakesValue(name)) {
                *error = "option " + name + " takes no value (see --help)";
                return CommandLineOutcome::kError;
            }
        } else if (TakesValue(name)) {
            if (at + 1 >= argc) {
                *error = name + " needs a value (see --help)";
                return CommandLineOutcome::kError;
            }
            value = argv[++at];
        }

        long long number = 0;
        if (name == "--help" || name == "-h") {
            return CommandLineOutcome::kHelp;
        } else if (name == "--trace") {
            config->trace = true;
        } else if (name == "--station") {
            if (!ParseInteger(value, kFirstStation, kLastStation, &number)) {
                *error = "--station " + value + ": a station is 1 to 127";
                return CommandLineOutcome::kError;
            }
            config->stations.push_back(static_cast<int>(number));
        } else if (name == "--set") {
            Assignment assignment;
            if (!ParseAssignment(value, &assignment, error)) return CommandLineOutcome::kError;
            config->assignments.push_back(assignment);
        } else if (name == "--set-file") {
            if (!ReadAssignmentFile(value, &config->assignments, error)) {
                return CommandLineOutcome::kError;
            }
        } else if (name == "--link") {
            config->linkPath = value;
        } else if (name == "--device") {
            config->devicePath = value;
        } else if (name == "--baud") {
            if (!ParseInteger(value, 1, 4000000, &number)) {
                *error = "--baud " + value + ": a rate is 1 to 4000000";
                return CommandLineOutcome::kError;
            }
            config->baud = static_cast<uint32_t>(number);
        } else if (name == "--format") {
            if (!ParseLineFormat(value, &config->format, error)) return CommandLineOutcome::kError;
        } else if (name == "--fault") {
            uint64_t exchange = 0;
            Fault fault;
            if (!ParseScriptedFault(value, &exchange, &fault, error)) {
                return CommandLineOutcome::kError;
            }
            config->faults.scripted[exchange] = fault;
        } else if (name == "--random-faults") {
            char* end = nullptr;
            const double rate = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
                *error = "--random-faults " + value + ": a share is 0 to 1";
                return CommandLineOutcome::kError;
            }
            config->faults.randomRate = rate;
        } else if (name == "--seed") {
            if (!ParseInteger(value, 0, (1ll << 62), &number)) {
                *error = "--seed " + value + ": a seed is a whole number from 0";
                return CommandLineOutcome::kError;
            }
            config->faults.seed = static_cast<uint64_t>(number);
            seedGiven = true;
        } else if (name == "--random-late") {
            if (!ParseInteger(value, 0, 600000, &number)) {
                *error = "--random-late " + value + ": a delay is 0 to 600000 ms";
                return CommandLineOutcome::kError;
            }
            config->faults.randomLateMs = static_cast<int>(number);
        } else {
            *error = "unknown option \"" + name + "\" (see --help)";
            return CommandLineOutcome::kError;
        }
    }

    if (config->stations.empty()) config->stations.push_back(1);
    std::sort(config->stations.begin(), config->stations.end());
    config->stations.erase(std::unique(config->stations.begin(), config->stations.end()),
                           config->stations.end());
    for (const Assignment& assignment : config->assignments) {
        if (!std::binary_search(config->stations.begin(), config->stations.end(),
                                assignment.point.station)) {
            *error = "--set " + FormatPoint(assignment.point) + ": station " +
                     std::to_string(assignment.point.station) +
                     " is not served (add --station " +
                     std::to_string(assignment.point.station) + ")";
            return CommandLineOutcome::kError;
        }
    }
    if (!config->devicePath.empty() && !config->linkPath.empty()) {
        *error = "--link keeps a name for the pseudo-terminal; with --device there is none";
        return CommandLineOutcome::kError;
    }
    if (seedGiven && config->faults.randomRate <= 0.0) {
        *error = "--seed needs --random-faults";
        return CommandLineOutcome::kError;
    }
    return CommandLineOutcome::kRun;
}

const char* UsageText() { return kUsage; }

}  // namespace tz52sim
