// tz52 bridge against the paced simulator and a real broker (mosquitto on a
// free loopback port, with a configuration of its own), all on this machine:
//
// 1. Delivery: from the moment a read returns a new value to the moment an
//    MQTT subscriber has it. The simulator's point changes before each read;
//    the bridge reports when each read returned, the subscriber when the
//    value arrived; one monotonic clock for both.
// 2. Poll cycle: one read of each point type, polled with no pause and no
//    writes, against the wire time of those reads at the simulator's baud
//    rate (10 bit times per byte at 8N1, request and reply).
//
//   tz52_bench_bridge [--baud B] [--values N] [--cycles N]
#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "bench/bench_support.h"
#include "tools/tz52/bridge/bridge.h"
#include "tools/tz52sim/sim_server.h"

extern char** environ;

namespace {

constexpr char kBroker[] = "/usr/sbin/mosquitto";

struct Broker {
    pid_t pid = 0;
    int port = 0;
    std::string directory;
};

bool StartBroker(Broker* broker, std::string* error) {
    char directory[] = "/tmp/tz52-bench-bridge-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        *error = "mkdtemp failed";
        return false;
    }
    broker->directory = directory;
    broker->port = FreeLoopbackPort();
    const std::string config = broker->directory + "/mosquitto.conf";
    std::ofstream(config) << "listener " << broker->port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0, 0);
    const char* argv[] = {kBroker, "-c", config.c_str(), nullptr};
    const int spawned = posix_spawn(&broker->pid, kBroker, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error = std::string(kBroker) + ": " + std::strerror(spawned);
        return false;
    }
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(broker->port));
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *error = "the broker did not start listening";
    return false;
}

void StopBroker(Broker* broker) {
    if (broker->pid > 0) {
        kill(broker->pid, SIGTERM);
        waitpid(broker->pid, nullptr, 0);
    }
    if (!broker->directory.empty()) std::system(("rm -rf " + broker->directory).c_str());
}

// A subscriber that notes when each payload of one topic first arrived.
class Subscriber {
public:
    Subscriber(int port, const std::string& topic) {
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            const int64_t now = NowNanoseconds();
            Subscriber* subscriber = static_cast<Subscriber*>(self);
            const std::string payload(static_cast<const char*>(message->payload),
                                      static_cast<size_t>(message->payloadlen));
            std::lock_guard<std::mutex> lock(subscriber->mutex_);
            subscriber->arrivals_.emplace(payload, now);
            subscriber->arrived_.notify_all();
        });
        ok_ = mosquitto_connect(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
              mosquitto_subscribe(client_, nullptr, topic.c_str(), 1) == MOSQ_ERR_SUCCESS &&
              mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    bool ok() const { return ok_; }
    // When `payload` arrived, or 0 after a second.
    int64_t ArrivalOf(const std::string& payload) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(1), [&] { return arrivals_.count(payload) != 0; });
        const auto found = arrivals_.find(payload);
        return found == arrivals_.end() ? 0 : found->second;
    }

private:
    mosquitto* client_ = nullptr;
    bool ok_ = false;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::string, int64_t> arrivals_;
};

// What the bridge reports about its reads.
class ReadLog {
public:
    void Note(const std::string& point, int result, uint16_t value, int64_t endNs) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (result != 0) ++failures_;
        reads_.push_back({point, value, endNs});
        changed_.notify_all();
    }
    // When the first read that returned `value` ended, or 0 after a second.
    int64_t FirstReadOf(uint16_t value) {
        std::unique_lock<std::mutex> lock(mutex_);
        int64_t found = 0;
        changed_.wait_for(lock, std::chrono::seconds(1), [&] {
            for (const Read& read : reads_) {
                if (read.value == value) {
                    found = read.endNs;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_.size();
    }
    std::vector<int64_t> EndTimes() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int64_t> times;
        for (const Read& read : reads_) times.push_back(read.endNs);
        return times;
    }
    long failures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    struct Read {
        std::string point;
        uint16_t value;
        int64_t endNs;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Read> reads_;
    long failures_ = 0;
};

struct Run {
    tz52sim::Simulator* simulator = nullptr;
    PortContext context{};
    PortSetup setup;
    BridgePlan plan;
    volatile std::sig_atomic_t stop = 0;
    ReadLog log;
    std::thread thread;
};

// The simulator paced at `baud`, the port opened, the bridge polling
// `points` with no pause on a thread of its own.
bool StartBridge(Run* run, const Broker& broker, long baud, const std::vector<std::string>& points) {
    std::string error;
    BridgeOptions options;
    options.addresses = points;
    options.everyMilliseconds = 0;
    options.mqtt.host = "127.0.0.1";
    options.mqtt.port = broker.port;
    options.mqtt.topicPrefix = "bench";
    if (!PrepareBridge(&QmxMain, options, &run->plan, &error)) {
        std::fprintf(stderr, "tz52_bench_bridge: %s\n", error.c_str());
        return false;
    }
    run->setup.name = run->simulator->PortName();
    run->setup.readTimeout = 100;
    run->setup.line = LineSettings{static_cast<uint16_t>(baud <= 65535 ? baud : 57600), 8, 0, 0};
    if (OpenPort(&QmxMain, &run->context, run->setup) != 0) {
        std::fprintf(stderr, "tz52_bench_bridge: cannot open %s\n", run->setup.name.c_str());
        return false;
    }
    run->thread = std::thread([run] {
        std::string failure;
        const auto note = [run](const std::string& point, int result, uint16_t value, int64_t endNs) {
            run->log.Note(point, result, value, endNs);
        };
        if (RunBridge(&QmxMain, &run->context, run->setup, run->plan, &run->stop, note, &failure) != 0) {
            std::fprintf(stderr, "tz52_bench_bridge: %s\n", failure.c_str());
        }
    });
    return true;
}

void StopBridge(Run* run) {
    run->stop = 1;
    if (run->thread.joinable()) run->thread.join();
    ClosePort(&QmxMain, &run->context);
}

std::unique_ptr<tz52sim::Simulator> StartSimulator(long baud) {
    tz52sim::SimConfig config;
    config.stations = {1};
    config.baud = static_cast<uint32_t>(baud);
    auto simulator = std::make_unique<tz52sim::Simulator>(config);
    simulator->SetTraceSink([](const std::string&) {});
    std::string error;
    if (!simulator->Start(&error)) {
        std::fprintf(stderr, "tz52_bench_bridge: simulator: %s\n", error.c_str());
        return nullptr;
    }
    return simulator;
}

int MeasureDelivery(const Broker& broker, long baud, long count) {
    auto simulator = StartSimulator(baud);
    if (!simulator) return 1;
    Subscriber subscriber(broker.port, "bench/001M001");
    Run run;
    run.simulator = simulator.get();
    if (!subscriber.ok() || !StartBridge(&run, broker, baud, {"001M001"})) return 1;
    tz52sim::PointRef point;
    point.station = 1;
    point.type = 'M';
    point.index = 1;
    // Wait for the first value, so that the broker connection is up.
    long failures = subscriber.ArrivalOf("0") == 0 && subscriber.ArrivalOf("0") == 0 ? 1 : 0;
    std::vector<double> latencies;
    for (long i = 1; i <= count && failures == 0; ++i) {
        const uint16_t value = static_cast<uint16_t>(i);
        simulator->SetPoint(point, value);
        const int64_t readEnd = run.log.FirstReadOf(value);
        const int64_t arrival = subscriber.ArrivalOf(std::to_string(value));
        if (readEnd == 0 || arrival == 0) {
            ++failures;
            continue;
        }
        latencies.push_back(static_cast<double>(arrival - readEnd) / 1e6);
    }
    StopBridge(&run);
    const Summary s = Summarize(latencies);
    std::printf("delivery, end of read to subscriber (%zu values, 1 point polled at %ld baud):\n", s.count, baud);
    std::printf("  median %.3f ms, p99 %.3f ms, min %.3f ms, max %.3f ms\n", s.median, s.p99, s.min, s.max);
    return failures == 0 ? 0 : 1;
}

int MeasureCycle(const Broker& broker, long baud, long cycles) {
    // One point of each type and the bytes of its request and reply frames.
    const std::vector<std::string> points = {"001A009", "001B001", "001C001", "001M100", "001O001", "001S001"};
    constexpr long kWireBytes = (8 + 8) + (8 + 6) + (8 + 10) + (8 + 10) + (8 + 6) + (12 + 10);
    const double wireMs = 1e3 * 10.0 * kWireBytes / static_cast<double>(baud);
    auto simulator = StartSimulator(baud);
    if (!simulator) return 1;
    Run run;
    run.simulator = simulator.get();
    if (!StartBridge(&run, broker, baud, points)) return 1;
    const size_t wanted = static_cast<size_t>(cycles + 2) * points.size();
    const int64_t deadline = NowNanoseconds() + static_cast<int64_t>(wireMs * 3e6) * (cycles + 10);
    while (run.log.Count() < wanted && NowNanoseconds() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopBridge(&run);
    // Cycle k: from the end of read k·P to the end of read (k+1)·P; the first
    // cycle, which waits for the broker connection, is left out.
    const std::vector<int64_t> ends = run.log.EndTimes();
    std::vector<double> cycleMs;
    for (size_t k = points.size(); k + points.size() < ends.size(); k += points.size()) {
        cycleMs.push_back(static_cast<double>(ends[k + points.size()] - ends[k]) / 1e6);
    }
    const Summary s = Summarize(cycleMs);
    std::printf("poll cycle, %zu points (one of each type), no writes, %ld baud (%zu cycles, %ld failed reads):\n",
                points.size(), baud, s.count, run.log.failures());
    std::printf("  wire time %.3f ms; cycle median %.3f ms (ratio %.4f), min %.3f ms, max %.3f ms\n", wireMs, s.median,
                s.median / wireMs, s.min, s.max);
    return s.count > 0 && run.log.failures() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const long baud = FlagNumber(argc, argv, "--baud", 9600);
    const long values = FlagNumber(argc, argv, "--values", 200);
    const long cycles = FlagNumber(argc, argv, "--cycles", 100);
    if (baud < 1 || values < 1 || cycles < 1) {
        std::fprintf(stderr, "tz52_bench_bridge: --baud, --values and --cycles must be positive\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();
    Broker broker;
    std::string error;
    if (!StartBroker(&broker, &error)) {
        std::fprintf(stderr, "tz52_bench_bridge: %s\n", error.c_str());
        StopBroker(&broker);
        return 1;
    }
    int status = MeasureDelivery(broker, baud, values);
    status |= MeasureCycle(broker, baud, cycles);
    StopBroker(&broker);
    return status;
}
