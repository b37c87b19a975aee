// The command line of tz52: the common and line options, the parse into a
// command, the help texts.
#include "tools/tz52/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iterator>

#include "driver/driver_api.h"
#include "tools/common/cli/option_help.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/command.h"

// Where tz52 looks for the driver library when --lib is not given.
#if defined(_WIN32)
constexpr const char kLibraryOptionHelp[] = "the driver library (default: the one beside tz52)";
#else
constexpr const char kLibraryOptionHelp[] = "the driver library (default: beside tz52, or the installed libtz52drv.so.1)";
#endif

namespace {

const char kCommonGroup[] = "Common options";
const char kLineGroup[] = "Line options (each defaults to what the driver reports through tz52 info)";
// The longest port name the host record holds (its last byte is the NUL).
constexpr size_t kLongestPortName = TZ52_PORT_NAME_SIZE - 1;

std::string ExitCodesHelp() {
    return "Exit codes: " + std::to_string(kExitOk) + " all good; " + std::to_string(kExitRefused) +
           " an address, a point or an answer was refused;\n" + std::to_string(kExitLineFailure) +
           " the port, the line or the driver library failed; " + std::to_string(kExitUsage) + " bad usage;\n" +
           std::to_string(kExitFileError) + " a file could not be read or written.\n";
}

std::string PortNameRefusal(const std::string& name) {
    const size_t most = kLongestPortName;
    const std::string why = "port name " + Quoted(name) + " is longer than " + std::to_string(most) +
                            " characters, the most the host record holds";
#if defined(_WIN32)
    return why + "; a serial port is COM1 to COM9, or \\\\.\\COM10 and above";
#else
    const std::string devFolder = "/dev/";
    if (name.compare(0, devFolder.size(), devFolder) == 0 && name.size() - devFolder.size() <= most) {
        return why + "; give the name under /dev/ instead: " + Quoted(name.substr(devFolder.size()));
    }
    return why + "; make a short symlink under /dev/ (a udev rule with SYMLINK+=\"tz52\" makes /dev/tz52) and "
                 "give its name";
#endif
}

// The option `name` ("--port") if some command or tz52 itself has it.
bool IsKnownOption(const CLI::App* app, const std::string& name) {
    if (app->get_option_no_throw(name) != nullptr) return true;
    for (const CLI::App* sub : app->get_subcommands({})) {
        if (sub->get_option_no_throw(name) != nullptr) return true;
    }
    return false;
}

// CLI11's words for a value missing or given to a flag, as tz52 says them.
std::string ParseErrorText(const CLI::ParseError& error) {
    const std::string what = error.what();
    const std::string flagOverride = " was given a disallowed flag override";
    const size_t at = what.find(flagOverride);
    if (at != std::string::npos) return "--" + what.substr(0, at) + " takes no value";
    const size_t colon = what.find(": ");
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && colon != std::string::npos &&
        what.compare(what.size() - 7, 7, "missing") == 0) {
        return what.substr(0, colon) + " needs a value";
    }
    return what;
}

// The operand count against the command's row; the refusal, or "".
std::string OperandCountRefusal(const CommandRow& row, const std::vector<std::string>& operands) {
    const int count = static_cast<int>(operands.size());
    const std::string name = row.name;
    if (row.mostOperands == 0 && count > 0) return name + " takes no operands (" + Quoted(operands[0]) + ")";
    const bool tooFew = count < row.leastOperands;
    const bool tooMany = row.mostOperands >= 0 && count > row.mostOperands;
    if (!tooFew && !tooMany) return "";
    const std::string least = row.leastOperands == 1 ? "one" : std::to_string(row.leastOperands);
    if (row.leastOperands == row.mostOperands) return name + " needs " + least + " " + row.operandNoun;
    if (tooFew) return name + " needs at least " + least + " " + row.operandNoun;
    return name + " takes at most " + std::to_string(row.mostOperands) + " " + row.operandNoun;
}

// A command name tz52 does not know, or one this build left out (said so,
// rather than "unknown").
std::string UnknownCommandRefusal(const std::string& name) {
    const std::string absent = AbsentCommandReason(name);
    return absent.empty() ? "unknown command " + Quoted(name) : absent;
}

}  // namespace

// ---- the options ----------------------------------------------------------------

void AddValueOption(CLI::App* app, const char* name, const char* typeName, const std::string& description,
                    std::function<void(const std::string&)> apply) {
    app->add_option_function<std::string>(name, std::move(apply), description)->type_name(typeName);
}

void RefuseOptionValue(const std::string& option, const std::string& value, const std::string& why) {
    throw CLI::ValidationError(option + " " + Quoted(value) + ": " + why);
}

void AddWholeNumberOption(CLI::App* app, const char* name, const char* typeName, const std::string& description,
                          uint64_t least, uint64_t most, const std::string& why,
                          std::function<void(uint64_t)> store) {
    const std::string option = name;
    AddValueOption(app, name, typeName, description, [=](const std::string& value) {
        uint64_t number = 0;
        if (!ParseUnsigned(value, most, &number) || number < least) RefuseOptionValue(option, value, why);
        store(number);
    });
}

void AddCommonOptions(CLI::App* app, Invocation* invocation, const char* jsonMeaning) {
    app->add_flag("--json", invocation->json, jsonMeaning)->group(kCommonGroup)->disable_flag_override();
    AddValueOption(app, "--lib", "PATH", kLibraryOptionHelp, [invocation](const std::string& value) {
        if (value.empty()) RefuseOptionValue("--lib", value, "give the path of the driver library");
        invocation->libraryPath = value;
    });
    app->get_option("--lib")->group(kCommonGroup);
    app->set_help_flag("-h,--help", "this text")->group(kCommonGroup);
}

namespace {

void AddPortOption(CLI::App* app, Invocation* invocation) {
    AddValueOption(app, "--port", "NAME",
                   "the serial port: COM1 on Windows; pts/5 or ttyUSB0 (under\n"
                   "/dev/) or a full path on Linux; at most " +
                       std::to_string(kLongestPortName) + " characters",
                   [invocation](const std::string& value) {
                       if (value.empty()) RefuseOptionValue("--port", value, "give the name of the serial port");
                       if (value.size() > kLongestPortName) throw CLI::ValidationError(PortNameRefusal(value));
                       invocation->port = value;
                   });
    app->get_option("--port")->group(kLineGroup);
}

// A line setting parsed by `parse` into its code, refused with `why`.
void AddLineCodeOption(CLI::App* app, const char* name, const char* typeName, const char* description,
                       bool (*parse)(const std::string&, uint16_t*), const char* why, bool* given, uint16_t* code) {
    const std::string option = name;
    AddValueOption(app, name, typeName, description, [=](const std::string& value) {
        if (!parse(value, code)) RefuseOptionValue(option, value, why);
        *given = true;
    });
}

}  // namespace

void AddLineOptions(CLI::App* app, Invocation* invocation, bool withPort) {
    LineOverrides& line = invocation->line;
    if (withPort) AddPortOption(app, invocation);
    AddWholeNumberOption(app, "--baud", "N", "baud rate, 1 to " + std::to_string(UINT16_MAX), 1, UINT16_MAX,
                         "the baud rate must be 1 to " + std::to_string(UINT16_MAX) +
                             " (the host record holds it in 16 bits)",
                         [&line](uint64_t number) {
                             line.hasBaudRate = true;
                             line.baudRate = static_cast<uint16_t>(number);
                         });
    AddWholeNumberOption(app, "--data-bits", "N", "5 to 8", 5, 8, "data bits must be 5, 6, 7 or 8",
                         [&line](uint64_t number) {
                             line.hasDataBits = true;
                             line.dataBits = static_cast<uint16_t>(number);
                         });
    AddLineCodeOption(app, "--stop-bits", "N", "1, 1.5 (with 5 data bits) or 2", ParseStopBits,
                      "stop bits must be 1, 1.5 or 2", &line.hasStopBits, &line.stopBitsCode);
    AddLineCodeOption(app, "--parity", "P", "none, odd, even, mark or space", ParseParity,
                      "parity must be none, odd, even, mark or space", &line.hasParity, &line.parityCode);
    AddValueOption(app, "--timeout", "T",
                   "the read limit of one reply: a number of 10 ms units\n(4 = 40 ms), or a time such as 100ms or 1s",
                   [&line](const std::string& value) {
                       if (!ParseReadTimeout(value, &line.readTimeout)) {
                           RefuseOptionValue("--timeout", value,
                                             "the read limit is a number of 10 ms units from 1 to 6000, or a time "
                                             "such as 40ms or 2s (a multiple of 10 ms)");
                       }
                       line.hasReadTimeout = true;
                   });
    for (const char* name : {"--baud", "--data-bits", "--stop-bits", "--parity", "--timeout"}) {
        app->get_option(name)->group(kLineGroup);
    }
}

// ---- the whole command line ------------------------------------------------------

CommandLine::CommandLine() : app_(std::make_unique<CLI::App>("", "tz52")) {
    for (const CommandRow& row : CommandTable()) {
        commands_.push_back(row.make());
        commands_.back()->tableRow = &row;
    }
    AddCommonOptions(app_.get(), &invocation_, "output for scripts: one JSON document, also on failure");
    app_->add_flag("-V,--version", version_, "the version of tz52 and of the driver library it loads")
        ->group(kCommonGroup)
        ->disable_flag_override();
    app_->allow_extras();
    app_->require_subcommand(0, 1);
    for (const std::unique_ptr<Command>& command : commands_) {
        CLI::App* sub = app_->add_subcommand(command->Name(), command->tableRow->summary);
        sub->allow_extras();
        command->Define(sub);
        if (command->UsesLineSettings()) AddLineOptions(sub, &invocation_, command->UsesPort());
        AddCommonOptions(sub, &invocation_, command->JsonMeaning());
        subcommands_.push_back(sub);
    }
}

CommandLine::~CommandLine() = default;

const CLI::App* CommandLine::SubcommandOf(const Command* command) const {
    for (size_t i = 0; i < commands_.size(); ++i) {
        if (commands_[i].get() == command) return subcommands_[i];
    }
    return nullptr;
}

std::string CommandLine::LeftOverRefusal(const Command* command) const {
    const std::string name = command != nullptr ? command->Name() : "tz52";
    // An option of the command given before the command's name.
    for (const std::string& extra : app_->remaining()) {
        const std::string option = extra.substr(0, extra.find('='));
        if (command == nullptr || extra.size() < 2 || extra[0] != '-') continue;
        if (SubcommandOf(command)->get_option_no_throw(option) != nullptr) {
            return option + " goes after the command: tz52 " + name + " " + option + " ...";
        }
    }
    for (const std::string& extra : app_->remaining(true)) {
        if (extra.size() > 1 && extra[0] == '-') {
            const std::string option = extra.substr(0, extra.find('='));
            return IsKnownOption(app_.get(), option) ? option + " does not apply to " + name
                                                     : "unknown option " + Quoted(option);
        }
        if (command == nullptr) return UnknownCommandRefusal(extra);
        return name + " takes no operands (" + Quoted(extra) + ")";
    }
    return "";
}

ParseOutcome CommandLine::Parse(const std::vector<std::string>& arguments) {
    ParseOutcome outcome;
    // What follows "--" is operands, whatever it looks like; CLI11 sees only
    // what comes before.
    const auto optionsEnd = std::find(arguments.begin(), arguments.end(), "--");
    std::vector<std::string> reversed(std::make_reverse_iterator(optionsEnd), arguments.rend());
    const std::vector<std::string> afterOptions(optionsEnd == arguments.end() ? optionsEnd : optionsEnd + 1,
                                                arguments.end());
    bool help = false;
    try {
        app_->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        help = true;
    } catch (const CLI::ParseError& error) {
        outcome.error = ParseErrorText(error);
        // A command's own file (tz52 bridge --config) that cannot be read.
        if (error.get_exit_code() == kExitFileError) outcome.exitCode = kExitFileError;
    }
    for (size_t i = 0; i < subcommands_.size(); ++i) {
        if (subcommands_[i]->parsed()) outcome.command = commands_[i].get();
    }
    if (help) {
        outcome.ok = outcome.help = true;
        return outcome;
    }
    if (outcome.error.empty()) outcome.error = LeftOverRefusal(outcome.command);
    if (!outcome.error.empty()) return outcome;
    if (version_) {
        outcome.ok = outcome.version = true;
        return outcome;
    }
    if (outcome.command == nullptr) {
        outcome.error = afterOptions.empty() ? "no command given" : UnknownCommandRefusal(afterOptions[0]);
        return outcome;
    }
    outcome.error = CommandRefusal(*outcome.command, afterOptions);
    outcome.ok = outcome.error.empty();
    return outcome;
}

std::string CommandLine::CommandRefusal(Command& command, const std::vector<std::string>& afterOptions) const {
    command.operands.insert(command.operands.end(), afterOptions.begin(), afterOptions.end());
    if (command.UsesPort() && invocation_.port.empty()) return std::string(command.Name()) + " needs --port NAME";
    const std::string refusal = OperandCountRefusal(*command.tableRow, command.operands);
    return refusal.empty() ? command.CheckOperands() : refusal;
}

std::string CommandLine::UsageLine(const Command* command) const {
    if (command == nullptr) return "usage: tz52 COMMAND [options] [operands]; tz52 --help lists the commands";
    const CommandRow& row = *command->tableRow;
    std::string line = std::string("usage: tz52 ") + row.name;
    if (row.usesPort) line += " --port NAME";
    if (command->Usage()[0] != '\0') line += std::string(" ") + command->Usage();
    if (command->UsesLineSettings()) line += " [line options]";
    line += " [--json] [--lib PATH]";
    if (row.operands[0] != '\0') line += std::string(" ") + row.operands;
    return line + command->MoreUsage();
}

std::string CommandLine::HelpText(const Command* command) const {
    std::string text = UsageLine(command) + "\n\n";
    if (command == nullptr) {
        text += "tz52 drives a tz-52 controller through the driver library, as a host application\n"
                "does: it loads the library and calls QmxMain.\n\nCommands:\n";
        for (const std::unique_ptr<Command>& each : commands_) {
            text += "  " + std::string(each->Name());
            text += std::string(10 - std::min<size_t>(9, std::string(each->Name()).size()), ' ');
            text += std::string(each->tableRow->summary) + "\n";
        }
        text += "\ntz52 COMMAND --help describes a command.\n\n" + std::string(kCommonGroup) + ":\n" +
                OptionHelpLines(app_.get(), kCommonGroup) + "\n" + ExitCodesHelp();
        return text;
    }
    text += command->Description();
    return text + OptionHelpGroups(SubcommandOf(command)) + "\n" + ExitCodesHelp();
}
