// The command line of tz52: one table of options, the value parsers, the
// help texts.
#include "tools/tz52/command_line.h"

#include <cctype>
#include <cstdlib>

#include "driver/driver_api.h"
#include "tools/tz52/monitor.h"

namespace {

// Which commands take an option: one bit per Command.
constexpr unsigned Bit(Command command) { return 1u << static_cast<unsigned>(command); }
constexpr unsigned kAllCommands = Bit(Command::kNone) | Bit(Command::kInfo) | Bit(Command::kCheck) |
                                  Bit(Command::kRead) | Bit(Command::kWrite) | Bit(Command::kPoll) |
                                  Bit(Command::kMonitor);
constexpr unsigned kPortCommands = Bit(Command::kRead) | Bit(Command::kWrite) | Bit(Command::kPoll);

enum class OptionId {
    kHelp, kJson, kLib, kPort, kBaud, kDataBits, kStopBits, kParity, kTimeout, kEvery, kCount, kVerify,
    kDevice, kLink, kCapture, kDecode, kClock, kRaw
};
constexpr unsigned kLineCommands = kPortCommands | Bit(Command::kMonitor);

struct OptionSpec {
    const char* name;
    OptionId id;
    bool takesValue;
    unsigned commands;
};

constexpr OptionSpec kOptions[] = {
    {"--help", OptionId::kHelp, false, kAllCommands},
    {"-h", OptionId::kHelp, false, kAllCommands},
    {"--json", OptionId::kJson, false, kAllCommands},
    {"--lib", OptionId::kLib, true, kAllCommands},
    {"--port", OptionId::kPort, true, kPortCommands},
    {"--baud", OptionId::kBaud, true, kLineCommands},
    {"--data-bits", OptionId::kDataBits, true, kLineCommands},
    {"--stop-bits", OptionId::kStopBits, true, kLineCommands},
    {"--parity", OptionId::kParity, true, kLineCommands},
    {"--timeout", OptionId::kTimeout, true, kLineCommands},
    {"--device", OptionId::kDevice, true, Bit(Command::kMonitor)},
    {"--link", OptionId::kLink, true, Bit(Command::kMonitor)},
    {"-o", OptionId::kCapture, true, Bit(Command::kMonitor)},
    {"--decode", OptionId::kDecode, true, Bit(Command::kMonitor)},
    {"--clock", OptionId::kClock, false, Bit(Command::kMonitor)},
    {"--raw", OptionId::kRaw, false, Bit(Command::kMonitor)},
    {"--every", OptionId::kEvery, true, Bit(Command::kPoll)},
    {"--count", OptionId::kCount, true, Bit(Command::kPoll)},
    {"--verify", OptionId::kVerify, false, Bit(Command::kWrite)},
};

struct CommandSpec {
    const char* name;
    Command command;
};

constexpr CommandSpec kCommands[] = {
    {"info", Command::kInfo}, {"check", Command::kCheck}, {"read", Command::kRead},
    {"write", Command::kWrite}, {"poll", Command::kPoll}, {"monitor", Command::kMonitor},
};

const OptionSpec* FindOption(const std::string& name) {
    for (const OptionSpec& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whole-text unsigned decimal or 0x hexadecimal, at most `limit`.
bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (result > limit) return false;
    }
    *value = result;
    return true;
}

// A number with an optional "ms" or "s" unit, in milliseconds; `bareUnit`
// is what a number without a unit counts in.
bool ParseMilliseconds(const std::string& text, int64_t bareUnit, int64_t* milliseconds) {
    std::string number = Lower(text);
    int64_t unit = bareUnit;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
        unit = 1;
    } else if (number.size() > 1 && number.back() == 's') {
        number.pop_back();
        unit = 1000;
    }
    constexpr uint64_t kOneDayMilliseconds = 86400000;
    uint64_t count = 0;
    if (number.size() > 1 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) return false;
    if (!ParseUnsigned(number, kOneDayMilliseconds, &count)) return false;
    const uint64_t total = count * static_cast<uint64_t>(unit);
    if (total > kOneDayMilliseconds) return false;
    *milliseconds = static_cast<int64_t>(total);
    return true;
}

std::string Usage(Command command) {
    switch (command) {
        case Command::kInfo: return "usage: tz52 info [--json] [--lib PATH]";
        case Command::kCheck: return "usage: tz52 check [--json] [--lib PATH] ADDRESS...";
        case Command::kRead: return "usage: tz52 read --port NAME [line options] [--json] [--lib PATH] ADDRESS...";
        case Command::kWrite:
            return "usage: tz52 write --port NAME [--verify] [line options] [--json] [--lib PATH] ADDRESS=VALUE...";
        case Command::kPoll:
            return "usage: tz52 poll --port NAME [--every DURATION] [--count N] [line options] [--json] [--lib PATH] "
                   "ADDRESS...";
        case Command::kMonitor:
            return "usage: tz52 monitor --device PATH [--link PATH] [line options] [--clock] [--raw] [--json] "
                   "[-o FILE]\n       tz52 monitor --decode FILE [--timeout T] [--clock] [--raw] [--json]";
        case Command::kNone: break;
    }
    return "usage: tz52 COMMAND [options] [operands]; tz52 --help lists the commands";
}

bool ApplyOptionValue(OptionId id, const std::string& name, const std::string& value, Invocation* invocation,
                      std::string* error) {
    LineOverrides& line = invocation->line;
    uint64_t number = 0;
    switch (id) {
        case OptionId::kLib:
            if (value.empty()) break;
            invocation->libraryPath = value;
            return true;
        case OptionId::kPort:
            if (value.empty()) break;
            if (value.size() >= TZ52_PORT_NAME_SIZE) {
                *error = "port name '" + value + "' is longer than " + std::to_string(TZ52_PORT_NAME_SIZE - 1) +
                         " characters, the most the driver's port record holds";
                return false;
            }
            invocation->port = value;
            return true;
        case OptionId::kBaud:
            if (!ParseUnsigned(value, 65535, &number) || number == 0) {
                *error = name + " '" + value + "': the baud rate must be 1 to 65535 (the driver's record holds 16 bits)";
                return false;
            }
            line.hasBaudRate = true;
            line.baudRate = static_cast<uint16_t>(number);
            return true;
        case OptionId::kDataBits:
            if (!ParseUnsigned(value, 8, &number) || number < 5) {
                *error = name + " '" + value + "': data bits must be 5, 6, 7 or 8";
                return false;
            }
            line.hasDataBits = true;
            line.dataBits = static_cast<uint16_t>(number);
            return true;
        case OptionId::kStopBits:
            if (!ParseStopBits(value, &line.stopBitsCode)) {
                *error = name + " '" + value + "': stop bits must be 1, 1.5 or 2";
                return false;
            }
            line.hasStopBits = true;
            return true;
        case OptionId::kParity:
            if (!ParseParity(value, &line.parityCode)) {
                *error = name + " '" + value + "': parity must be none, odd, even, mark or space";
                return false;
            }
            line.hasParity = true;
            return true;
        case OptionId::kTimeout:
            if (!ParseReadTimeout(value, &line.readTimeout)) {
                *error = name + " '" + value +
                         "': the read limit is a number of 10 ms units from 1 to 6000, or a time such as 40ms or 2s "
                         "(a multiple of 10 ms)";
                return false;
            }
            line.hasReadTimeout = true;
            return true;
        case OptionId::kEvery:
            if (!ParseDuration(value, &invocation->everyMilliseconds)) {
                *error = name + " '" + value + "': give a time such as 500ms or 2s (at most one day)";
                return false;
            }
            return true;
        case OptionId::kCount:
            if (!ParseUnsigned(value, 1000000000, &number) || number == 0) {
                *error = name + " '" + value + "': the number of rounds must be 1 or more";
                return false;
            }
            invocation->rounds = static_cast<int64_t>(number);
            return true;
        case OptionId::kDevice:
        case OptionId::kLink:
        case OptionId::kCapture:
        case OptionId::kDecode:
            if (value.empty()) break;
            (id == OptionId::kDevice ? invocation->device
             : id == OptionId::kLink ? invocation->link
             : id == OptionId::kCapture ? invocation->capture
                                        : invocation->decode) = value;
            return true;
        case OptionId::kHelp:
        case OptionId::kJson:
        case OptionId::kVerify:
        case OptionId::kClock:
        case OptionId::kRaw:
            break;
    }
    *error = name + " needs a value";
    return false;
}

// ADDRESS=VALUE; the address itself is the driver's to judge.
bool ParseWriteOperand(const std::string& operand, PointWrite* write, std::string* error) {
    const size_t equals = operand.find('=');
    if (equals == std::string::npos) {
        *error = "'" + operand + "' is not ADDRESS=VALUE";
        return false;
    }
    write->address = operand.substr(0, equals);
    const std::string value = operand.substr(equals + 1);
    if (!ParsePointValue(value, &write->value)) {
        *error = "'" + operand + "': the value must be 0 to 65535 (decimal, or hexadecimal with 0x)";
        return false;
    }
    return true;
}

}  // namespace

const char* CommandName(Command command) {
    for (const CommandSpec& spec : kCommands) {
        if (spec.command == command) return spec.name;
    }
    return "tz52";
}

bool ParseDuration(const std::string& text, int64_t* milliseconds) { return ParseMilliseconds(text, 1, milliseconds); }

bool ParseReadTimeout(const std::string& text, int32_t* units) {
    int64_t milliseconds = 0;
    if (!ParseMilliseconds(text, 10, &milliseconds)) return false;
    if (milliseconds % 10 != 0 || milliseconds < 10 || milliseconds > 60000) return false;
    *units = static_cast<int32_t>(milliseconds / 10);
    return true;
}

bool ParsePointValue(const std::string& text, uint16_t* value) {
    uint64_t number = 0;
    if (!ParseUnsigned(text, 65535, &number)) return false;
    *value = static_cast<uint16_t>(number);
    return true;
}

bool ParseStopBits(const std::string& text, uint16_t* code) {
    if (text == "1") *code = 0;
    else if (text == "1.5") *code = 1;
    else if (text == "2") *code = 2;
    else return false;
    return true;
}

bool ParseParity(const std::string& text, uint16_t* code) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    const std::string wanted = Lower(text);
    for (uint16_t i = 0; i < 5; ++i) {
        if (wanted == kNames[i] || (wanted.size() == 1 && wanted[0] == kNames[i][0])) {
            *code = i;
            return true;
        }
    }
    return false;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Invocation& invocation = parsed.invocation;
    std::vector<std::string> operands;
    struct Given {
        const OptionSpec* spec;
        std::string spelled;
    };
    std::vector<Given> given;
    bool optionsEnded = false;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (invocation.command == Command::kNone && operands.empty() && !optionsEnded) {
                bool known = false;
                for (const CommandSpec& spec : kCommands) {
                    if (argument == spec.name) {
                        invocation.command = spec.command;
                        known = true;
                    }
                }
                if (!known) {
                    parsed.error = "unknown command '" + argument + "'";
                    return parsed;
                }
                continue;
            }
            operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const OptionSpec* spec = FindOption(name);
        if (spec == nullptr) {
            parsed.error = "unknown option '" + name + "'";
            return parsed;
        }
        given.push_back({spec, name});
        if (!spec->takesValue) {
            if (equals != std::string::npos) {
                parsed.error = name + " takes no value";
                return parsed;
            }
            if (spec->id == OptionId::kHelp) invocation.help = true;
            if (spec->id == OptionId::kJson) invocation.json = true;
            if (spec->id == OptionId::kVerify) invocation.verify = true;
            if (spec->id == OptionId::kClock) invocation.clock = true;
            if (spec->id == OptionId::kRaw) invocation.raw = true;
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            parsed.error = name + " needs a value";
            return parsed;
        }
        if (!ApplyOptionValue(spec->id, name, value, &invocation, &parsed.error)) return parsed;
    }

    if (invocation.help) {
        parsed.ok = true;
        return parsed;
    }
    const Command command = invocation.command;
    if (command == Command::kNone) {
        parsed.error = "no command given";
        return parsed;
    }
    for (const Given& option : given) {
        if ((option.spec->commands & Bit(command)) == 0) {
            parsed.error = option.spelled + " does not apply to " + CommandName(command);
            return parsed;
        }
    }
    if ((kPortCommands & Bit(command)) != 0 && invocation.port.empty()) {
        parsed.error = std::string(CommandName(command)) + " needs --port NAME";
        return parsed;
    }
    if (command == Command::kMonitor) {
        if (!operands.empty()) {
            parsed.error = "monitor takes no operands ('" + operands[0] + "')";
            return parsed;
        }
        if (invocation.device.empty() == invocation.decode.empty()) {
            parsed.error = "monitor needs either --device PATH (watch a line) or --decode FILE (read a capture)";
            return parsed;
        }
        if (!invocation.decode.empty() && (!invocation.link.empty() || !invocation.capture.empty())) {
            parsed.error = "--link and -o apply to a live line, not to --decode";
            return parsed;
        }
        parsed.ok = true;
        return parsed;
    }
    if (command == Command::kInfo) {
        if (!operands.empty()) {
            parsed.error = "info takes no operands ('" + operands[0] + "')";
            return parsed;
        }
    } else if (operands.empty()) {
        parsed.error = std::string(CommandName(command)) +
                       (command == Command::kWrite ? " needs at least one ADDRESS=VALUE" : " needs at least one ADDRESS");
        return parsed;
    }
    if (command == Command::kWrite) {
        for (const std::string& operand : operands) {
            PointWrite write;
            if (!ParseWriteOperand(operand, &write, &parsed.error)) return parsed;
            invocation.writes.push_back(write);
        }
    } else {
        invocation.addresses = operands;
    }
    parsed.ok = true;
    return parsed;
}

std::string HelpText(Command command) {
    static const char kAddresses[] =
        "ADDRESS is the driver's point address: a three-digit station (001 to 127), a point\n"
        "type letter (A B C M O S, either case) and a three-digit index, as in 001M025.\n"
        "The driver judges every address before anything goes on the line.\n";
    static const char kLineOptions[] =
        "Line options (each defaults to what the driver reports through tz52 info):\n"
        "  --port NAME        the serial port: COM1 on Windows; pts/5 or ttyUSB0 (under\n"
        "                     /dev/) or a full path on Linux; at most 11 characters\n"
        "  --baud N           baud rate, 1 to 65535\n"
        "  --data-bits N      5 to 8\n"
        "  --stop-bits N      1, 1.5 or 2\n"
        "  --parity P         none, odd, even, mark or space\n"
        "  --timeout T        the read limit of one reply: a number of 10 ms units\n"
        "                     (4 = 40 ms), or a time such as 100ms or 1s\n";
    static const char kLineOptionsForMonitor[] =
        "Line options (each defaults to what the driver reports through tz52 info):\n"
        "  --baud N           baud rate of the device, a standard rate: 300 to 57600\n"
        "  --data-bits N      5 to 8\n"
        "  --stop-bits N      1 or 2\n"
        "  --parity P         none, odd, even, mark or space\n"
        "  --timeout T        the host's read limit (4 = 40 ms, or 100ms, 1s): no reply\n"
        "                     within it plus 20 ms ends an exchange as no reply\n";
    static const char kCommon[] =
        "  --json             output for scripts (one JSON document; poll: one per round)\n"
        "  --lib PATH         the driver library (default: the one beside tz52)\n"
        "  --help             this text\n";
    static const char kExitCodes[] =
        "Exit codes: 0 all good; 1 an address, a point or an answer was refused;\n"
        "2 the port, the line or the driver library failed; 64 bad usage.\n";
    const std::string usage = Usage(command) + "\n\n";
    switch (command) {
        case Command::kInfo:
            return usage + "Shows the driver's name, its installation banner and its default line settings.\n\n" +
                   kCommon + "\n" + kExitCodes;
        case Command::kCheck:
            return usage + "Asks the driver whether each ADDRESS names a point, and shows its station,\n"
                           "type and index. Touches no port.\n\n" + kAddresses + "\n" + kCommon + "\n" + kExitCodes;
        case Command::kRead:
            return usage + "Opens the port, reads every point once, closes the port.\n\n" + kAddresses + "\n" +
                   kLineOptions + kCommon + "\n" + kExitCodes;
        case Command::kWrite:
            return usage + "Opens the port, writes VALUE to every point, closes the port. VALUE is 0 to\n"
                           "65535, decimal or hexadecimal with 0x. Types C, M, O and S can be written; an\n"
                           "O point takes bit 0 of the value.\n\n" + kAddresses + "\n" + kLineOptions +
                   "  --verify           read every point back after writing it; a different value\n"
                   "                     is a wrong answer (exit 1)\n" + kCommon + "\n" + kExitCodes;
        case Command::kPoll:
            return usage + "Opens the port and reads the points again and again: a table that redraws in\n"
                           "place on a terminal, one line per round otherwise. Ctrl-C stops it.\n\n" +
                   kAddresses + "\n" + kLineOptions +
                   "  --every DURATION   time from the start of one round to the next: 500ms, 2s\n"
                   "                     (default 1s)\n"
                   "  --count N          stop after N rounds\n" + kCommon + "\n" +
                   "The exit code is the worst of all rounds.\n" + kExitCodes;
        case Command::kMonitor:
            return usage + tz52monitor::MonitorHelpText() + "\n" + kLineOptionsForMonitor + kCommon + "\n" +
                   "Exit codes: 0 done; 1 some capture lines could not be read; 2 the device, the\n"
                   "pseudo-terminal or a file failed; 64 bad usage.\n";
        case Command::kNone: break;
    }
    return usage +
           "tz52 drives a tz-52 controller through the driver library, as a host application\n"
           "does: it loads the library and calls QmxMain.\n\n"
           "Commands:\n"
           "  info      the driver's name, banner and default line settings\n"
           "  check     ask the driver whether point addresses are valid\n"
           "  read      read points\n"
           "  write     write points\n"
           "  poll      read points again and again\n"
           "  monitor   watch a host's line to a controller, or decode a capture\n\n"
           "tz52 COMMAND --help describes a command.\n\n" + kExitCodes;
}
