#include "tools/tz52sim/sim_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/option_help.h"
#include "tools/common/text/point_file.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/common/text/trim.h"

namespace tz52sim {

namespace {

constexpr uint64_t kLargestBaud = 4000000;
constexpr uint64_t kLargestSeed = 1ull << 62;
constexpr uint64_t kLongestRandomLateMs = 600000;

// The values as given; ParseCommandLine checks them once CLI11 has sorted
// the command line.
struct GivenValues {
    std::vector<std::string> stations, sets, setFiles, faults;
    std::string baud, format, randomFaults, seed, randomLate;
    bool trace = false;
    bool version = false;
};

// The whole command line; the help is made from these definitions.
void DefineOptions(CLI::App* app, GivenValues* given, SimConfig* config) {
    const char* controller = "Controller";
    app->add_option("--station", given->stations, "answer for station N (1 to 127); repeatable; default:\nthe stations of the points set, or else 1")
        ->type_name("N")->group(controller);
    app->add_option("--set", given->sets,
                    "start a point with a value, e.g. --set 001M025=1234;\n"
                    "repeatable; A 0-381, B 0-127, O 0-1, C M S 0-65535\n"
                    "(decimal, or hexadecimal with 0x); wins over --set-file")
        ->type_name("POINT=VALUE")->group(controller);
    app->add_option("--set-file", given->setFiles, "one POINT=VALUE a line; # starts a comment (the text\n"
                    "format of tz52 dump); a file that cannot be read: exit 74")
        ->type_name("FILE")->group(controller);

    const char* line = "Line";
    app->add_option("--link", config->linkPath, "keep a symlink PATH to the pseudo-terminal (removed at exit)")
        ->type_name("PATH")->group(line);
    app->add_option("--device", config->devicePath, "serve a serial device instead, configured raw")
        ->type_name("PATH")->group(line);
    app->add_option("--baud", given->baud,
                    "line rate; on a pseudo-terminal the simulator waits each\n"
                    "request's wire time and sends the reply at this rate\n"
                    "(default: no pacing; a device defaults to 9600)")
        ->type_name("N")->group(line);
    app->add_option("--format", given->format, "data bits, parity (N E O M S), stop bits; default 8N1")
        ->type_name("FORMAT")->group(line);

    const char* faults = "Faults (exchanges count every request to a served station, from 1)";
    app->add_option("--fault", given->faults,
                    "put a fault on exchange N; repeatable. KIND is one of\n"
                    "  silent        no reply\n"
                    "  late=MS       the reply MS milliseconds late\n"
                    "  damage=POS    reply byte POS (2 or more) changed so its\n"
                    "                pair does not add up\n"
                    "  badstart      a wrong first reply byte\n"
                    "  short=LEN     only the first LEN bytes of the reply\n"
                    "  stray=COUNT   COUNT stray bytes after the reply\n"
                    "  hangup        half the reply, then the line goes away\n"
                    "                and the simulator exits\n"
                    "  lostwrite     a write acknowledged but not kept")
        ->type_name("N:KIND")->group(faults);
    app->add_option("--random-faults", given->randomFaults,
                    "give a share R (0 to 1) of the exchanges a random fault\n"
                    "(silent, late, damage, badstart, short, stray)")
        ->type_name("R")->group(faults);
    app->add_option("--seed", given->seed, "seed of the random faults (default 0); a seed repeats a run")
        ->type_name("S")->group(faults);
    app->add_option("--random-late", given->randomLate, "how late a random late reply comes (default 20)")
        ->type_name("MS")->group(faults);

    const char* output = "Output";
    app->add_flag("--trace", given->trace,
                  "print every exchange to stderr: bytes in hex, station,\n"
                  "command, point, value and any fault")
        ->group(output)->disable_flag_override();
    app->set_help_flag("-h,--help", "this text")->group(output);
    app->add_flag("-V,--version", given->version, "the version of tz52sim")->group(output)->disable_flag_override();
    app->allow_extras();
}

const char kPreamble[] =
    "usage: tz52sim [options]\n"
    "\n"
    "A simulated tz-52 controller. It opens a pseudo-terminal (or serves a\n"
    "serial device), prints one line \"port NAME\" with the name a host opens\n"
    "(pts/5 for /dev/pts/5) and answers the read and write commands of its\n"
    "stations until SIGINT or SIGTERM.\n";

// CLI11's words for a value missing or given to a flag, as tz52sim says them.
std::string ParseErrorText(const CLI::ParseError& failure) {
    const std::string what = failure.what();
    const std::string flagOverride = " was given a disallowed flag override";
    const size_t at = what.find(flagOverride);
    if (at != std::string::npos) return "option --" + what.substr(0, at) + " takes no value (see --help)";
    const size_t colon = what.find(": ");
    if (colon != std::string::npos && what.size() > 7 && what.compare(what.size() - 7, 7, "missing") == 0) {
        return what.substr(0, colon) + " needs a value (see --help)";
    }
    return what + " (see --help)";
}

// A whole number from `low` to `high`, or false.
bool ParseWholeNumberIn(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
    return ParseWholeNumber(text, high, value) && *value >= low;
}

// The stations and the points' values: files first, so that a --set beside
// them has the last word. kError or kFileError with a message.
CommandLineOutcome ApplyController(const GivenValues& given, SimConfig* config, std::string* error) {
    for (const std::string& value : given.stations) {
        uint64_t station = 0;
        if (!ParseWholeNumberIn(value, kFirstStation, kLastStation, &station)) {
            *error = "--station " + Quoted(value) + ": a station is " + std::to_string(kFirstStation) + " to " +
                     std::to_string(kLastStation);
            return CommandLineOutcome::kError;
        }
        config->stations.push_back(static_cast<int>(station));
    }
    for (const std::string& path : given.setFiles) {
        const FileOutcome read = ReadAssignmentFile(path, &config->assignments, error);
        if (read == FileOutcome::kUnreadable) return CommandLineOutcome::kFileError;
        if (read == FileOutcome::kBadLine) return CommandLineOutcome::kError;
    }
    for (const std::string& value : given.sets) {
        Assignment assignment;
        if (!ParseAssignment(value, &assignment, error)) return CommandLineOutcome::kError;
        config->assignments.push_back(assignment);
    }
    return CommandLineOutcome::kRun;
}

bool ApplyLine(const GivenValues& given, SimConfig* config, std::string* error) {
    uint64_t baud = 0;
    if (!given.baud.empty()) {
        if (!ParseWholeNumberIn(given.baud, 1, kLargestBaud, &baud)) {
            *error = "--baud " + Quoted(given.baud) + ": a rate is 1 to " + std::to_string(kLargestBaud);
            return false;
        }
        config->baud = static_cast<uint32_t>(baud);
    }
    return given.format.empty() || ParseLineFormat(given.format, &config->format, error);
}

bool ApplyFaults(const GivenValues& given, FaultPlan* plan, std::string* error) {
    for (const std::string& value : given.faults) {
        uint64_t exchange = 0;
        Fault fault;
        if (!ParseScriptedFault(value, &exchange, &fault, error)) return false;
        plan->scripted[exchange] = fault;
    }
    if (!given.randomFaults.empty()) {
        // A share is a fraction, which no whole-number parser reads.
        char* end = nullptr;
        const double rate = std::strtod(given.randomFaults.c_str(), &end);
        if (*end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
            *error = "--random-faults " + Quoted(given.randomFaults) + ": a share is 0 to 1";
            return false;
        }
        plan->randomRate = rate;
    }
    if (!given.seed.empty()) {
        if (!ParseWholeNumber(given.seed, kLargestSeed, &plan->seed)) {
            *error = "--seed " + Quoted(given.seed) + ": a seed is a whole number from 0";
            return false;
        }
        if (plan->randomRate <= 0.0) {
            *error = "--seed needs --random-faults";
            return false;
        }
    }
    uint64_t lateMs = 0;
    if (!given.randomLate.empty()) {
        if (!ParseWholeNumber(given.randomLate, kLongestRandomLateMs, &lateMs)) {
            *error = "--random-late " + Quoted(given.randomLate) + ": a delay is 0 to " +
                     std::to_string(kLongestRandomLateMs) + " ms";
            return false;
        }
        plan->randomLateMs = static_cast<int>(lateMs);
    }
    return true;
}

// Each given value checked and put in `config`; kError or kFileError with
// a message.
CommandLineOutcome ApplyValues(const GivenValues& given, SimConfig* config, std::string* error) {
    const CommandLineOutcome controller = ApplyController(given, config, error);
    if (controller != CommandLineOutcome::kRun) return controller;
    if (!ApplyLine(given, config, error) || !ApplyFaults(given, &config->faults, error)) {
        return CommandLineOutcome::kError;
    }
    config->trace = given.trace;
    return CommandLineOutcome::kRun;
}

}  // namespace

bool ParseLineFormat(const std::string& text, LineFormat* format, std::string* error) {
    const std::string kParities = "NEOMS";
    if (text.size() != 3 || text[0] < '5' || text[0] > '8' ||
        kParities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])))) ==
            std::string::npos ||
        (text[2] != '1' && text[2] != '2')) {
        *error = "format " + Quoted(text) + " is not like 8N1 (data 5-8, parity N E O M S, stop 1 or 2)";
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
        *error = Quoted(text) + " is not POINT=VALUE (for example 001M025=1234)";
        return false;
    }
    Assignment parsed;
    if (!ParsePoint(Trim(text.substr(0, equals)), &parsed.point, error)) return false;
    const PointTypeInfo* info = FindPointType(parsed.point.type);
    uint64_t value = 0;
    if (!ParseWholeNumber(Trim(text.substr(equals + 1)), info->maxValue, &value)) {
        *error = Quoted(text) + ": a value of type " + parsed.point.type + " must be 0 to " +
                 std::to_string(info->maxValue);
        return false;
    }
    parsed.value = static_cast<uint16_t>(value);
    *assignment = parsed;
    return true;
}

bool ParseAssignmentLines(const std::vector<std::string>& lines, const std::string& name,
                          std::vector<Assignment>* assignments, std::string* error) {
    std::vector<Assignment> parsed;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string point, value;
        const PointLineKind kind = SplitPointLine(lines[i], &point, &value);
        if (kind == PointLineKind::kBlank) continue;
        Assignment assignment;
        std::string why;
        const std::string text = kind == PointLineKind::kAssignment ? point + "=" + value : Trim(lines[i]);
        if (!ParseAssignment(text, &assignment, &why)) {
            *error = name + ":" + std::to_string(i + 1) + ": " + why;
            return false;
        }
        parsed.push_back(assignment);
    }
    assignments->insert(assignments->end(), parsed.begin(), parsed.end());
    return true;
}

FileOutcome ReadAssignmentFile(const std::string& path, std::vector<Assignment>* assignments,
                               std::string* error) {
    std::vector<std::string> lines;
    std::string why;
    if (!ReadTextLines(path, TextLimits(), &lines, &why)) {
        *error = "--set-file " + why;
        return FileOutcome::kUnreadable;
    }
    return ParseAssignmentLines(lines, Printable(path), assignments, error) ? FileOutcome::kRead
                                                                           : FileOutcome::kBadLine;
}

CommandLineOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig* config,
                                    std::string* error) {
    CLI::App app("", "tz52sim");
    GivenValues given;
    DefineOptions(&app, &given, config);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return CommandLineOutcome::kHelp;
    } catch (const CLI::ParseError& failure) {
        *error = ParseErrorText(failure);
        return CommandLineOutcome::kError;
    }
    for (const std::string& extra : app.remaining()) {
        *error = extra.size() > 1 && extra[0] == '-' ? "unknown option " + Quoted(extra.substr(0, extra.find('='))) + " (see --help)"
                                                     : "operand " + Quoted(extra) + " is not an option (see --help)";
        return CommandLineOutcome::kError;
    }
    if (given.version) return CommandLineOutcome::kVersion;
    const CommandLineOutcome applied = ApplyValues(given, config, error);
    if (applied != CommandLineOutcome::kRun) return applied;

    // Without --station the simulator serves the stations its points name,
    // so that the dump of a station starts a simulator that answers as it.
    if (config->stations.empty()) {
        for (const Assignment& assignment : config->assignments) config->stations.push_back(assignment.point.station);
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
    return CommandLineOutcome::kRun;
}

std::string UsageText() {
    CLI::App app("", "tz52sim");
    GivenValues given;
    SimConfig config;
    DefineOptions(&app, &given, &config);
    return kPreamble + OptionHelpGroups(&app);
}

}  // namespace tz52sim
