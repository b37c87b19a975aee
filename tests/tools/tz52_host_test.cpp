// tz52 as a person or a script meets it: the program run with arguments,
// its output, its messages and its exit code. First without a controller
// (info, check, usage, ports that do not open), then against the simulator
// on a pseudo-terminal (read, write, poll, JSON, a fault the retry gets past).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char kHost[] = TZ52_HOST_PATH;
const char kSimulator[] = TZ52_SIM_PATH;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` and collects its output; a run longer than
// `limit` is killed and fails the test.
// `interruptAfter` (above 0): SIGINT, as Ctrl-C sends it, once that time has
// passed.
Outcome Run(const std::string& program, const std::vector<std::string>& arguments,
            std::chrono::seconds limit = std::chrono::seconds(30),
            std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(0)) {
    Outcome outcome;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(spawned);
        close(outPipe[0]);
        close(errPipe[0]);
        return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto interruptAt = std::chrono::steady_clock::now() + interruptAfter;
    bool interrupted = interruptAfter.count() <= 0;
    pollfd streams[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            ADD_FAILURE() << program << " ran longer than " << limit.count() << " s";
            break;
        }
        if (!interrupted && std::chrono::steady_clock::now() >= interruptAt) {
            kill(child, SIGINT);
            interrupted = true;
        }
        if (poll(streams, 2, 100) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || (streams[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& stream : streams) {
        if (stream.fd >= 0) close(stream.fd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

Outcome Tz52(const std::vector<std::string>& arguments) { return Run(kHost, arguments); }

std::string Show(const Outcome& outcome) {
    return "exit " + std::to_string(outcome.exitCode) + "\n--- stdout\n" + outcome.out + "--- stderr\n" + outcome.err;
}

// With --json, stdout is JSON whatever happened: one document a line.
void ExpectJsonLines(const std::string& out, const std::string& call) {
    EXPECT_FALSE(out.empty()) << call;
    size_t start = 0;
    for (size_t end = out.find('\n'); end != std::string::npos; start = end + 1, end = out.find('\n', start)) {
        EXPECT_TRUE(nlohmann::json::accept(out.substr(start, end - start))) << call << "\n" << out;
    }
    EXPECT_EQ(start, out.size()) << call << ": the last line is not ended\n" << out;
}

// One row: arguments, exit code, and a text that stdout or stderr holds.
struct Expectation {
    std::vector<std::string> arguments;
    int exitCode;
    const char* stdoutHolds;
    const char* stderrHolds;
};

void ExpectAll(const std::vector<Expectation>& rows) {
    for (const Expectation& row : rows) {
        const Outcome outcome = Tz52(row.arguments);
        std::string call = "tz52";
        for (const std::string& argument : row.arguments) call += " " + argument;
        EXPECT_EQ(outcome.exitCode, row.exitCode) << call << "\n" << Show(outcome);
        if (row.stdoutHolds) {
            EXPECT_NE(outcome.out.find(row.stdoutHolds), std::string::npos) << call << "\n" << Show(outcome);
        }
        if (row.stderrHolds) {
            EXPECT_NE(outcome.err.find(row.stderrHolds), std::string::npos) << call << "\n" << Show(outcome);
        }
        if (std::find(row.arguments.begin(), row.arguments.end(), "--json") != row.arguments.end()) {
            ExpectJsonLines(outcome.out, call);
        }
    }
}

TEST(Tz52WithoutController, InfoShowsTheDriversDescription) {
    ExpectAll({
        {{"info"}, 0, "Driver name    \"KORVEL, \"\n               the name a host lists the driver under", nullptr},
        {{"info"}, 0, "KORVEL, tz-52 driver Installed.", nullptr},
        {{"info"}, 0, "Line           9600 baud, 8 data bits, no parity, 1 stop bit (8N1)\n", nullptr},
        {{"info"}, 0, "Read limit     40 ms (4 units of 10 ms)\n               how long the driver waits", nullptr},
        {{"info", "--json"}, 0, "\"name\":\"KORVEL, \"", nullptr},
        {{"info", "--json"}, 0, "\"baudRate\":9600,\"dataBits\":8,\"stopBitsCode\":0,\"parityCode\":0", nullptr},
        {{"info", "--json"}, 0, "\"readTimeout\":4,\"readTimeoutMs\":40", nullptr},
    });
}

TEST(Tz52WithoutController, CheckLetsTheDriverJudgeAndSaysWhy) {
    ExpectAll({
        {{"check", "001M025"}, 0, "001M025   valid    station 1, type M, index 25", nullptr},
        {{"check", "127s250", "001a009"}, 0, "001a009   valid    station 1, type A, index 9", nullptr},
        {{"check", "001M025", "128M025"}, 1, "128M025   refused  result 1: station 128 is outside 1 to 127", nullptr},
        {{"check", "000M025"}, 1, "station 0 is outside 1 to 127", nullptr},
        {{"check", "001A013"}, 1, "index 13 is outside 9 to 12 for type A", nullptr},
        {{"check", "001M257"}, 1, "index 257 is outside 1 to 256 for type M", nullptr},
        {{"check", "001X025"}, 1, "not of the form SSSTIII", nullptr},
        {{"check", "001M25"}, 1, "not of the form SSSTIII", nullptr},
        {{"check", "001M0250"}, 1, "not of the form SSSTIII", nullptr},
        {{"check", "001M025 x"}, 1, "longer than the 8 characters", nullptr},
        {{"check", "--json", "001o012", "001O013"}, 1,
         "{\"addresses\":[{\"address\":\"001o012\",\"result\":0,\"valid\":true,\"station\":1,\"type\":\"O\",\"index\":12},"
         "{\"address\":\"001O013\",\"result\":1,\"valid\":false,\"reason\":\"index 13 is outside 1 to 12 for type O\"}]}",
         nullptr},
    });
}

TEST(Tz52WithoutController, BadUsageExitsWith64AndShowsTheUsage) {
    ExpectAll({
        {{}, 64, nullptr, "tz52: no command given"},
        {{"fly"}, 64, nullptr, "unknown command \"fly\""},
        {{"read", "001M025"}, 64, nullptr, "usage: tz52 read --port NAME"},
        {{"write", "--port", "pts/1", "001M025=70000"}, 64, nullptr, "0 to 65535"},
        {{"poll", "--port", "pts/1", "--every", "often", "001M025"}, 64, nullptr, "--every \"often\""},
        {{"read", "--help"}, 0, "usage: tz52 read --port NAME", nullptr},
        {{"--help"}, 0, "Exit codes: 0 all good", nullptr},
        {{"--version"}, 0, "tz52 1.1.0\ndriver library ", nullptr},
        {{"poll", "--json", "--csv", "--port", "tz52-none", "001M025"}, 64, "\"errors\":[\"--csv and --json", nullptr},
        {{"restore", "--port", "tz52-none", "/nonexistent/dump.txt"}, 74, nullptr,
         "cannot read /nonexistent/dump.txt: No such file"},
        // Read whole and bounded before anything else: a directory or a file
        // without end is an error naming it, and the port is never opened.
        {{"restore", "--port", "tz52-none", "--yes", "/tmp"}, 74, nullptr,
         "cannot read /tmp: cannot be read: Is a directory"},
        {{"restore", "--port", "tz52-none", "--dry-run", "/dev/zero"}, 74, nullptr,
         "cannot read /dev/zero:1: line longer than 4096 bytes"},
        {{"restore", "--json", "--port", "tz52-none", "--yes", "/tmp"}, 74, "\"exitCode\":74", nullptr},
        {{"poll", "--port", "tz52-none", "-o", "/nonexistent/log.csv", "001M025"}, 74, nullptr,
         "cannot append to /nonexistent/log.csv: No such file"},
        {{"restore", "--help"}, 0, "--incomplete-ok", nullptr},
        {{"dump", "--help"}, 0, "exit code 74", nullptr},
        {{"poll", "--help"}, 0, "exit code 74", nullptr},
        {{"-V"}, 0, "libtz52drv.so, version ", nullptr},
        // Stop bits 1.5 with the driver's default of 8 data bits: refused
        // before the port is touched.
        {{"read", "--port", "tz52-none", "--stop-bits", "1.5", "001M025"}, 64, nullptr,
         "1.5 stop bits go with 5 data bits, not 8"},
        {{"read", "--json", "--port", "tz52-none", "--data-bits", "7", "--stop-bits", "1.5", "001M025"}, 64,
         "\"exitCode\":64,\"errors\":[\"1.5 stop bits go with 5 data bits, not 7", nullptr},
        {{"--json", "fly"}, 64, "{\"exitCode\":64,\"errors\":[\"unknown command \\\"fly\\\"\"]}", nullptr},
        {{"monitor"}, 64, nullptr, "monitor needs either --device PATH (watch a line) or --decode FILE"},
        {{"monitor", "--decode", "x.cap", "-o", "y.cap"}, 64, nullptr, "--link and -o apply to a live line"},
        {{"monitor", "--port", "pts/1", "--device", "/dev/null"}, 64, nullptr, "--port does not apply to monitor"},
        {{"monitor", "--device", "/dev/null", "--data-bits", "5", "--stop-bits", "1.5"}, 64, nullptr,
         "--stop-bits 1.5: the monitor opens a device with 1 or 2 stop bits"},
    });
}

TEST(Tz52WithoutController, InvalidAddressIsReportedBeforeThePortIsTouched) {
    // The port does not exist: had tz52 tried to open it, the exit code would
    // be 2 and the message would name the open.
    const Outcome outcome = Tz52({"read", "--port", "tz52-none", "001M025", "001M300"});
    EXPECT_EQ(outcome.exitCode, 1) << Show(outcome);
    EXPECT_NE(outcome.err.find("\"001M300\" is not a valid point address (address check, operation 3, result 1): "
                               "index 300 is outside 1 to 256 for type M"),
              std::string::npos)
        << Show(outcome);
    EXPECT_NE(outcome.err.find("nothing was sent; port tz52-none was not opened"), std::string::npos) << Show(outcome);
    EXPECT_EQ(outcome.err.find("cannot open"), std::string::npos) << Show(outcome);
    EXPECT_EQ(outcome.out, "") << Show(outcome);
}

TEST(Tz52WithoutController, PortThatDoesNotOpenIsALineFailureNamingIt) {
    ExpectAll({
        {{"read", "--port", "tz52-none", "001M025"}, 2, nullptr,
         "tz52 read: cannot open port tz52-none at 9600 baud, 8N1: Open (operation 1) gave result 2: port or line "
         "failure; the driver reported \"QMXKORVEL,  : Fail to open tz52-none\"; /dev/tz52-none: open: No such file"},
        {{"write", "--port", "tz52-none", "--baud", "4800", "--parity", "even", "001C001=1"}, 2, nullptr,
         "cannot open port tz52-none at 4800 baud, 8E1"},
        {{"read", "--port", "/dev/null", "001M025"}, 2, nullptr, "/dev/null: not a serial line"},
        // The device named is the one the driver opened, by the driver's rule.
        {{"read", "--port", "COM250", "001M025"}, 2, nullptr, "; /dev/ttyS249: open: No such file"},
        {{"read", "--port", "nul", "001M025"}, 2, nullptr, "; /dev/null: not a serial line"},
        {{"read", "--port", "./tz52-none", "001M025"}, 2, nullptr, "; ./tz52-none: open: No such file"},
        {{"poll", "--port", "tz52-none", "--count", "1", "001M025"}, 2, nullptr, "cannot open port tz52-none"},
        {{"read", "--port", "tz52-none", "--data-bits", "5", "--stop-bits", "1.5", "001M025"}, 2, nullptr,
         "cannot open port tz52-none at 9600 baud, 5N1.5"},
        {{"scan", "--port", "tz52-none", "--stations", "3"}, 2, nullptr, "cannot open port tz52-none"},
        {{"dump", "--json", "--port", "tz52-none", "--station", "3"}, 2, "\"errors\":[\"cannot open port", nullptr},
        {{"poll", "--json", "--port", "tz52-none", "001M025"}, 2,
         "{\"exitCode\":2,\"result\":2,\"errors\":[\"cannot open port tz52-none", nullptr},
        {{"read", "--json", "--port", "tz52-none", "001M025", "001M300"}, 1,
         "{\"exitCode\":1,\"result\":1,\"errors\":[\"\\\"001M300\\\" is not a valid point address", nullptr},
        {{"monitor", "--device", "/dev/tz52-none"}, 2, nullptr, "tz52 monitor: open(/dev/tz52-none) failed"},
        {{"monitor", "--device", "/dev/null"}, 2, nullptr, "tcgetattr(/dev/null) failed"},
        {{"monitor", "--json", "--decode", "/nonexistent/x.cap"}, 74,
         "{\"exitCode\":74,\"errors\":[\"cannot read the capture /nonexistent/x.cap: No such file", nullptr},
    });
}

TEST(Tz52WithoutController, MissingLibraryIsAFailureNamingThePath) {
    ExpectAll({
        {{"info", "--lib", "/nonexistent/libtz52drv.so"}, 2, nullptr,
         "cannot load the driver library /nonexistent/libtz52drv.so"},
        {{"check", "--json", "--lib", "/nonexistent/libtz52drv.so", "001M025"}, 2,
         "{\"exitCode\":2,\"errors\":[\"cannot load the driver library", nullptr},
    });
}

// ---- against the simulator -------------------------------------------------------

// tz52sim on a pseudo-terminal, stopped at the end of the test.
class Simulator {
public:
    // `tracePath`: where its stderr (with --trace, every exchange) goes.
    explicit Simulator(const std::vector<std::string>& arguments, const std::string& tracePath = "") {
        int outPipe[2];
        if (pipe(outPipe) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        if (!tracePath.empty()) {
            posix_spawn_file_actions_addopen(&actions, 2, tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        std::vector<char*> argv{const_cast<char*>(kSimulator)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, kSimulator, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        if (spawned != 0) {
            pid_ = 0;
            close(outPipe[0]);
            return;
        }
        // The first line names the port: "port pts/5".
        std::string line;
        pollfd stream{outPipe[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&stream, 1, 10000) > 0) {
            char c;
            if (read(outPipe[0], &c, 1) != 1) break;
            line += c;
        }
        output_ = outPipe[0];
        if (line.rfind("port ", 0) == 0) port_ = line.substr(5, line.find('\n') - 5);
    }
    ~Simulator() { Stop(); }

    const std::string& port() const { return port_; }

    // SIGTERM; the simulator's exit code.
    int Stop() {
        if (pid_ == 0) return exitCode_;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        close(output_);
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }

private:
    pid_t pid_ = 0;
    int output_ = -1;
    int exitCode_ = -1;
    std::string port_;
};

class Tz52WithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (kSimulator[0] == '\0') GTEST_SKIP() << "tz52sim is not part of this build";
    }
};

TEST_F(Tz52WithSimulator, ReadsEveryPointType) {
    Simulator sim({"--set", "001A009=201", "--set", "001B016=127", "--set", "001C001=65535", "--set",
                   "001M100=12345", "--set", "001O012=1", "--set", "001S250=510"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome outcome =
        Tz52({"read", "--port", sim.port(), "001A009", "001b016", "001C001", "001M100", "001O012", "001S250"});
    EXPECT_EQ(outcome.exitCode, 0) << Show(outcome);
    for (const char* row : {"001A009     201  0x00C9  ok", "001B016     127  0x007F  ok", "001C001   65535  0xFFFF  ok",
                            "001M100   12345  0x3039  ok", "001O012       1  0x0001  ok", "001S250     510  0x01FE  ok"}) {
        EXPECT_NE(outcome.out.find(row), std::string::npos) << row << "\n" << Show(outcome);
    }
    EXPECT_EQ(outcome.err, "") << Show(outcome);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(Tz52WithSimulator, WritesAndReadsBackTheWritablePoints) {
    Simulator sim({});
    ASSERT_FALSE(sim.port().empty());
    const Outcome outcome = Tz52({"write", "--port", sim.port(), "--verify", "001C016=517", "001M033=0x1234",
                                  "001M256=65535", "001O003=5", "001S001=0xABCD"});
    EXPECT_EQ(outcome.exitCode, 0) << Show(outcome);
    for (const char* row : {"001C016     517  0x0205        517  ok", "001M033    4660  0x1234       4660  ok",
                            "001M256   65535  0xFFFF      65535  ok", "001O003       5  0x0005          1  ok (bit 0)",
                            "001S001   43981  0xABCD      43981  ok"}) {
        EXPECT_NE(outcome.out.find(row), std::string::npos) << row << "\n" << Show(outcome);
    }
    // The values stay in the controller for the next host.
    const Outcome again = Tz52({"read", "--json", "--port", sim.port(), "001M033", "001S001"});
    EXPECT_EQ(again.exitCode, 0) << Show(again);
    EXPECT_NE(again.out.find("\"points\":[{\"address\":\"001M033\",\"result\":0,\"value\":4660},"
                             "{\"address\":\"001S001\",\"result\":0,\"value\":43981}]"),
              std::string::npos)
        << Show(again);
}

TEST_F(Tz52WithSimulator, InputsCannotBeWrittenAndTheRefusalSaysSo) {
    Simulator sim({});
    ASSERT_FALSE(sim.port().empty());
    const Outcome outcome = Tz52({"write", "--port", sim.port(), "001A009=1", "001C001=7"});
    EXPECT_EQ(outcome.exitCode, 1) << Show(outcome);
    EXPECT_NE(outcome.err.find("write 001A009: result 1 (refused, invalid input or a wrong answer): points of type A "
                               "are inputs"),
              std::string::npos)
        << Show(outcome);
    EXPECT_NE(outcome.out.find("001C001       7  0x0007  ok"), std::string::npos) << Show(outcome);
}

TEST_F(Tz52WithSimulator, RetryGetsPastOneDamagedReply) {
    Simulator sim({"--set", "001M025=1234", "--fault", "1:damage=5"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome outcome = Tz52({"read", "--port", sim.port(), "001M025"});
    EXPECT_EQ(outcome.exitCode, 0) << Show(outcome);
    EXPECT_NE(outcome.out.find("001M025    1234  0x04D2  ok"), std::string::npos) << Show(outcome);
}

TEST_F(Tz52WithSimulator, SilentStationIsALineFailureNamingPortAttemptsAndLimit) {
    Simulator sim({});
    ASSERT_FALSE(sim.port().empty());
    const Outcome outcome = Tz52({"read", "--port", sim.port(), "--timeout", "20ms", "002C001", "001C001"});
    EXPECT_EQ(outcome.exitCode, 2) << Show(outcome);
    EXPECT_NE(outcome.err.find("read 002C001: result 2 (port or line failure): no valid reply from station 2 on port " +
                               sim.port() + " after 3 attempts (read limit 20 ms)"),
              std::string::npos)
        << Show(outcome);
    EXPECT_NE(outcome.out.find("002C001       -  -       failed (result 2)"), std::string::npos) << Show(outcome);
    EXPECT_NE(outcome.out.find("001C001       0  0x0000  ok"), std::string::npos) << Show(outcome);
}

TEST_F(Tz52WithSimulator, BusyPortNamesTheProgramThatHoldsIt) {
    Simulator sim({});
    ASSERT_FALSE(sim.port().empty());
    // Held as the driver holds a port: the advisory lock binds root too.
    const std::string device = "/dev/" + sim.port();
    const int holder = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0) << device << ": " << std::strerror(errno);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    const Outcome outcome = Tz52({"read", "--port", sim.port(), "001M025"});
    close(holder);
    EXPECT_EQ(outcome.exitCode, 2) << Show(outcome);
    EXPECT_NE(outcome.err.find(device + ": busy: another program holds it for exclusive use"), std::string::npos)
        << Show(outcome);
    EXPECT_NE(outcome.err.find("held by process " + std::to_string(getpid())), std::string::npos) << Show(outcome);
}

TEST_F(Tz52WithSimulator, PollCountsRoundsInPlainLinesAndJson) {
    Simulator sim({"--set", "001B001=1", "--set", "001A012=381"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome plain =
        Tz52({"poll", "--port", sim.port(), "--every", "50ms", "--count", "3", "001B001", "001A012"});
    EXPECT_EQ(plain.exitCode, 0) << Show(plain);
    for (const char* round : {"round 1 at ", "round 2 at ", "round 3 at "}) {
        EXPECT_NE(plain.out.find(round), std::string::npos) << round << "\n" << Show(plain);
    }
    EXPECT_EQ(plain.out.find("round 4"), std::string::npos) << Show(plain);
    EXPECT_NE(plain.out.find("ms: 001B001=1 001A012=381\n"), std::string::npos) << Show(plain);

    const Outcome json = Tz52({"poll", "--json", "--port", sim.port(), "--every", "0", "--count", "2", "001B001"});
    EXPECT_EQ(json.exitCode, 0) << Show(json);
    EXPECT_NE(json.out.find("{\"round\":2,"), std::string::npos) << Show(json);
    EXPECT_NE(json.out.find("\"points\":[{\"address\":\"001B001\",\"result\":0,\"value\":1}]}"), std::string::npos)
        << Show(json);
}

// ---- commissioning and service: scan, dump, restore, poll --csv ------------------

// A file in the temporary folder, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& text = "") {
        char pattern[] = "/tmp/tz52-host-test-XXXXXX";
        const int fd = mkstemp(pattern);
        path_ = pattern;
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << path_;
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string Text() const {
        std::string text;
        FILE* file = std::fopen(path_.c_str(), "r");
        if (file == nullptr) return text;
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
        std::fclose(file);
        return text;
    }

private:
    std::string path_;
};

// The POINT=VALUE lines of a dump, without its comments.
std::string Assignments(const std::string& dump) {
    std::string lines;
    size_t start = 0;
    for (size_t end = dump.find('\n'); end != std::string::npos; start = end + 1, end = dump.find('\n', start)) {
        if (dump[start] != '#') lines += dump.substr(start, end - start + 1);
    }
    return lines;
}

const std::vector<std::string> kThreeStations = {"--station", "3", "--station", "17", "--station", "99"};

TEST_F(Tz52WithSimulator, ScanFindsExactlyTheStationsThatAnswer) {
    Simulator sim(kThreeStations);
    ASSERT_FALSE(sim.port().empty());
    const Outcome all = Tz52({"scan", "--port", sim.port(), "--timeout", "10ms", "--all"});
    EXPECT_EQ(all.exitCode, 0) << Show(all);
    EXPECT_NE(all.out.find("\n3 stations answered: 3, 17, 99\n"), std::string::npos) << Show(all);
    EXPECT_NE(all.out.find("\n     17  yes            0"), std::string::npos) << Show(all);
    EXPECT_NE(all.out.find("\n    127  no             2         -\n"), std::string::npos) << Show(all);

    const Outcome json = Tz52({"scan", "--json", "--port", sim.port(), "--timeout", "10ms", "--stations", "16-18,3"});
    EXPECT_EQ(json.exitCode, 0) << Show(json);
    const nlohmann::json document = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << Show(json);
    EXPECT_EQ(document["answered"], nlohmann::json({17, 3})) << Show(json);
    ASSERT_EQ(document["stations"].size(), 4u) << Show(json);
    EXPECT_EQ(document["stations"][0]["station"], 16);
    EXPECT_EQ(document["stations"][0]["answered"], false);
    EXPECT_EQ(document["stations"][1]["result"], 0);
    EXPECT_TRUE(document["stations"][1]["reply_ms"].is_number());

    const Outcome none = Tz52({"scan", "--port", sim.port(), "--timeout", "10ms", "--stations", "1,2"});
    EXPECT_EQ(none.exitCode, 1) << Show(none);
    EXPECT_NE(none.out.find("no station answered"), std::string::npos) << Show(none);

    // Without --all the table lists only the stations that answered.
    const Outcome answered = Tz52({"scan", "--port", sim.port(), "--timeout", "10ms", "--stations", "16-18,3,4"});
    EXPECT_EQ(answered.exitCode, 0) << Show(answered);
    EXPECT_EQ(answered.out.rfind("STATION  ANSWERED  RESULT  REPLY MS\n     17  yes            0 ", 0), 0u)
        << Show(answered);
    EXPECT_NE(answered.out.find("\n      3  yes            0 "), std::string::npos) << Show(answered);
    EXPECT_EQ(std::count(answered.out.begin(), answered.out.end(), '\n'), 4) << Show(answered);
    EXPECT_NE(answered.out.find("\n2 stations answered: 17, 3\n"), std::string::npos) << Show(answered);
    EXPECT_EQ(none.out, "no station answered\n") << Show(none);

    // A station whose every reply is damaged did not answer.
    Simulator damaged({"--station", "5", "--fault", "1:damage=5", "--fault", "2:badstart", "--fault", "3:short=3"});
    ASSERT_FALSE(damaged.port().empty());
    const Outcome bad = Tz52({"scan", "--port", damaged.port(), "--timeout", "10ms", "--stations", "4-6", "--all"});
    EXPECT_EQ(bad.exitCode, 1) << Show(bad);
    EXPECT_NE(bad.out.find("\n      5  no             2         -\n"), std::string::npos) << Show(bad);
    EXPECT_NE(bad.out.find("\nno station answered\n"), std::string::npos) << Show(bad);
}

TEST_F(Tz52WithSimulator, DumpStartsASimulatorThatAnswersLikeTheStation) {
    TempFile first, second;
    {
        Simulator sim({"--station", "17", "--set", "017A012=381", "--set", "017B016=127", "--set", "017C001=65535",
                       "--set", "017M033=4660", "--set", "017O012=1", "--set", "017S250=510"});
        ASSERT_FALSE(sim.port().empty());
        const Outcome dump = Tz52({"dump", "--port", sim.port(), "--station", "17", "-o", first.path()});
        EXPECT_EQ(dump.exitCode, 0) << Show(dump);
    }
    const std::string text = first.Text();
    EXPECT_NE(text.find("# tz52 dump of station 17\n# date 20"), std::string::npos) << text;
    EXPECT_NE(text.find("# types ABCMOS, 554 points, 0 failed\n017A009=0\n"), std::string::npos) << text;
    for (const char* line : {"\n017A012=381\n", "\n017B016=127\n", "\n017C001=65535\n", "\n017M033=4660\n",
                             "\n017O012=1\n", "\n017S250=510\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    Simulator copy({"--set-file", first.path()});
    ASSERT_FALSE(copy.port().empty());
    const Outcome again = Tz52({"dump", "--port", copy.port(), "--station", "17", "-o", second.path()});
    EXPECT_EQ(again.exitCode, 0) << Show(again);
    EXPECT_EQ(Assignments(second.Text()), Assignments(text));
}

TEST_F(Tz52WithSimulator, FailedReadsNeverShowAValue) {
    // Exchanges 2 to 4 are the three attempts at the second point.
    Simulator sim({"--set", "001O001=1", "--set", "001O002=1", "--fault", "2:silent", "--fault", "3:silent",
                   "--fault", "4:silent"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome dump = Tz52({"dump", "--port", sim.port(), "--station", "1", "--types", "o", "--timeout", "10ms"});
    EXPECT_EQ(dump.exitCode, 1) << Show(dump);
    EXPECT_NE(dump.out.find("\n001O001=1\n# 001O002 failed: result 2 (port or line failure): no valid reply"),
              std::string::npos)
        << Show(dump);
    EXPECT_EQ(dump.out.find("001O002="), std::string::npos) << Show(dump);
    EXPECT_NE(dump.out.find("# types O, 12 points, 1 failed"), std::string::npos) << Show(dump);
    EXPECT_NE(dump.err.find("1 of 12 points failed; the first, 001O002"), std::string::npos) << Show(dump);

    Simulator csvSim({"--set", "001O001=1", "--set", "001O002=1", "--fault", "4:silent", "--fault", "5:silent",
                      "--fault", "6:silent"});
    const Outcome csv = Tz52({"poll", "--port", csvSim.port(), "--csv", "--every", "0", "--count", "3", "--timeout",
                              "10ms", "001O001", "001O002"});
    EXPECT_EQ(csv.exitCode, 2) << Show(csv);
    const std::vector<std::string> rows = {"time,001O001,001O002,failed\n", "Z,1,1,\n", "Z,1,,001O002\n",
                                           "Z,1,1,\n"};
    size_t at = 0;
    for (const std::string& row : rows) {
        at = csv.out.find(row, at);
        ASSERT_NE(at, std::string::npos) << row << "\n" << Show(csv);
    }
    const Outcome csvDump = Tz52({"dump", "--port", csvSim.port(), "--station", "1", "--types", "O", "--format",
                                  "csv"});
    EXPECT_NE(csvDump.out.find("point,type,index,value,hex,result\n001O001,O,1,1,0x0001,0\n"), std::string::npos)
        << Show(csvDump);
}

TEST_F(Tz52WithSimulator, RestoreWritesTheFilesWritableValuesThatDiffer) {
    TempFile file(
        "# a dump\n017A009=5\n017B001=1\n017C001=65535\n017M033=0x1234\n017M034=0\n017O012=1\n017S250=510\n");
    TempFile trace;
    Simulator sim({"--station", "17", "--trace"}, trace.path());
    ASSERT_FALSE(sim.port().empty());
    const Outcome planOnly = Tz52({"restore", "--port", sim.port(), "--dry-run", file.path()});
    EXPECT_EQ(planOnly.exitCode, 0) << Show(planOnly);
    EXPECT_NE(planOnly.out.find("017C001         0    65535\n"), std::string::npos) << Show(planOnly);
    EXPECT_EQ(planOnly.out.find("017M034"), std::string::npos) << Show(planOnly);
    EXPECT_NE(planOnly.err.find("2 points of types A and B are inputs and are skipped"), std::string::npos);
    // 4 + 1 + 2: every point of the file is counted once.
    EXPECT_NE(planOnly.out.find("dry run: would write 4, 1 unchanged; 2 skipped (types A and B)\n"),
              std::string::npos)
        << Show(planOnly);
    EXPECT_EQ(planOnly.err.find("warning"), std::string::npos) << Show(planOnly);
    const Outcome unasked = Tz52({"restore", "--port", sim.port(), file.path()});
    EXPECT_EQ(unasked.exitCode, 1) << Show(unasked);
    EXPECT_NE(unasked.err.find("give --yes"), std::string::npos) << Show(unasked);

    const Outcome restore = Tz52({"restore", "--port", sim.port(), "--yes", "--verify", file.path()});
    EXPECT_EQ(restore.exitCode, 0) << Show(restore);
    EXPECT_NE(restore.out.find("4 written, 1 unchanged, 0 failed; 2 skipped (types A and B)"), std::string::npos)
        << Show(restore);
    const Outcome dump = Tz52({"dump", "--port", sim.port(), "--station", "17", "--types", "CMOS"});
    for (const char* line : {"\n017C001=65535\n", "\n017M033=4660\n", "\n017M034=0\n", "\n017O012=1\n",
                             "\n017S250=510\n"}) {
        EXPECT_NE(dump.out.find(line), std::string::npos) << line << "\n" << Show(dump);
    }
    EXPECT_NE(trace.Text().find(" write 017C001 := 65535"), std::string::npos) << trace.Text();
    const Outcome again = Tz52({"restore", "--json", "--port", sim.port(), "--yes", file.path()});
    EXPECT_EQ(again.exitCode, 0) << Show(again);
    EXPECT_NE(again.out.find("\"written\":0,\"unchanged\":5,\"failed\":0,\"skipped\":2"), std::string::npos)
        << Show(again);
}

// A FIFO that gives `text` and then bytes without end, as a device or a
// stuck writer would; the writer stops once the reader has gone.
class EndlessFifo {
public:
    explicit EndlessFifo(const std::string& text) {
        char pattern[] = "/tmp/tz52-host-fifo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        path_ = folder_ + "/dump.txt";
        if (mkfifo(path_.c_str(), 0600) != 0) return;
        signal(SIGPIPE, SIG_IGN);
        writer_ = std::thread([this, text] {
            const int fd = open(path_.c_str(), O_WRONLY);
            if (fd < 0) return;
            const std::string filler(4096, 'x');
            bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            while (ok && !stop_) ok = write(fd, filler.data(), filler.size()) > 0;
            close(fd);
        });
    }
    ~EndlessFifo() {
        stop_ = true;
        // Unblocks a writer whose reader never came.
        const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        if (writer_.joinable()) writer_.join();
        if (fd >= 0) close(fd);
        unlink(path_.c_str());
        rmdir(folder_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string folder_, path_;
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

TEST_F(Tz52WithSimulator, RestoreOfABadFileWritesNothing) {
    const struct {
        std::string text;
        const char* complaint;
        int exitCode;
        bool endless;  // the text from a FIFO that then never ends
    } files[] = {
        {"001C001=1\n001M025 1234\n", ":2: \"001M025 1234\" is not POINT=VALUE", 1, false},
        {"001C001=1\n001O003=2\n", ":2: \"2\" is not a value a point of type O holds (0 to 1)", 1, false},
        {"001C001=1\n001M025=65536\n", ":2: \"65536\"", 1, false},
        {"001C001=1\n001M257=1\n", ":2: \"001M257\" is not a valid point address: index 257 is outside", 1, false},
        {"001C001=1\n\n# note\n001C001=2\n", ":4: 001C001 is set again (first on line 1)", 1, false},
        // The file's text never reaches the terminal raw: no ESC sequence,
        // and a NUL does not cut the message short.
        {"001C001=1\n001M025\x1b[2J=1\n", ":2: \"001M025\\x1B[2J\" is not a valid point address", 1, false},
        {std::string("001C001=1\n0\0" "01C002=1 # x\n", 25), ":2: \"0\\x0001C002\" is not a valid point address", 1,
         false},
        {"001C001=1\n001C002=\x1b]0;owned\x07\n", ":2: \"\\x1B]0;owned\\x07\" is not a value", 1, false},
        // A FIFO (two good lines, then no end) is refused before any read.
        {"001C001=1\n001C002=2\n", ": a FIFO, not a regular file; nothing was read", 74, true},
        // A dump stopped by Ctrl-C is not a backup to restore.
        {"# tz52 dump of station 1\n# complete: no (stopped after 2 of 554 points)\n001A009=0\n001C001=1\n",
         ": the dump is not complete (stopped after 2 of 554 points); restoring it would leave", 1, false},
        {"# complete: no (\x1b[31mred)\n001C001=1\n", ": the dump is not complete (\\x1B[31mred)", 1, false},
    };
    for (const auto& bad : files) {
        TempFile file(bad.endless ? "" : bad.text);
        std::unique_ptr<EndlessFifo> fifo;
        if (bad.endless) fifo = std::make_unique<EndlessFifo>(bad.text);
        const std::string path = bad.endless ? fifo->path() : file.path();
        TempFile trace;
        Simulator sim({"--trace"}, trace.path());
        ASSERT_FALSE(sim.port().empty());
        const Outcome outcome = Tz52({"restore", "--port", sim.port(), "--yes", path});
        EXPECT_EQ(outcome.exitCode, bad.exitCode) << Show(outcome);
        EXPECT_NE(outcome.err.find(path + bad.complaint), std::string::npos) << Show(outcome);
        EXPECT_NE(outcome.err.find("nothing was written"), std::string::npos) << Show(outcome);
        EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos) << Show(outcome);
        sim.Stop();
        EXPECT_EQ(trace.Text().find(" write "), std::string::npos) << trace.Text();
    }
}

TEST_F(Tz52WithSimulator, RestoreSaysWhatTheFileHoldsAndWhatDidNotStick) {
    const struct {
        std::vector<std::string> options;
        std::string text;
        std::vector<std::string> simulator;
        int exitCode;
        const char* stdoutHolds;
        const char* stderrHolds;
    } rows[] = {
        // The header names one station, the points another: said, not refused.
        {{"--dry-run"}, "# tz52 dump of station 3\n017C001=1\n", {}, 0, "dry run: would write 1, 0 unchanged;",
         " is a dump of station 3 by its header, but its points are of station 17"},
        {{"--dry-run"}, "017C001=0\n018C001=0\n017A009=0\n", {}, 0, "would write 1, 1 unchanged; 1 skipped",
         " holds points of 2 stations: 17, 18"},
        // Exchanges: 1 reads the current value, 2 writes, 3 reads back.
        {{"--yes", "--verify"}, "017C001=5\n", {"--fault", "2:lostwrite"}, 1, "0 written, 0 unchanged, 1 failed;",
         "write 017C001: result 1: wrong answer: wrote 5, read back 0"},
        {{"--yes"}, "017C001=5\n", {"--fault", "2:lostwrite"}, 0, "1 written, 0 unchanged, 0 failed;", nullptr},
        {{"--dry-run", "--incomplete-ok"}, "# complete: no (stopped after 1 of 554 points)\n017C001=5\n", {}, 0,
         "dry run: would write 1, 0 unchanged; 0 skipped", "an incomplete dump (stopped after 1 of 554 points)"},
        {{"--dry-run"}, "# complete: yes\n017C001=5\n", {}, 0, "dry run: would write 1,", nullptr},
    };
    for (const auto& row : rows) {
        TempFile file(row.text);
        std::vector<std::string> simulator = {"--station", "17"};
        simulator.insert(simulator.end(), row.simulator.begin(), row.simulator.end());
        Simulator sim(simulator);
        ASSERT_FALSE(sim.port().empty());
        std::vector<std::string> arguments = {"restore", "--port", sim.port(), "--timeout", "10ms"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        arguments.push_back(file.path());
        const Outcome outcome = Tz52(arguments);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.text << "\n" << Show(outcome);
        EXPECT_NE(outcome.out.find(row.stdoutHolds), std::string::npos) << row.text << "\n" << Show(outcome);
        if (row.stderrHolds) {
            EXPECT_NE(outcome.err.find(row.stderrHolds), std::string::npos) << row.text << "\n" << Show(outcome);
        }
    }
}

// A tmpfs of 16 KiB, filled up: a full disk. Mounting needs root.
class FullDisk {
public:
    FullDisk() {
        char pattern[] = "/tmp/tz52-host-full-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        if (mount("tz52-full", folder_.c_str(), "tmpfs", 0, "size=16k") != 0) {
            reason_ = std::string("mount -t tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~FullDisk() {
        if (mounted_) umount(folder_.c_str());
        rmdir(folder_.c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    const std::string& folder() const { return folder_; }
    // Writes `text` to NAME, then fills what room is left.
    void Fill(const std::string& name, const std::string& text) {
        FILE* file = std::fopen((folder_ + "/" + name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
        ASSERT_EQ(std::fclose(file), 0);
        const int filler = open((folder_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(filler, 0);
        const std::string block(1024, 'f');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        close(filler);
    }

private:
    std::string folder_;
    std::string reason_;
    bool mounted_ = false;
};

std::string FileText(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return "(none)";
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
    std::fclose(file);
    return text;
}

TEST_F(Tz52WithSimulator, WriteErrorsAreSaidWithTheFileAndExit74) {
    Simulator sim({"--station", "17"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome poll = Tz52({"poll", "--port", sim.port(), "--every", "0", "--count", "3", "-o", "/dev/full",
                               "017C001"});
    EXPECT_EQ(poll.exitCode, 74) << Show(poll);
    EXPECT_NE(poll.err.find("cannot write to /dev/full: No space left on device; polling stopped"),
              std::string::npos)
        << Show(poll);
    const Outcome nowhere = Tz52({"dump", "--port", sim.port(), "--station", "17", "--types", "O", "-o",
                                  "/nonexistent/backup.txt"});
    EXPECT_EQ(nowhere.exitCode, 74) << Show(nowhere);
    EXPECT_NE(nowhere.err.find("cannot write the dump to /nonexistent/backup.txt: /nonexistent/backup.txt.part: No "
                               "such file"),
              std::string::npos)
        << Show(nowhere);

    FullDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "the full-disk rows need root to mount a tmpfs: " << disk.reason();
    const std::string backup = disk.folder() + "/backup.txt";
    disk.Fill("backup.txt", "# the last good backup\n017C001=7\n");
    const Outcome full = Tz52({"dump", "--port", sim.port(), "--station", "17", "-o", backup});
    EXPECT_EQ(full.exitCode, 74) << Show(full);
    EXPECT_NE(full.err.find("cannot write the dump to " + backup + ": " + backup +
                            ".part: No space left on device"),
              std::string::npos)
        << Show(full);
    EXPECT_EQ(FileText(backup), "# the last good backup\n017C001=7\n");
    EXPECT_EQ(FileText(backup + ".part"), "(none)");
}

TEST_F(Tz52WithSimulator, InterruptedDumpLeavesTheBackupAndRestoreRefusesThePart) {
    TempFile backup("# the last good backup\n017C001=7\n");
    // Exchange 3 answers after 1.5 s: Ctrl-C comes while it is awaited.
    Simulator sim({"--station", "17", "--set", "017C001=9", "--fault", "3:late=1500"});
    ASSERT_FALSE(sim.port().empty());
    const Outcome dump = ::Run(kHost, {"dump", "--port", sim.port(), "--station", "17", "--timeout", "3s", "-o",
                                     backup.path()},
                             std::chrono::seconds(30), std::chrono::milliseconds(700));
    EXPECT_EQ(dump.exitCode, 1) << Show(dump);
    EXPECT_NE(dump.err.find("stopped by Ctrl-C after 3 of 554 points"), std::string::npos) << Show(dump);
    EXPECT_NE(dump.err.find(backup.path() + " was left as it was; the points read are in " + backup.path() +
                            ".incomplete"),
              std::string::npos)
        << Show(dump);
    EXPECT_EQ(backup.Text(), "# the last good backup\n017C001=7\n");
    const std::string part = backup.path() + ".incomplete";
    const std::string text = FileText(part);
    EXPECT_NE(text.find("\n# complete: no (stopped after 3 of 554 points)\n"), std::string::npos) << text;

    const Outcome refused = Tz52({"restore", "--port", sim.port(), "--dry-run", part});
    EXPECT_EQ(refused.exitCode, 1) << Show(refused);
    EXPECT_NE(refused.err.find(part + ": the dump is not complete (stopped after 3 of 554 points)"),
              std::string::npos)
        << Show(refused);
    // Comments are all the simulator sees of the header.
    Simulator copy({"--set-file", part});
    EXPECT_FALSE(copy.port().empty());
    unlink(part.c_str());

    const Outcome whole = Tz52({"dump", "--port", sim.port(), "--station", "17", "--types", "C", "-o",
                                backup.path()});
    EXPECT_EQ(whole.exitCode, 0) << Show(whole);
    EXPECT_NE(backup.Text().find("\n# complete: yes\n# types C, "), std::string::npos) << backup.Text();
}

}  // namespace
