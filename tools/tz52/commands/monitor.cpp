// tz52 monitor: a host's line to a controller watched, or a capture of one
// decoded. The workings are in monitor*.cpp; this is the command line.
#include <CLI/CLI.hpp>

#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/command.h"
#include "tools/tz52/host/point_types.h"
#include "tools/tz52/monitor/monitor.h"

namespace {

// The driver's read timeout counts 10 ms; its stop-bit code 1 is one and a
// half, which a POSIX device cannot be set to.
constexpr int kReadTimeoutUnitMs = 10;
constexpr uint16_t kOneAndAHalfStopBits = 1;

class MonitorCommand : public Command {
public:
    const char* Usage() const override { return "--device PATH [--link PATH] [-o FILE] [--clock] [--raw]"; }
    const char* MoreUsage() const override {
        return "\n       tz52 monitor --decode FILE [--timeout T] [--clock] [--raw] [--json] [--lib PATH]";
    }
    std::string Description() const override { return tz52monitor::MonitorHelpText(); }
    bool UsesLineSettings() const override { return true; }
    const char* JsonMeaning() const override {
        return "JSON lines: the port, one per exchange, the summary";
    }

    void Define(CLI::App* app) override {
        app->add_option("--device", settings_.devicePath,
                        "the controller's serial device (/dev/ttyUSB0), or a\nsimulator's pseudo-terminal")
            ->type_name("PATH");
        app->add_option("--link", settings_.linkPath,
                        "keep a symlink at PATH pointing at the host's\npseudo-terminal")
            ->type_name("PATH");
        app->add_option("-o,--output", settings_.capturePath, "also write everything seen to a capture file")
            ->type_name("FILE");
        app->add_option("--decode", settings_.decodePath, "decode a capture instead of watching a line")
            ->type_name("FILE");
        app->add_flag("--clock", settings_.display.clock, "times of day instead of milliseconds since the start")
            ->disable_flag_override();
        app->add_flag("--raw", settings_.display.raw, "each frame's bytes in hex under its line")
            ->disable_flag_override();
    }

    std::string CheckOperands() override {
        if (settings_.devicePath.empty() == settings_.decodePath.empty()) {
            return "monitor needs either --device PATH (watch a line) or --decode FILE (read a capture)";
        }
        if (!settings_.decodePath.empty() && (!settings_.linkPath.empty() || !settings_.capturePath.empty())) {
            return "--link and -o apply to a live line, not to --decode";
        }
        return "";
    }

    int Run(Host& host) override {
        // Line settings not given are the driver's defaults, as for every
        // command that opens a port.
        LineSettings line{};
        int32_t readTimeout = 0;
        int exitCode = kExitOk;
        if (!ResolveLineSettings(host, &line, &readTimeout, &exitCode)) return exitCode;
        settings_.baud = line.baudRate;
        settings_.dataBits = line.dataBits;
        settings_.parity = line.parity < kParityCodes ? kParityLetters[line.parity] : 'N';
        settings_.readLimitMs = kReadTimeoutUnitMs * readTimeout;
        settings_.readLimitGiven = host.invocation->line.hasReadTimeout;
        settings_.display.json = host.invocation->json;

        tz52monitor::MonitorOutcome outcome;
        if (!settings_.decodePath.empty()) {
            outcome = tz52monitor::RunMonitorDecode(settings_);
        } else if (line.stopBits == kOneAndAHalfStopBits) {
            outcome.exitCode = kExitUsage;
            outcome.failure = "--stop-bits 1.5: the monitor opens a device with 1 or 2 stop bits";
        } else {
            settings_.stopBits = line.stopBits == 2 ? 2 : 1;
            outcome = tz52monitor::RunMonitorLive(settings_);
        }
        // Its own JSON lines are the monitor's document; a failure before
        // any of them still gets one.
        host.documentPrinted = outcome.printed;
        if (!outcome.failure.empty()) Complain(host, outcome.failure);
        return outcome.exitCode;
    }

private:
    tz52monitor::MonitorSettings settings_;
};

}  // namespace

std::unique_ptr<Command> MakeMonitorCommand() { return std::make_unique<MonitorCommand>(); }
