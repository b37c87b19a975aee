// tz52sim as a program (its command line, the "port NAME" line, the link,
// the trace, the exit on a signal) and the simulator serving a serial device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/tz52sim/sim_server.h"

extern char** environ;

namespace {

using tz52sim::Bytes;

const Bytes kReadC1 = {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};

// Reads what arrives on `fd` until `count` bytes or `ms` pass.
std::string ReadFor(int fd, size_t count, int ms) {
    std::string text;
    pollfd stream{fd, POLLIN, 0};
    while (text.size() < count && poll(&stream, 1, ms) > 0) {
        char buffer[256];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - text.size()));
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

std::string ReadLine(int fd) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const std::string got = ReadFor(fd, 1, 5000);
        if (got.empty()) break;
        line += got;
    }
    return line;
}

// The program with its stdout and stderr on pipes.
struct Program {
    pid_t pid = 0;
    int out = -1;
    int err = -1;

    explicit Program(const std::vector<std::string>& arguments) {
        int outPipe[2];
        int errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<char*> argv{const_cast<char*>(TZ52SIM_PATH)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid, TZ52SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        out = outPipe[0];
        err = errPipe[0];
    }
    ~Program() {
        if (pid != 0) Wait(SIGKILL);
        close(out);
        close(err);
    }
    // Sends `signal` (0: none) and returns the exit code.
    int Wait(int signal) {
        if (signal != 0) kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

std::string ShortLinkPath() {
    char path[] = "/tmp/XXXXXX";
    close(mkstemp(path));
    unlink(path);
    return path;
}

TEST(SimulatorProgram, HelpNamesEveryOptionAndBadUsageExits64) {
    Program help({"--help"});
    const std::string text = ReadFor(help.out, 100000, 5000);
    EXPECT_EQ(help.Wait(0), 0);
    for (const char* option : {"--station", "--set ", "--set-file", "--link", "--device", "--baud",
                               "--format", "--fault", "silent", "late=MS", "damage=POS", "badstart",
                               "short=LEN", "stray=COUNT", "lostwrite", "--random-faults", "--seed", "--trace"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }

    Program bad({"--set", "001A009=999"});
    EXPECT_EQ(bad.Wait(0), 64);
    EXPECT_NE(ReadFor(bad.err, 1000, 1000).find("0 to 381"), std::string::npos);
}

// A set file is read whole before anything is served: one that cannot be
// read is a file error (74) naming it, a bad line a usage error (64) naming
// FILE:LINE; names and text from the file are shown escaped.
TEST(SimulatorProgram, SetFileThatCannotBeReadExits74AndABadLine64) {
    char named[] = "/tmp/tz52sim-\x1b[1m-XXXXXX";
    const int fd = mkstemp(named);
    ASSERT_GE(fd, 0);
    const std::string text = "001M025=1\n\x1b[2J=5\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const std::string shownName = "/tmp/tz52sim-\\x1B[1m-" + std::string(named).substr(std::strlen(named) - 6);
    const struct {
        std::string file;
        int exitCode;
        std::string stderrHolds;
    } rows[] = {
        {"/dev/zero", 74, "tz52sim: --set-file /dev/zero:1: line longer than 4096 bytes"},
        {"/", 74, "tz52sim: --set-file /: cannot be read: Is a directory"},
        {"/proc/self/mem", 74, "tz52sim: --set-file /proc/self/mem: cannot be read: Input/output error"},
        {"/nonexistent/plant.txt", 74, "tz52sim: --set-file /nonexistent/plant.txt: No such file"},
        {named, 64, "tz52sim: " + shownName + ":2: point address \"\\x1B[2J\" is not"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        Program simulator({"--set-file", row.file});
        const std::string err = ReadFor(simulator.err, 100000, 10000);
        EXPECT_EQ(simulator.Wait(0), row.exitCode) << err;
        EXPECT_NE(err.find(row.stderrHolds), std::string::npos) << err;
        EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
        EXPECT_EQ(ReadFor(simulator.out, 100, 100), "") << "served anyway";
    }
    unlink(named);
}

TEST(SimulatorProgram, PrintsThePortAnswersOnItAndCleansUpOnASignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const std::string link = ShortLinkPath();
        Program simulator({"--set", "001C001=4660", "--link", link, "--trace"});
        const std::string line = ReadLine(simulator.out);
        ASSERT_EQ(line.rfind("port pts/", 0), 0u) << line;
        const std::string port = "/dev/" + line.substr(5, line.size() - 6);
        char target[64] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(port, target);

        const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
        ASSERT_EQ(write(fd, kReadC1.data(), kReadC1.size()), 8);
        const std::string reply = ReadFor(fd, 10, 2000);
        EXPECT_EQ(reply, std::string("\xFE\x00\x00\x7F\x09\x76\x1A\x65\x00\x7F", 10));
        close(fd);

        const std::string trace = ReadLine(simulator.err);
        EXPECT_NE(trace.find("#1 station 1 read 001C001 = 4660 | rx 81 7E 01 7E 5F 20 1F 60 | tx FE"),
                  std::string::npos)
            << trace;
        EXPECT_EQ(simulator.Wait(signal), 0);
        EXPECT_NE(access(link.c_str(), F_OK), 0) << "link left behind";
    }
}

TEST(SimulatorProgram, TracesFaultsAndFramesItDrops) {
    tz52sim::SimConfig config;
    config.stations = {1};
    config.trace = true;
    config.faults.scripted[1] = {tz52sim::FaultKind::kDamage, 5};
    tz52sim::Simulator simulator(config);
    std::vector<std::string> lines;
    simulator.SetTraceSink([&lines](const std::string& line) { lines.push_back(line); });
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;

    const int fd = open(simulator.LinePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    Bytes stream = {0x12, 0x34};
    stream.insert(stream.end(), kReadC1.begin(), kReadC1.end());
    const Bytes otherStation = {0x82, 0x7D, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};
    stream.insert(stream.end(), otherStation.begin(), otherStation.end());
    ASSERT_EQ(write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    EXPECT_EQ(ReadFor(fd, 10, 2000).size(), 10u);
    ReadFor(fd, 1, 100);  // nothing for station 2
    close(fd);
    simulator.Close();

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "dropped 2 byte(s), noise: 12 34");
    EXPECT_EQ(lines[1],
              "#1 station 1 read 001C001 = 0 | rx 81 7E 01 7E 5F 20 1F 60 | "
              "tx FE 00 00 7F 00 7E 00 7F 00 7F | fault damage=5");
    EXPECT_EQ(lines[2], "station 2 not served, no reply | rx 82 7D 01 7E 5F 20 1F 60");
}

TEST(SimulatorProgram, ServesASerialDevice) {
    // The far end of a pseudo-terminal stands in for a serial device.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    tz52sim::SimConfig config;
    config.stations = {3};
    config.devicePath = ptsname(master);
    config.baud = 19200;
    std::string error;
    ASSERT_TRUE(tz52sim::ParseLineFormat("7E2", &config.format, &error));
    tz52sim::Simulator simulator(config);
    simulator.SetPoint({3, 'B', 4}, 99);
    ASSERT_TRUE(simulator.Start(&error)) << error;
    EXPECT_EQ(simulator.PortName(), config.devicePath);

    const Bytes readB4 = {0x83, 0x7C, 0x01, 0x7E, 0x47, 0x38, 0x7B, 0x04};
    ASSERT_EQ(write(master, readB4.data(), readB4.size()), 8);
    EXPECT_EQ(ReadFor(master, 6, 2000), std::string("\xFE\x00\x00\x7F\x63\x1C", 6));
    simulator.Close();
    close(master);

    config.baud = 12345;
    tz52sim::Simulator oddRate(config);
    EXPECT_FALSE(oddRate.Open(&error));
    EXPECT_NE(error.find("standard rate"), std::string::npos) << error;
}

}  // namespace
