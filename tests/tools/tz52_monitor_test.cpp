// tz52 monitor as an engineer meets it: tz52 -> monitor -> tz52sim on
// pseudo-terminals, with the simulator's scripted faults; the relay passing
// every byte value both ways unchanged; the capture and a hand-written hex
// capture decoded to the same lines as the live run; captures with lines
// that cannot be read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char kHost[] = TZ52_HOST_PATH;
const char kSimulator[] = TZ52_SIM_PATH;

using Clock = std::chrono::steady_clock;

// A program with its stdout and stderr collected by a thread, so that it
// never blocks on a full pipe; killed if still running at the end.
class Program {
public:
    Program(const std::string& path, const std::vector<std::string>& arguments) {
        int outPipe[2], errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        reader_ = std::thread([this, out = outPipe[0], err = errPipe[0]] { Collect(out, err); });
    }
    ~Program() {
        if (pid_ != 0) kill(pid_, SIGKILL);
        Wait();
    }

    // The first line of stdout, waiting up to ten seconds for it.
    std::string FirstLine() {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const size_t end = out_.find('\n');
                if (end != std::string::npos) return out_.substr(0, end);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "";
    }
    // "port pts/5" -> "pts/5".
    std::string Port() {
        const std::string line = FirstLine();
        return line.rfind("port ", 0) == 0 ? line.substr(5) : "";
    }

    // Sends `signal` (none: 0) and waits up to 30 s; the exit code.
    int Stop(int signal) {
        if (pid_ != 0 && signal != 0) kill(pid_, signal);
        return Wait();
    }
    int Wait() {
        if (pid_ != 0) {
            const auto deadline = Clock::now() + std::chrono::seconds(30);
            int status = 0;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ADD_FAILURE() << "a program ran longer than 30 s";
                    kill(pid_, SIGKILL);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            pid_ = 0;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (reader_.joinable()) reader_.join();
        return exitCode_;
    }
    std::string Out() {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_;
    }
    std::string Err() {
        std::lock_guard<std::mutex> lock(mutex_);
        return err_;
    }
    std::string Show() { return "--- stdout\n" + Out() + "--- stderr\n" + Err(); }
    // While paused, stdout is not read: the program's writes to it block once
    // the pipe is full, as on a terminal that is not keeping up.
    void PauseOutput(bool paused) { paused_.store(paused); }

private:
    void Collect(int out, int err) {
        pollfd streams[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        std::string* sinks[2] = {&out_, &err_};
        for (int open = 2; open > 0;) {
            streams[0].events = paused_.load() ? 0 : POLLIN;
            if (poll(streams, 2, 10) < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; ++i) {
                if (streams[i].fd < 0 || streams[i].revents == 0) continue;
                char buffer[4096];
                const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    sinks[i]->append(buffer, static_cast<size_t>(got));
                } else {
                    close(streams[i].fd);
                    streams[i].fd = -1;
                    --open;
                }
            }
        }
    }

    std::atomic<bool> paused_{false};
    pid_t pid_ = 0;
    int exitCode_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::string out_;
    std::string err_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string TemporaryPath(const std::string& name) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr ? base : "/tmp") + "/tz52_monitor_test." + std::to_string(getpid()) + "." +
           name;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The fields of an exchange's JSON line that do not depend on time.
std::string Untimed(const std::string& line) {
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(line, nullptr, false);
    if (json.is_discarded()) return "not JSON: " + line;
    for (const char* key : {"timeMs", "clock", "replyMs", "strayBytes", "bytes"}) json.erase(key);
    if (json.contains("summary")) json["summary"].erase("replyTimes");
    return json.dump();
}

class MonitorWithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (kSimulator[0] == '\0') GTEST_SKIP() << "tz52sim is not part of this build";
    }
};

// Station 1, point M025 holding 1234: the request tz52 sends and the reply.
const char kRequest[] = "81 7E 01 7E 5B 24 3F 40";
const char kReply[] = "FE 00 00 7F 02 7D 69 16 00 7F";

// The simulator's exchanges 2, 4, 6, 8 and 10 go wrong; the driver retries
// each, so six reads make ten exchanges, every read ending well.
const std::vector<std::string> kFaults = {"--fault", "2:damage=5", "--fault", "4:badstart", "--fault", "6:short=3",
                                          "--fault", "8:silent",   "--fault", "10:stray=5"};
struct ExpectedExchange {
    const char* verdict;
    const char* detail;
};
const ExpectedExchange kExpected[] = {
    {"ok", "ok"}, {"badPair", "bad pair at byte 4"}, {"ok", "ok"}, {"wrongFirstByte", "wrong first byte"},
    {"ok", "ok"}, {"shortReply", "short reply (3 of 10 bytes)"}, {"ok", "ok"}, {"noReply", "no reply"},
    {"ok", "ok"}, {"strayBytes", "stray bytes (5)"},
};

// The same ten exchanges written by hand, without times.
const std::string kHandWritten = std::string("# six reads of 001M025 through the simulator's faults\n") +
                                 "> " + kRequest + "\n< " + kReply + "\n" +
                                 "> " + kRequest + "\n< FE 00 00 7F 02 7C 69 16 00 7F\n" +
                                 "> " + kRequest + "\n< " + kReply + "\n" +
                                 "> " + kRequest + "\n< FF 00 00 7F 02 7D 69 16 00 7F\n" +
                                 "> " + kRequest + "\n< " + kReply + "\n" +
                                 "> " + kRequest + "\n< FE 00 00\n" +
                                 "> " + kRequest + "\n< " + kReply + "\n" +
                                 "> " + kRequest + "\n" +
                                 "> " + kRequest + "\n< " + kReply + "\n" +
                                 "> " + kRequest + "\n< FE 00 00 7F 02 7D 69 16 00 7F FE 01 02 03 04\n";

TEST_F(MonitorWithSimulator, EachVerdictOnItsExchangeAndTheCapturesDecodeToTheSameLines) {
    Program simulator(kSimulator, [] {
        std::vector<std::string> arguments = {"--trace", "--set", "001M025=1234"};
        arguments.insert(arguments.end(), kFaults.begin(), kFaults.end());
        return arguments;
    }());
    const std::string simulatorPort = simulator.Port();
    ASSERT_FALSE(simulatorPort.empty()) << simulator.Show();
    const std::string capture = TemporaryPath("capture");
    Program monitor(kHost, {"monitor", "--device", "/dev/" + simulatorPort, "--json", "-o", capture});
    const std::string firstLine = monitor.FirstLine();
    const nlohmann::json portLine = nlohmann::json::parse(firstLine, nullptr, false);
    ASSERT_TRUE(portLine.is_object() && portLine.contains("port")) << monitor.Show();
    const std::string port = portLine["port"];

    for (int read = 0; read < 6; ++read) {
        Program host(kHost, {"read", "--port", port, "001M025"});
        EXPECT_EQ(host.Wait(), 0) << host.Show();
        EXPECT_NE(host.Out().find("001M025    1234  0x04D2  ok"), std::string::npos) << host.Show();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(monitor.Stop(SIGINT), 0) << monitor.Show();
    EXPECT_EQ(simulator.Stop(SIGTERM), 0);

    // One line per exchange, each with its verdict, and the summary.
    const std::vector<std::string> live = Lines(monitor.Out());
    ASSERT_EQ(live.size(), 1 + 10 + 1) << monitor.Show();
    for (size_t i = 0; i < 10; ++i) {
        const nlohmann::json exchange = nlohmann::json::parse(live[1 + i], nullptr, false);
        ASSERT_TRUE(exchange.is_object()) << live[1 + i];
        EXPECT_EQ(exchange["exchange"], i + 1) << live[1 + i];
        EXPECT_EQ(exchange["point"], "001M025") << live[1 + i];
        EXPECT_EQ(exchange["verdict"], kExpected[i].verdict) << live[1 + i];
        EXPECT_EQ(exchange["detail"], kExpected[i].detail) << live[1 + i];
        EXPECT_EQ(exchange["request"], kRequest) << live[1 + i];
        const bool good = exchange["verdict"] == "ok" || exchange["verdict"] == "strayBytes";
        EXPECT_EQ(exchange["value"], good ? nlohmann::json(1234) : nlohmann::json(nullptr)) << live[1 + i];
        EXPECT_EQ(exchange["replyMs"].is_number(), exchange["reply"].get<std::string>().size() == 29) << live[1 + i];
    }
    const nlohmann::json summary = nlohmann::json::parse(live.back(), nullptr, false)["summary"];
    EXPECT_EQ(summary["exchanges"], 10) << live.back();
    EXPECT_EQ(summary["stations"]["1"]["failed"], 5) << live.back();
    for (const char* kind : {"badPair", "wrongFirstByte", "shortReply", "noReply", "strayBytes"}) {
        EXPECT_EQ(summary["failures"][kind], 1) << kind << ": " << live.back();
    }
    EXPECT_EQ(summary["replyTimes"]["count"], 8) << live.back();

    // What the simulator received is what tz52 sent (the monitor saw it on
    // the host's side), and what it sent is what the monitor passed back.
    std::string received, sent;
    for (const std::string& line : Lines(simulator.Err())) {
        const size_t rx = line.find("| rx ");
        if (rx == std::string::npos) continue;
        const size_t tx = line.find(" | tx ", rx);
        received += line.substr(rx + 5, tx - rx - 5) + " ";
        std::string reply = line.substr(tx + 6, line.find(" | ", tx + 6) - tx - 6);
        if (reply != "(nothing)") sent += reply + " ";
        const size_t stray = line.find("| stray ");
        if (stray != std::string::npos) sent += line.substr(stray + 8, line.find(" | ", stray + 8) - stray - 8) + " ";
    }
    std::string hostSide, deviceSide;
    std::stringstream captured;
    captured << std::ifstream(capture).rdbuf();
    for (const std::string& line : Lines(captured.str())) {
        const size_t mark = line.find_first_of("<>");
        if (line.empty() || line[0] == '#' || mark == std::string::npos) continue;
        (line[mark] == '>' ? hostSide : deviceSide) += line.substr(mark + 2) + " ";
    }
    std::string tenRequests;
    for (int i = 0; i < 10; ++i) tenRequests += std::string(kRequest) + " ";
    EXPECT_EQ(received, tenRequests) << simulator.Err();
    EXPECT_EQ(hostSide, received);
    EXPECT_EQ(deviceSide, sent);

    // The capture decodes to exactly the live lines; the hand-written one to
    // the same lines but for the times it does not have.
    Program decoded(kHost, {"monitor", "--decode", capture, "--json"});
    EXPECT_EQ(decoded.Wait(), 0) << decoded.Show();
    EXPECT_EQ(Lines(decoded.Out()), std::vector<std::string>(live.begin() + 1, live.end())) << decoded.Show();

    const std::string handWritten = TemporaryPath("hand");
    WriteFile(handWritten, kHandWritten);
    Program decodedByHand(kHost, {"monitor", "--decode", handWritten, "--json"});
    EXPECT_EQ(decodedByHand.Wait(), 0) << decodedByHand.Show();
    const std::vector<std::string> byHand = Lines(decodedByHand.Out());
    ASSERT_EQ(byHand.size(), live.size() - 1) << decodedByHand.Show();
    for (size_t i = 0; i < byHand.size(); ++i) EXPECT_EQ(Untimed(byHand[i]), Untimed(live[1 + i]));
    unlink(capture.c_str());
    unlink(handWritten.c_str());
}

// Every byte value passes both ways unchanged, noise included, through a
// --link name; the noise is shown as stray bytes; SIGTERM ends with the
// summary too.
TEST(MonitorRelay, PassesEveryByteValueBothWaysUnchanged) {
    const int device = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(device, 0);
    ASSERT_EQ(grantpt(device), 0);
    ASSERT_EQ(unlockpt(device), 0);
    const std::string devicePath = ptsname(device);
    const std::string link = TemporaryPath("link");
    Program monitor(kHost, {"monitor", "--device", devicePath, "--link", link, "--raw"});
    ASSERT_FALSE(monitor.Port().empty()) << monitor.Show();
    const int host = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0) << monitor.Show();
    termios settings{};
    tcgetattr(host, &settings);
    cfmakeraw(&settings);
    tcsetattr(host, TCSANOW, &settings);

    std::vector<uint8_t> every(256);
    for (int i = 0; i < 256; ++i) every[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    struct Direction {
        int from;
        int to;
    };
    for (const Direction& direction : {Direction{host, device}, Direction{device, host}}) {
        ASSERT_EQ(write(direction.from, every.data(), every.size()), 256);
        std::vector<uint8_t> got;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (got.size() < every.size() && Clock::now() < deadline) {
            pollfd watch = {direction.to, POLLIN, 0};
            if (poll(&watch, 1, 100) <= 0) continue;
            uint8_t buffer[512];
            const ssize_t part = read(direction.to, buffer, sizeof buffer);
            if (part > 0) got.insert(got.end(), buffer, buffer + part);
        }
        EXPECT_EQ(got, every);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(host);
    EXPECT_EQ(monitor.Stop(SIGTERM), 0) << monitor.Show();
    close(device);
    EXPECT_NE(monitor.Out().find("(from the host)"), std::string::npos) << monitor.Show();
    EXPECT_NE(monitor.Out().find("(from the controller)"), std::string::npos) << monitor.Show();
    EXPECT_NE(monitor.Out().find("summary: "), std::string::npos) << monitor.Show();
    EXPECT_EQ(access(link.c_str(), F_OK), -1) << "the link outlived the monitor";
}

// A display that cannot keep up (its output blocked) never holds the line
// up: every request still reaches the device at once; the exchanges it
// could not show in time are counted and said.
TEST(MonitorRelay, OutputThatBlocksDelaysNoByteAndSaysWhatItLeftOff) {
    const int device = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(device, 0);
    ASSERT_EQ(grantpt(device), 0);
    ASSERT_EQ(unlockpt(device), 0);
    Program monitor(kHost, {"monitor", "--device", ptsname(device), "--raw"});
    const std::string port = monitor.Port();
    ASSERT_FALSE(port.empty()) << monitor.Show();
    const int host = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    termios settings{};
    tcgetattr(host, &settings);
    cfmakeraw(&settings);
    tcsetattr(host, TCSANOW, &settings);

    // Requests the device never answers: each ends the one before as no
    // reply, and each makes several lines of output, far more than a pipe
    // holds.
    const uint8_t request[] = {0x81, 0x7E, 0x01, 0x7E, 0x5B, 0x24, 0x3F, 0x40};
    constexpr int kBatches = 40;
    constexpr int kPerBatch = 50;
    monitor.PauseOutput(true);
    std::vector<uint8_t> sent, arrived;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < kPerBatch; ++i) bytes.insert(bytes.end(), request, request + sizeof request);
        ASSERT_EQ(write(host, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        // Each batch is on the device side within a generous bound, though
        // nobody reads the monitor's output.
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (arrived.size() < sent.size() && Clock::now() < deadline) {
            uint8_t buffer[4096];
            const ssize_t got = read(device, buffer, sizeof buffer);
            if (got > 0) arrived.insert(arrived.end(), buffer, buffer + got);
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(arrived.size(), sent.size()) << "batch " << batch << ": the relay waited for the display";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(arrived, sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    monitor.PauseOutput(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(monitor.Stop(SIGINT), 0) << monitor.Err();
    close(host);
    close(device);
    const std::string out = monitor.Out();
    EXPECT_NE(out.find("not shown: the display fell behind the line"), std::string::npos) << monitor.Err();
    EXPECT_NE(out.find("summary: " + std::to_string(kBatches * kPerBatch) + " exchange(s), " +
                       std::to_string(kBatches * kPerBatch) + " failed"),
              std::string::npos)
        << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
    EXPECT_NE(out.find("failures: no reply " + std::to_string(kBatches * kPerBatch)), std::string::npos);
}

// ---- decoding captures ---------------------------------------------------------

struct DecodeRow {
    std::string capture;
    std::vector<std::string> options;
    int exitCode;
    std::vector<const char*> stdoutHolds;  // in this order
    const char* stderrHolds;
    std::string path;  // decoded instead of a file holding `capture`
};

// The bytes tz52 and tz52sim exchanged for each command (from the
// simulator's trace): one request and its reply, which must decode whole.
DecodeRow OneExchange(const char* request, const char* reply, const char* command, const char* value) {
    return {std::string("> ") + request + "\n< " + reply + "\n", {}, 0,
            {command, value, "  ok\nsummary: 1 exchange(s), 0 failed"}, nullptr, ""};
}

TEST(MonitorDecode, CapturesOfEveryForm) {
    const std::string reply = std::string("< ") + kReply + "\n";
    const std::vector<DecodeRow> rows = {
        // Times in milliseconds: reply time from the request's last byte to
        // the reply's last byte.
        {"10 > 81 7E 01 7E 5B 24 3F 40\n12.5 < FE 00 00 7F 02 7D\n13.250 < 69 16 00 7F\n", {}, 0,
         {"10.000    1  read 001M025", "1234       3.250  ok", "reply time: min 3.250 ms"}, nullptr, ""},
        // Times of day, with --clock; bytes without spaces.
        {"23:59:59.990 > 817E017E5B243F40\n00:00:00.001 < FEFF007F027D6916007F\n", {"--clock"}, 0,
         {"23:59:59.990    1  read 001M025", "1234      11.000  ok"}, nullptr, ""},
        // Nothing within the read limit plus 20 ms: no reply, and a late
        // reply is stray; --timeout moves the bound.
        {"0 > 81 7E 01 7E 5B 24 3F 40\n61 < FE 00 00 7F 02 7D 69 16 00 7F\n", {}, 0,
         {"no reply", "(from the controller)", "stray bytes (10)"}, nullptr, ""},
        {"0 > 81 7E 01 7E 5B 24 3F 40\n61 < FE 00 00 7F 02 7D 69 16 00 7F\n", {"--timeout", "50ms"}, 0,
         {"1234      61.000  ok"}, nullptr, ""},
        // Noise before a request, from the host: stray, then decoding
        // picks up at the request start.
        {std::string("> 00 12 7F 81 7E\n> 81 7E 01 7E 5B 24 3F 40\n") + reply, {}, 0,
         {"(from the host)", "stray bytes (5)", "read 001M025", "ok"}, nullptr, ""},
        // A request start that never goes on is stray once the host is quiet.
        {"0 > 81 7E 01\n100 > 81 7E 01 7E 5B 24 3F 40\n", {}, 0,
         {" 0.000    -  (from the host)", "stray bytes (3)", "100.000    1  read 001M025", "no reply"}, nullptr, ""},
        // A write: the point and the value written, the acknowledgement.
        {"> 81 7E 01 7E 70 0F 76 09 65 1A 7F 00 4F 30\n< FE 00 00 7F\n", {"--raw"}, 0,
         {"write 001C001 := 4660", "ok", "> 81 7E 01 7E 70 0F", "< FE 00 00 7F"}, nullptr, ""},
        // Lines that cannot be read are named; the rest is decoded.
        {std::string("> 81 7E 01 7E 5B 24 3F 40\n") + reply + "> 8G\n12:61:00 < FE\n< \n", {}, 1,
         {"read 001M025", "1234"}, ":3: cannot read the line, left out: '8G' is not hexadecimal bytes", ""},
        {"FE 00 00 7F\n", {}, 1, {"summary: 0 exchange(s)"}, ":1: cannot read the line, left out: 'FE' is neither", ""},
        {"> 81 7E 01 7E 5B 24 3F 40\n< 00 00 00\n", {}, 0, {"short reply (3 of 10 bytes)"}, nullptr, ""},
        // Text from the capture is echoed with its control characters escaped.
        {"> 81 7E \x1b[2J\n", {}, 1, {"summary: 0 exchange(s)"},
         ":1: cannot read the line, left out: '\\x1B[2J' is not hexadecimal bytes", ""},
        // A capture that cannot be read whole is a file error, with nothing
        // of it decoded: a device that never ends a line, a directory, a read
        // error, a file that is not there.
        {"", {}, 74, {}, "cannot read the capture /dev/zero:1: line longer than 65536 bytes", "/dev/zero"},
        {"", {}, 74, {}, "cannot read the capture /: cannot be read: Is a directory", "/"},
        {"", {}, 74, {}, "cannot read the capture /proc/self/mem: cannot be read: Input/output error",
         "/proc/self/mem"},
        {"", {}, 74, {}, "cannot read the capture /nonexistent/x.cap: No such file", "/nonexistent/x.cap"},
        {"", {"--json"}, 74, {"\"exitCode\":74"}, "cannot read the capture /: cannot be read", "/"},
        // Every command the driver sends: its reply length, first byte and
        // value as the controller answers.
        OneExchange("81 7E 01 7E 4B 34 69 16", "FE 00 00 7F 64 1B 01 7E", "read 001A009", "201"),
        OneExchange("81 7E 01 7E 4B 34 66 19", "FE 00 00 7F 00 7F 00 7F", "read 001A012", "0"),
        OneExchange("81 7E 01 7E 47 38 6F 10", "FE 00 00 7F 7F 00", "read 001B016", "127"),
        OneExchange("81 7E 01 7E 5F 20 1F 60", "FE 00 00 7F 7F 00 7F 00 03 7C", "read 001C001", "65535"),
        OneExchange("81 7E 01 7E 5F 20 01 7E", "FE 00 00 7F 00 7F 00 7F 00 7F", "read 001C016", "0"),
        OneExchange("81 7E 01 7E 5B 24 31 4E", "FE 00 00 7F 00 7F 04 7B 01 7E", "read 001M032", "9"),
        OneExchange("81 7E 01 7E 37 48 7F 00", "FE 00 00 7F 00 7F 03 7C 01 7E", "read 001M033", "7"),
        OneExchange("81 7E 01 7E 37 48 3C 43", "FE 00 00 7F 18 67 1C 63 01 7E", "read 001M100", "12345"),
        OneExchange("81 7E 01 7E 33 4C 20 5F", "FE 00 00 7F 00 7F 00 7F 00 7F", "read 001M256", "0"),
        OneExchange("81 7E 01 7E 53 2C 73 0C", "FE 00 00 7F 01 7E", "read 001O012", "1"),
        OneExchange("81 7E 01 7E 3E 41 24 5B 7C 03 7E 01", "FE 00 00 7F 00 7F 7F 00 02 7D", "read 001S250", "510"),
        OneExchange("81 7E 01 7E 70 0F 76 09 65 1A 7F 00 4F 30", "FE 00 00 7F", "write 001C001 := 4660", ""),
        OneExchange("81 7E 01 7E 70 0F 7D 02 54 2B 7E 01 1F 60", "FE 00 00 7F", "write 001M025 := 1111", ""),
        OneExchange("81 7E 01 7E 70 0F 7B 04 28 57 77 08 3C 43", "FE 00 00 7F", "write 001M100 := 2222", ""),
        OneExchange("81 7E 01 7E 57 28 67 18", "FE 00 00 7F", "write 001O012 := 0", ""),
        OneExchange("81 7E 01 7E 38 47 24 5B 7B 04 7B 04 19 66", "FE 00 00 7F 66 19",
                    "write 001S250 low byte := 205", ""),
        OneExchange("81 7E 01 7E 38 47 24 5B 7C 03 7A 05 2A 55", "FE 00 00 7F 55 2A",
                    "write 001S250 high byte := 171", ""),
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const DecodeRow& row = rows[i];
        const std::string path = row.path.empty() ? TemporaryPath("decode" + std::to_string(i)) : row.path;
        if (row.path.empty()) WriteFile(path, row.capture);
        std::vector<std::string> arguments = {"monitor", "--decode", path};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        Program decoder(kHost, arguments);
        EXPECT_EQ(decoder.Wait(), row.exitCode) << "row " << i << "\n" << decoder.Show();
        const std::string out = decoder.Out();
        size_t from = 0;
        for (const char* text : row.stdoutHolds) {
            const size_t at = out.find(text, from);
            EXPECT_NE(at, std::string::npos) << "row " << i << ": '" << text << "'\n" << decoder.Show();
            if (at != std::string::npos) from = at;
        }
        if (row.stderrHolds) {
            EXPECT_NE(decoder.Err().find(row.stderrHolds), std::string::npos) << "row " << i << "\n" << decoder.Show();
        } else {
            EXPECT_EQ(decoder.Err(), "") << "row " << i;
        }
        if (row.exitCode == 74 && row.options.empty()) {
            EXPECT_EQ(out, "") << "row " << i << ": decoded anyway";
        }
        if (row.path.empty()) unlink(path.c_str());
    }
}

}  // namespace
