// What the bridge's end-to-end suites share: the real tz52 started as a
// child process (Spawn, WaitExit), a real broker (mosquitto on a free
// loopback port with a configuration of its own), the test's own MQTT client
// (Watcher), and the fixture that runs the simulator, the broker and the
// bridge together (Bridge).
#ifndef TZ52DRV_TESTS_TOOLS_BRIDGE_TEST_SUPPORT_H
#define TZ52DRV_TESTS_TOOLS_BRIDGE_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/tools/sim_line_support.h"

extern char** environ;

namespace bridgetest {

using simline::Clock;
using simline::MillisecondsSince;

inline constexpr char kHost[] = TZ52_HOST_PATH;
inline constexpr char kBroker[] = "/usr/sbin/mosquitto";

inline std::string TempDirectory() {
    char path[] = "/tmp/tz52-bridge-XXXXXX";
    return mkdtemp(path) != nullptr ? path : "";
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The test's environment without what a service manager hands its services,
// then `extra` ("NAME=VALUE").
inline std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    static const char* const kManagers[] = {"JOURNAL_STREAM=", "NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID=",
                                            "CREDENTIALS_DIRECTORY="};
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        if (std::none_of(std::begin(kManagers), std::end(kManagers),
                         [&](const char* name) { return text.rfind(name, 0) == 0; })) {
            variables.push_back(text);
        }
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    return variables;
}

// Starts `arguments[0]` with stdout and stderr in `logPath`.
inline pid_t Spawn(const std::vector<std::string>& arguments, const std::string& logPath,
            const std::vector<std::string>& extraEnvironment = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = Environment(extraEnvironment);
    std::vector<char*> envp;
    for (const std::string& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << arguments[0] << ": " << std::strerror(spawned);
    return spawned == 0 ? pid : 0;
}

// The exit code, or 128 + the signal; -1 when it did not end within `seconds`.
inline int WaitExit(pid_t pid, int seconds) {
    const auto start = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (MillisecondsSince(start) > seconds * 1000) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A port nobody listens on: bound once to port 0, then let go.
inline int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return 0;
    }
    close(fd);
    return ntohs(address.sin_port);
}

inline bool Listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// mosquitto on 127.0.0.1 with a configuration of its own; no persistence, so
// a restarted broker knows nothing the bridge does not publish again.
// `settings` are the listener's (TLS files, who may log in).
class Broker {
public:
    explicit Broker(const std::string& directory, const std::string& settings = "allow_anonymous true\n")
        : directory_(directory), port_(FreeLoopbackPort()) {
        std::ofstream(directory + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                     << settings << "persistence false\n";
        Start();
    }
    ~Broker() { Kill(SIGTERM); }
    int port() const { return port_; }

    void Start() {
        pid_ = Spawn({kBroker, "-c", directory_ + "/mosquitto.conf"}, directory_ + "/mosquitto.log");
        const auto start = Clock::now();
        while (!Listening(port_) && MillisecondsSince(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(Listening(port_)) << ReadFile(directory_ + "/mosquitto.log");
    }
    void Kill(int signal) {
        if (pid_ == 0) return;
        kill(pid_, signal);
        WaitExit(pid_, 10);
        pid_ = 0;
    }

private:
    std::string directory_;
    int port_;
    pid_t pid_ = 0;
};

// A TCP relay on a free loopback port in front of a broker, for the bridge:
// the test cuts it (every connection closed, new ones closed at once) and
// mends it, and with `only311` it plays a broker that speaks MQTT 3.1.1
// alone, answering a CONNECT of MQTT 5 with "unacceptable protocol version"
// as such a broker does.
class BrokerRelay {
public:
    BrokerRelay(int brokerPort, bool only311) : brokerPort_(brokerPort), only311_(only311) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~BrokerRelay() {
        stop_ = true;
        thread_.join();
        for (Pair& pair : pairs_) Close(&pair);
        close(listener_);
    }
    int port() const { return port_; }
    void Cut(bool cut) { cut_ = cut; }

private:
    struct Pair {
        int bridge = -1;
        int broker = -1;    // -1 until the CONNECT was let through
        std::string head;   // the first bytes, until the CONNECT's protocol level is in
    };

    static sockaddr_in Loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }
    static void Close(Pair* pair) {
        if (pair->bridge >= 0) close(pair->bridge);
        if (pair->broker >= 0) close(pair->broker);
        pair->bridge = pair->broker = -1;
    }
    static bool WriteAll(int fd, const char* data, size_t size) {
        while (size > 0) {
            const ssize_t sent = write(fd, data, size);
            if (sent <= 0) return false;
            data += sent;
            size -= static_cast<size_t>(sent);
        }
        return true;
    }
    // The CONNECT's protocol level (4: 3.1.1, 5: MQTT 5); 0 while it is not
    // all in. Fixed header, remaining length (1 to 4 bytes), "MQTT", level.
    static int ProtocolLevel(const std::string& head) {
        size_t at = 1;
        while (at < head.size() && at < 5 && (static_cast<unsigned char>(head[at]) & 0x80) != 0) ++at;
        const size_t level = at + 1 + 6;
        return head.size() > level ? static_cast<unsigned char>(head[level]) : 0;
    }
    // False when the pair is done with.
    bool FromBridge(Pair* pair) {
        char buffer[65536];
        const ssize_t got = read(pair->bridge, buffer, sizeof buffer);
        if (got <= 0) return false;
        if (pair->broker >= 0) return WriteAll(pair->broker, buffer, static_cast<size_t>(got));
        pair->head.append(buffer, static_cast<size_t>(got));
        const int level = ProtocolLevel(pair->head);
        if (level == 0) return pair->head.size() < 64;
        if (only311_ && level == 5) {
            const char refused[] = {0x20, 0x02, 0x00, 0x01};
            WriteAll(pair->bridge, refused, sizeof refused);
            return false;
        }
        pair->broker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in broker = Loopback(brokerPort_);
        if (connect(pair->broker, reinterpret_cast<const sockaddr*>(&broker), sizeof broker) != 0) return false;
        return WriteAll(pair->broker, pair->head.data(), pair->head.size());
    }
    void Run() {
        while (!stop_) {
            if (cut_) {
                for (Pair& pair : pairs_) Close(&pair);
                pairs_.clear();
            }
            std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
            for (const Pair& pair : pairs_) {
                fds.push_back({pair.bridge, POLLIN, 0});
                fds.push_back({pair.broker, POLLIN, 0});  // -1 is left out by poll
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0 && cut_) close(accepted);
                if (accepted >= 0 && !cut_) pairs_.push_back(Pair{accepted, -1, ""});
            }
            for (size_t i = 0; i < pairs_.size() && 1 + 2 * i < fds.size(); ++i) {
                Pair& pair = pairs_[i];
                bool open = true;
                if (fds[1 + 2 * i].revents != 0) open = FromBridge(&pair);
                if (open && fds[2 + 2 * i].revents != 0) {
                    char buffer[65536];
                    const ssize_t got = read(pair.broker, buffer, sizeof buffer);
                    open = got > 0 && WriteAll(pair.bridge, buffer, static_cast<size_t>(got));
                }
                if (!open) Close(&pair);
            }
            pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(), [](const Pair& pair) { return pair.bridge < 0; }),
                         pairs_.end());
        }
    }

    int brokerPort_;
    bool only311_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::vector<Pair> pairs_;
    std::thread thread_;
};

// The test's own MQTT client: everything under the prefix, kept in order.
class Watcher {
public:
    explicit Watcher(int port) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            Watcher* watcher = static_cast<Watcher*>(self);
            std::lock_guard<std::mutex> lock(watcher->mutex_);
            watcher->messages_.emplace_back(
                message->topic, std::string(static_cast<const char*>(message->payload),
                                            static_cast<size_t>(message->payloadlen)));
            watcher->arrived_.notify_all();
        });
        EXPECT_EQ(mosquitto_connect(client_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(mosquitto_subscribe(client_, nullptr, "tz52/#", 1), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(client_);
    }
    ~Watcher() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

    // The first message on `topic` (from the `from`th on) that `accept`
    // takes; "" after `seconds`. *at gets its position.
    std::string WaitFor(const std::string& topic, const std::function<bool(const std::string&)>& accept,
                        int seconds = 10, size_t from = 0, size_t* at = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        for (size_t next = from;;) {
            for (; next < messages_.size(); ++next) {
                if (messages_[next].first == topic && accept(messages_[next].second)) {
                    if (at) *at = next;
                    return messages_[next].second;
                }
            }
            if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && next == messages_.size()) return "";
        }
    }
    std::string WaitFor(const std::string& topic, int seconds = 10) {
        return WaitFor(topic, [](const std::string&) { return true; }, seconds);
    }
    std::vector<std::string> On(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> payloads;
        for (const auto& message : messages_) {
            if (message.first == topic) payloads.push_back(message.second);
        }
        return payloads;
    }

private:
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::pair<std::string, std::string>> messages_;
};

inline std::function<bool(const std::string&)> Is(const std::string& expected) {
    return [expected](const std::string& payload) { return payload == expected; };
}

inline nlohmann::json Parsed(const std::string& text) { return nlohmann::json::parse(text, nullptr, false); }

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = TempDirectory();
        ASSERT_FALSE(directory_.empty());
        broker_ = std::make_unique<Broker>(directory_);
    }
    void TearDown() override {
        if (bridge_ != 0) {
            kill(bridge_, SIGKILL);
            WaitExit(bridge_, 10);
        }
        broker_.reset();
        simulator_.reset();
        std::system(("rm -rf " + directory_).c_str());
    }

    void StartSimulator(const std::vector<std::string>& values, const std::vector<std::string>& faults = {},
                        const std::string& link = "") {
        tz52sim::SimConfig config = simline::SimulatorConfig(faults, values);
        config.linkPath = link;
        simulator_ = simline::StartSimulator(config);
    }

    void StartBridge(const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {kHost, "bridge", "--port", port_.empty() ? simulator_->PortName() : port_,
                                              "--timeout", timeout_, "--every", "50ms", "--mqtt-host", "127.0.0.1",
                                              "--mqtt-port", std::to_string(brokerPort_ != 0 ? brokerPort_ : broker_->port())};
        // The tests of one line keep the short prefix of old.
        if (std::find(extra.begin(), extra.end(), "--topic-prefix") == extra.end()) {
            arguments.insert(arguments.end(), {"--topic-prefix", "tz52"});
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        bridge_ = Spawn(arguments, log(), environment_);
    }
    // SIGTERM; the exit code.
    int StopBridge() {
        // No bridge (it never started, or has ended): kill(0) would signal
        // the test's own process group.
        if (bridge_ == 0) return -1;
        kill(bridge_, SIGTERM);
        const int code = WaitExit(bridge_, 10);
        bridge_ = 0;
        return code;
    }
    std::string log() const { return directory_ + "/bridge.log"; }
    std::string BridgeLog() const { return ReadFile(log()); }

    std::string directory_;
    std::string port_;
    // Generous for a loaded machine: a reply later than this is a silent station.
    std::string timeout_ = "60ms";
    std::vector<std::string> environment_;  // NAME=VALUE for the bridge
    int brokerPort_ = 0;                    // the bridge's broker when not broker_'s (a relay)
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<tz52sim::Simulator> simulator_;
    pid_t bridge_ = 0;
};

// Counts the times `text` is in `log`.
inline size_t Occurrences(const std::string& log, const std::string& text) {
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

}  // namespace bridgetest

#endif  // TZ52DRV_TESTS_TOOLS_BRIDGE_TEST_SUPPORT_H
