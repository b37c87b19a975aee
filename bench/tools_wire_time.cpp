// tz52's commissioning commands against the paced simulator, next to the
// wire time of their exchanges: a dump of a whole station, a scan of 1 to
// 127 with three stations present, and poll --csv --every 0. Each figure is
// the whole tz52 run (start, library load, port open and close included).
//
//   tz52_bench_tools [--tz52 PATH] [--sim PATH] [--baud B] [--runs N] [--rounds N] [--quick]
//
// --quick: a few points and stations only, for the smoke test.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"

extern char** environ;

namespace {

// Bytes on the wire of one read of each type, request and reply (as in
// wire_time.cpp), and how many points each type has.
struct TypeCost {
    char type;
    int points;
    int readBytes;
};
constexpr TypeCost kTypes[] = {
    {'A', 4, 16}, {'B', 16, 14}, {'C', 16, 18}, {'M', 256, 18}, {'O', 12, 14}, {'S', 250, 22},
};
constexpr int kBitsPerByte = 10;  // 8N1
constexpr int kProbeBytes = 14;   // scan reads B001
constexpr int kAttempts = 3;
constexpr double kReadLimitMs = 40;  // the driver's default
// The smoke run (--quick) only shows that the benchmark works; it may share a
// loaded machine with an instrumented build, so it gives each reply 1 s.
constexpr double kQuickReadLimitMs = 1000;

struct Simulator {
    pid_t pid = -1;
    FILE* output = nullptr;
    std::string port;
};

bool StartSimulator(const std::string& path, const std::vector<std::string>& arguments, Simulator* sim) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    sim->pid = pid;
    sim->output = fdopen(pipeFds[0], "r");
    char line[256];
    if (sim->output == nullptr || std::fgets(line, sizeof line, sim->output) == nullptr ||
        std::strncmp(line, "port ", 5) != 0) {
        return false;
    }
    sim->port = line + 5;
    while (!sim->port.empty() && sim->port.back() == '\n') sim->port.pop_back();
    return true;
}

void StopSimulator(Simulator* sim) {
    if (sim->pid > 0) {
        kill(sim->pid, SIGTERM);
        waitpid(sim->pid, nullptr, 0);
    }
    if (sim->output) std::fclose(sim->output);
    *sim = Simulator{};
}

// Runs tz52 with its output discarded; the milliseconds it took, or -1 when
// it did not exit with `expectedExit`.
double TimeTz52(const std::string& tz52, const std::vector<std::string>& arguments, int expectedExit) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv{const_cast<char*>(tz52.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int64_t start = NowNanoseconds();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, tz52.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    const double ms = static_cast<double>(NowNanoseconds() - start) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expectedExit) {
        std::fprintf(stderr, "tz52_bench_tools: tz52 %s exited with %d\n", arguments[0].c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return -1;
    }
    return ms;
}

struct Case {
    std::string label;
    std::vector<std::string> simArguments;
    std::vector<std::string> tz52Arguments;  // the port is added after the command
    int expectedExit;
    double wireMs;
    double target;
};

}  // namespace

int main(int argc, char** argv) {
#if defined(TZ52_PATH) && defined(TZ52SIM_PATH)
    const std::string tz52 = FlagText(argc, argv, "--tz52", TZ52_PATH);
    const std::string simPath = FlagText(argc, argv, "--sim", TZ52SIM_PATH);
#else
    const std::string tz52 = FlagText(argc, argv, "--tz52", "");
    const std::string simPath = FlagText(argc, argv, "--sim", "");
#endif
    const long baud = FlagNumber(argc, argv, "--baud", 9600);
    const long runs = FlagNumber(argc, argv, "--runs", 3);
    const long rounds = FlagNumber(argc, argv, "--rounds", 100);
    bool quick = false;
    for (int i = 1; i < argc; ++i) quick = quick || std::strcmp(argv[i], "--quick") == 0;
    if (tz52.empty() || simPath.empty() || baud < 1 || baud > 65535 || runs < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: tz52_bench_tools --tz52 PATH --sim PATH [--baud 1..65535] [--runs N] "
                             "[--rounds N] [--quick]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string baudText = std::to_string(baud);
    const double byteMs = 1e3 * kBitsPerByte / static_cast<double>(baud);

    // dump: every point of every type (--quick: the O points).
    double dumpBytes = 0;
    for (const TypeCost& type : kTypes) {
        if (!quick || type.type == 'O') dumpBytes += type.points * type.readBytes;
    }
    // scan: three stations answer, the rest are silent for 3 read limits.
    const int scanLast = quick ? 4 : 127;
    const int present = 3;
    const double readLimitMs = quick ? kQuickReadLimitMs : kReadLimitMs;
    const std::string timeoutText = std::to_string(static_cast<long>(readLimitMs)) + "ms";
    const double scanWire = present * kProbeBytes * byteMs + (scanLast - present) * kAttempts * readLimitMs;
    // poll: one point of each type a round.
    double roundBytes = 0;
    for (const TypeCost& type : kTypes) roundBytes += type.readBytes;
    const long pollRounds = quick ? 2 : rounds;

    const std::vector<Case> cases = {
        {"dump of station 3" + std::string(quick ? " (O only)" : ", all 554 points"),
         {"--station", "3", "--baud", baudText},
         {"dump", "--station", "3", "--baud", baudText, "--timeout", timeoutText, "--types", quick ? "O" : "ABCMOS"},
         0, dumpBytes * byteMs, 1.03},
        {"scan 1-" + std::to_string(scanLast) + ", stations 1 2 3 present",
         {"--station", "1", "--station", "2", "--station", "3", "--baud", baudText},
         {"scan", "--stations", "1-" + std::to_string(scanLast), "--baud", baudText, "--timeout", timeoutText},
         0, scanWire, 1.05},
        {"poll --csv --every 0, " + std::to_string(pollRounds) + " rounds of A B C M O S",
         {"--station", "1", "--baud", baudText},
         {"poll", "--csv", "--every", "0", "--count", std::to_string(pollRounds), "--baud", baudText, "--timeout", timeoutText,
          "001A009",
          "001B001", "001C001", "001M100", "001O001", "001S001"},
         0, static_cast<double>(pollRounds) * roundBytes * byteMs, 1.02},
    };

    std::printf("tz52 against the simulator paced at %ld baud, 8N1; read limit %.0f ms; %ld runs each\n", baud,
                readLimitMs, runs);
    std::printf("%-46s %10s %10s %10s %10s %7s %7s\n", "", "wire ms", "median ms", "min ms", "max ms", "ratio",
                "target");
    int failures = 0;
    for (const Case& c : cases) {
        std::vector<double> times;
        for (long run = 0; run < runs; ++run) {
            Simulator sim;
            if (!StartSimulator(simPath, c.simArguments, &sim)) {
                std::fprintf(stderr, "tz52_bench_tools: the simulator did not start\n");
                StopSimulator(&sim);
                return 1;
            }
            std::vector<std::string> arguments = c.tz52Arguments;
            arguments.insert(arguments.begin() + 1, {"--port", sim.port});
            const double ms = TimeTz52(tz52, arguments, c.expectedExit);
            StopSimulator(&sim);
            if (ms < 0) {
                ++failures;
                continue;
            }
            times.push_back(ms);
        }
        const Summary s = Summarize(times);
        const double ratio = s.count ? s.median / c.wireMs : 0.0;
        std::printf("%-46s %10.1f %10.1f %10.1f %10.1f %7.3f %7.2f%s\n", c.label.c_str(), c.wireMs, s.median, s.min,
                    s.max, ratio, c.target, ratio <= c.target ? "" : "  above target");
    }

    // The same poll rounds made in this process straight through QmxMain:
    // what the line and the driver cost at this moment, without tz52.
    std::vector<double> driverTimes;
    for (long run = 0; run < runs; ++run) {
        Simulator sim;
        if (!StartSimulator(simPath, {"--station", "1", "--baud", baudText}, &sim)) return 1;
        PortContext context{};
        if (HostOpen(&context, sim.port.c_str(), static_cast<int32_t>(readLimitMs / 10), static_cast<uint16_t>(baud)) != 0) {
            StopSimulator(&sim);
            return 1;
        }
        const struct {
            int32_t type, index;
        } points[] = {{kPointA, 9}, {kPointB, 1}, {kPointC, 1}, {kPointM, 100}, {kPointO, 1}, {kPointS, 1}};
        const int64_t start = NowNanoseconds();
        for (long round = 0; round < pollRounds; ++round) {
            for (const auto& point : points) {
                uint16_t value = 0;
                if (HostRead(&context, 1, point.type, point.index, &value) != 0) ++failures;
            }
        }
        driverTimes.push_back(static_cast<double>(NowNanoseconds() - start) / 1e6);
        HostClose(&context);
        StopSimulator(&sim);
    }
    const Summary driver = Summarize(driverTimes);
    const double pollWire = cases.back().wireMs;
    std::printf("%-46s %10.1f %10.1f %10.1f %10.1f %7.3f\n", "the same reads in-process (driver alone)", pollWire,
                driver.median, driver.min, driver.max, driver.median / pollWire);
    return failures == 0 ? 0 : 1;
}
