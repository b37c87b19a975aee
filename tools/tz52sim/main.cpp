// tz52sim: a simulated tz-52 controller on a pseudo-terminal or a serial
// device. Prints "port NAME" once the line is ready, serves until SIGINT or
// SIGTERM and exits 0.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/common/cli/exit_codes.h"
#include "tools/common/cli/version.h"
#include "tools/tz52sim/sim_options.h"
#include "tools/tz52sim/sim_server.h"

namespace {

constexpr int kExitLineFailed = 1;

tz52sim::Simulator* g_simulator = nullptr;

// Its own handler rather than StopOnSignal's flag: Serve() sleeps in poll()
// on the line, and only Stop() (a byte down the wake-up pipe) reaches it.
void RequestStop(int) {
    if (g_simulator != nullptr) g_simulator->Stop();
}

}  // namespace

int main(int argc, char** argv) {
    tz52sim::SimConfig config;
    std::string error;
    switch (tz52sim::ParseCommandLine(argc, argv, &config, &error)) {
        case tz52sim::CommandLineOutcome::kHelp:
            std::fputs(tz52sim::UsageText().c_str(), stdout);
            return 0;
        case tz52sim::CommandLineOutcome::kVersion:
            std::printf("tz52sim %s\n", TZ52DRV_VERSION);
            return 0;
        case tz52sim::CommandLineOutcome::kError:
            std::fprintf(stderr, "tz52sim: %s\n", error.c_str());
            return kExitCodeUsage;
        case tz52sim::CommandLineOutcome::kFileError:
            std::fprintf(stderr, "tz52sim: %s\n", error.c_str());
            return kExitCodeFileError;
        case tz52sim::CommandLineOutcome::kRun:
            break;
    }

    const bool device = !config.devicePath.empty();
    tz52sim::Simulator simulator(config);
    g_simulator = &simulator;
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A host that closes the pipe it reads our first line from must not kill us.
    signal(SIGPIPE, SIG_IGN);

    if (!simulator.Open(&error)) {
        std::fprintf(stderr, "tz52sim: %s\n", error.c_str());
        return kExitLineFailed;
    }
    std::printf("%s %s\n", device ? "device" : "port", simulator.PortName().c_str());
    std::fflush(stdout);

    const int result = simulator.Serve();
    simulator.Close();
    g_simulator = nullptr;
    return result == 0 ? 0 : kExitLineFailed;
}
