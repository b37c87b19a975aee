// tz52 bridge's Modbus TCP face against a bare libmodbus server, both on
// loopback, with libmodbus clients:
//
// 1. Reads from memory: N clients at once (8 by default), each reading ten
//    holding registers (function 3) as fast as it can, first against a
//    reference (libmodbus's own server answering from a fixed map: a select
//    loop with modbus_receive and modbus_reply on a thread of this program),
//    then against `tz52 bridge --no-mqtt --modbus-listen`, which polls
//    M001-M010 of the simulator's station 1 once an hour, so that the line is
//    quiet. Throughput, round trips, and the exchanges the simulator saw
//    while the bridge answered.
// 2. A write (function 6) to an allowed point at the simulator's baud rate,
//    from request to reply, against the wire time of its write and read-back
//    exchanges (10 bit times per byte at 8N1), and the same two exchanges
//    made by the driver alone in this process.
//
// 3. A sweep of all 127 units by one client (125 holding registers of each,
//    one after another, for --sweep-ms), against a bridge that polls A009
//    every second: the period of that configured point while the client
//    sweeps, from the simulator's exchanges. Only station 1 answers, so
//    126 units are stations that are not there.
//
//   tz52_bench_modbus [--tz52 PATH] [--baud B] [--clients N] [--load-ms MS]
//                     [--rounds N] [--writes N] [--sweep-ms MS]
//
// Targets are reported, not enforced: the exit code is 1 only when the
// benchmark could not run (a server that did not start, failed answers).
#include <modbus/modbus.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/bridge_process.h"
#include "tools/tz52sim/sim_server.h"

extern char** environ;

namespace {

constexpr int kRegisters = 10;  // M001-M010, holding registers 1-10
constexpr int kStation = 1;
// What both servers hold in those registers; every answer is checked.
constexpr uint16_t kValues[kRegisters] = {101, 202, 303, 404, 505, 606, 707, 808, 909, 1010};
// The written point: M001, holding register 1 (protocol address 0).
constexpr int kWrittenIndex = 1;
// Bytes on the wire of a write of M and of its read-back (as in wire_time.cpp).
constexpr int kWriteBytes = 14 + 4;
constexpr int kReadBackBytes = 8 + 10;
constexpr int kBitsPerByte = 10;  // 8N1
constexpr double kThroughputTarget = 0.8;
constexpr double kP99TargetMs = 1.0;
constexpr double kWriteTarget = 1.1;
constexpr long kMaxErrorsPerClient = 100;
// The sweep: the configured point's period, and how much later than it a
// read may come.
constexpr int kSweepPeriodMs = 1000;
constexpr double kSweepTarget = 1.1;
constexpr int kLastUnit = 127;
constexpr int kSweptRegisters = 125;

// ---- The reference: libmodbus's server from a fixed map ---------------------

class ReferenceServer {
public:
    ~ReferenceServer() { Stop(); }

    bool Start(std::string* error) {
        mapping_ = modbus_mapping_new(0, 0, kRegisters, 0);
        if (mapping_ == nullptr) {
            *error = std::string("modbus_mapping_new: ") + modbus_strerror(errno);
            return false;
        }
        std::copy(std::begin(kValues), std::end(kValues), mapping_->tab_registers);
        // A port found free may be taken before it is bound; try a few.
        for (int attempt = 0; attempt < 5 && listener_ < 0; ++attempt) {
            if (context_ != nullptr) modbus_free(context_);
            port_ = FreeLoopbackPort();
            context_ = modbus_new_tcp("127.0.0.1", port_);
            if (context_ == nullptr) break;
            listener_ = modbus_tcp_listen(context_, 64);
        }
        if (listener_ < 0) {
            *error = std::string("modbus_tcp_listen: ") + modbus_strerror(errno);
            return false;
        }
        if (pipe2(wake_, O_CLOEXEC) != 0) {
            *error = std::string("pipe2: ") + std::strerror(errno);
            return false;
        }
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    void Stop() {
        if (thread_.joinable()) {
            const char byte = 0;
            (void)!write(wake_[1], &byte, 1);
            thread_.join();
        }
        for (int& fd : wake_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
        if (context_ != nullptr) modbus_free(context_);
        context_ = nullptr;
        if (mapping_ != nullptr) modbus_mapping_free(mapping_);
        mapping_ = nullptr;
    }

    int port() const { return port_; }

private:
    // One loop for every client: a client whose request is ready is read
    // whole (modbus_receive) and answered (modbus_reply).
    void Serve() {
        std::vector<int> clients;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(wake_[0], &ready);
            FD_SET(listener_, &ready);
            int highest = std::max(wake_[0], listener_);
            for (int fd : clients) {
                FD_SET(fd, &ready);
                highest = std::max(highest, fd);
            }
            if (select(highest + 1, &ready, nullptr, nullptr, nullptr) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (FD_ISSET(wake_[0], &ready)) break;
            if (FD_ISSET(listener_, &ready)) {
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0 && fd < FD_SETSIZE) {
                    clients.push_back(fd);
                } else if (fd >= 0) {
                    close(fd);
                }
            }
            for (auto client = clients.begin(); client != clients.end();) {
                if (!FD_ISSET(*client, &ready)) {
                    ++client;
                    continue;
                }
                modbus_set_socket(context_, *client);
                const int length = modbus_receive(context_, query);
                if (length > 0) modbus_reply(context_, query, length, mapping_);
                if (length < 0) {
                    close(*client);
                    client = clients.erase(client);
                } else {
                    ++client;
                }
            }
        }
        for (int fd : clients) close(fd);
    }

    modbus_t* context_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

// ---- Clients ----------------------------------------------------------------

struct ClientDeleter {
    void operator()(modbus_t* context) const {
        modbus_close(context);
        modbus_free(context);
    }
};
using Client = std::unique_ptr<modbus_t, ClientDeleter>;

// A client of station 1 on 127.0.0.1:port, or null with a message.
Client Connect(int port, int timeoutMs, std::string* error) {
    Client client(modbus_new_tcp("127.0.0.1", port));
    if (!client) {
        *error = std::string("modbus_new_tcp: ") + modbus_strerror(errno);
        return nullptr;
    }
    modbus_set_slave(client.get(), kStation);
    modbus_set_response_timeout(client.get(), static_cast<uint32_t>(timeoutMs / 1000),
                                static_cast<uint32_t>(timeoutMs % 1000) * 1000);
    if (modbus_connect(client.get()) != 0) {
        *error = "connect to 127.0.0.1:" + std::to_string(port) + ": " + modbus_strerror(errno);
        return nullptr;
    }
    return client;
}

// One read of the ten registers; "" when it returned the values both
// servers hold.
std::string ReadRegisters(modbus_t* client) {
    uint16_t registers[kRegisters] = {};
    const int got = modbus_read_registers(client, 0, kRegisters, registers);
    if (got != kRegisters) return got < 0 ? modbus_strerror(errno) : "short answer";
    if (!std::equal(std::begin(registers), std::end(registers), std::begin(kValues))) return "wrong values";
    return "";
}

// One round, or the rounds added up.
struct LoadResult {
    std::vector<double> roundTripsMs;
    double seconds = 0;
    long errors = 0;
    std::string firstError;

    void Add(const LoadResult& load) {
        roundTripsMs.insert(roundTripsMs.end(), load.roundTripsMs.begin(), load.roundTripsMs.end());
        seconds += load.seconds;
        errors += load.errors;
        if (firstError.empty()) firstError = load.firstError;
    }
    double PerSecond() const { return seconds > 0 ? static_cast<double>(roundTripsMs.size()) / seconds : 0; }
};

// `clients` clients at once, each reading as fast as it can for `loadMs`.
LoadResult RunLoad(int port, int clients, long loadMs) {
    struct PerClient {
        std::vector<double> roundTripsMs;
        long errors = 0;
        std::string firstError;
    };
    std::vector<PerClient> results(static_cast<size_t>(clients));
    std::promise<int64_t> startPromise;
    std::shared_future<int64_t> deadline = startPromise.get_future().share();
    std::vector<std::thread> threads;
    std::atomic<int> connected{0};
    for (PerClient& slot : results) {
        threads.emplace_back([&deadline, &connected, port, loadMs, result = &slot] {
            std::string error;
            Client client = Connect(port, 1000, &error);
            connected.fetch_add(1);
            const int64_t end = deadline.get();
            if (!client) {
                result->errors = 1;
                result->firstError = error;
                return;
            }
            result->roundTripsMs.reserve(static_cast<size_t>(loadMs) * 20);
            for (int64_t start = NowNanoseconds(); start < end; start = NowNanoseconds()) {
                error = ReadRegisters(client.get());
                const int64_t stop = NowNanoseconds();
                if (error.empty()) {
                    result->roundTripsMs.push_back(static_cast<double>(stop - start) / 1e6);
                    continue;
                }
                if (result->errors++ == 0) result->firstError = error;
                if (result->errors >= kMaxErrorsPerClient) return;
            }
        });
    }
    // Every client connected first, so that the timing is of the reads.
    while (connected.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t start = NowNanoseconds();
    startPromise.set_value(start + loadMs * 1000000);
    for (std::thread& thread : threads) thread.join();
    LoadResult load;
    load.seconds = static_cast<double>(NowNanoseconds() - start) / 1e9;
    for (PerClient& result : results) {
        load.roundTripsMs.insert(load.roundTripsMs.end(), result.roundTripsMs.begin(), result.roundTripsMs.end());
        load.errors += result.errors;
        if (load.firstError.empty()) load.firstError = result.firstError;
    }
    return load;
}

void PrintLoadRow(const std::string& label, const LoadResult& load) {
    const Summary s = Summarize(load.roundTripsMs);
    std::printf("%-34s %9zu %10.0f %8.3f %8.3f %8.3f %7ld\n", label.c_str(), s.count, load.PerSecond(), s.median,
                s.p99, s.max, load.errors);
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

struct Options {
    std::string tz52;
    long baud = 9600;
    long clients = 8;
    long loadMs = 3000;
    long rounds = 3;
    long writes = 20;
    long sweepMs = 20000;
};

// "001M005" for index 5 of station 1.
std::string Address(int index) {
    char address[8];
    std::snprintf(address, sizeof address, "%03dM%03d", kStation, index);
    return address;
}

bool StartBridgeFor(const Options& options, const tz52sim::Simulator& simulator, BridgeProcess* bridge, int* port,
                    std::string* error) {
    *port = FreeLoopbackPort();
    std::vector<std::string> arguments = {"bridge",
                                          "--port",
                                          simulator.PortName(),
                                          "--baud",
                                          std::to_string(options.baud),
                                          "--no-mqtt",
                                          "--modbus-listen",
                                          "127.0.0.1:" + std::to_string(*port),
                                          "--every",
                                          "3600s",
                                          "--allow-write",
                                          Address(kWrittenIndex)};
    for (int index = 1; index <= kRegisters; ++index) arguments.push_back(Address(index));
    if (!bridge->Start(options.tz52, arguments, error)) return false;
    if (!bridge->WaitForLine("modbus: listening on", 10000)) {
        *error = "tz52 bridge did not report its Modbus face listening:\n" + bridge->Tail(10);
        return false;
    }
    // Its first reads of M001-M010 take the line a moment; a read that
    // returns every value means they are in memory.
    std::string failure = "no answer";
    for (const int64_t end = NowNanoseconds() + 10000000000; NowNanoseconds() < end && !failure.empty();) {
        Client client = Connect(*port, 2000, &failure);
        if (client) failure = ReadRegisters(client.get());
        if (!failure.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!failure.empty()) {
        *error = "tz52 bridge did not answer a read of M001-M010: " + failure + "\n" + bridge->Tail(10);
        return false;
    }
    return true;
}

// Times `writes` writes of M001 through the bridge's face; the exchanges the
// simulator saw for them go to *exchanges.
bool MeasureWrites(const Options& options, int port, tz52sim::Simulator* simulator, std::vector<double>* timesMs,
                   uint64_t* exchanges, std::string* error) {
    Client client = Connect(port, 5000, error);
    if (!client) return false;
    tz52sim::PointRef point;
    point.station = kStation;
    point.type = 'M';
    point.index = kWrittenIndex;
    for (long i = 0; i < options.writes; ++i) {
        const uint16_t value = static_cast<uint16_t>(2000 + i);
        // A write comes to a quiet line, as it does between hourly reads.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t before = simulator->ExchangeCount();
        const int64_t start = NowNanoseconds();
        const int written = modbus_write_register(client.get(), kWrittenIndex - 1, value);
        const int64_t stop = NowNanoseconds();
        if (written != 1) {
            *error = std::string("the write through the bridge failed: ") + modbus_strerror(errno);
            return false;
        }
        if (simulator->GetPoint(point) != value) {
            *error = "the write through the bridge answered, but the simulator holds " +
                     std::to_string(simulator->GetPoint(point)) + ", not " + std::to_string(value);
            return false;
        }
        *exchanges += simulator->ExchangeCount() - before;
        timesMs->push_back(static_cast<double>(stop - start) / 1e6);
    }
    return true;
}

// The same write and read-back made by the driver alone, in this process.
bool MeasureDriverWrites(const Options& options, tz52sim::Simulator* simulator, std::vector<double>* timesMs,
                         std::string* error) {
    PortContext context{};
    if (HostOpen(&context, simulator->PortName().c_str(), 4, static_cast<uint16_t>(options.baud)) != 0) {
        *error = "the driver cannot open " + simulator->PortName();
        return false;
    }
    bool ok = true;
    for (long i = 0; i < options.writes && ok; ++i) {
        const uint16_t value = static_cast<uint16_t>(3000 + i);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uint16_t readBack = 0;
        const int64_t start = NowNanoseconds();
        ok = HostWrite(&context, kStation, kPointM, kWrittenIndex, value) == 0 &&
             HostRead(&context, kStation, kPointM, kWrittenIndex, &readBack) == 0 && readBack == value;
        timesMs->push_back(static_cast<double>(NowNanoseconds() - start) / 1e6);
    }
    HostClose(&context);
    if (!ok) *error = "the driver's write and read-back failed";
    return ok;
}

// The times between the reads of A009 (every kSweepPeriodMs) while one
// client reads 125 holding registers of every unit from 1 to 127 in turn,
// for options.sweepMs; the sweep's requests go to *requests.
bool MeasureSweep(const Options& options, tz52sim::Simulator* simulator, std::vector<double>* periodsMs,
                  long* requests, std::string* error) {
    BridgeProcess bridge;
    const int port = FreeLoopbackPort();
    const std::vector<std::string> arguments = {"bridge", "--port", simulator->PortName(), "--baud",
                                                std::to_string(options.baud), "--no-mqtt", "--modbus-listen",
                                                "127.0.0.1:" + std::to_string(port), "--every", "1s", "001A009"};
    if (!bridge.Start(options.tz52, arguments, error)) return false;
    if (!bridge.WaitForLine("modbus: listening on", 10000)) {
        *error = "tz52 bridge did not report its Modbus face listening:\n" + bridge.Tail(10);
        return false;
    }
    std::atomic<bool> sweeping{true};
    std::thread sweeper([&] {
        Client client = Connect(port, 1000, error);
        if (!client) return;
        uint16_t registers[kSweptRegisters];
        while (sweeping.load()) {
            for (int unit = 1; unit <= kLastUnit && sweeping.load(); ++unit) {
                modbus_set_slave(client.get(), unit);
                // Exceptions are what most units earn; the answer is not the point.
                modbus_read_registers(client.get(), 0, kSweptRegisters, registers);
                ++*requests;
            }
        }
    });
    // The simulator's log, looked at every few milliseconds: each new read
    // of an analogue point is a read of A009.
    uint64_t seenNumber = 0;
    int64_t lastNs = 0;
    for (const int64_t end = NowNanoseconds() + options.sweepMs * 1000000; NowNanoseconds() < end;) {
        bool read = false;
        for (const tz52sim::ExchangeRecord& exchange : simulator->Exchanges()) {
            if (exchange.number <= seenNumber) continue;
            seenNumber = exchange.number;
            read = read || exchange.kind == tz52sim::CommandKind::kReadAnalog;
        }
        if (read) {
            const int64_t now = NowNanoseconds();
            if (lastNs != 0) periodsMs->push_back(static_cast<double>(now - lastNs) / 1e6);
            lastNs = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sweeping = false;
    sweeper.join();
    // A read still missing at the end counts as the time since the last.
    if (lastNs != 0) {
        const double open = static_cast<double>(NowNanoseconds() - lastNs) / 1e6;
        if (open > kSweepPeriodMs * kSweepTarget) periodsMs->push_back(open);
    }
    bridge.Stop();
    if (periodsMs->empty()) {
        *error = "A009 was read less than twice during the sweep";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
#ifdef TZ52_PATH
    options.tz52 = FlagText(argc, argv, "--tz52", TZ52_PATH);
#else
    options.tz52 = FlagText(argc, argv, "--tz52", "");
#endif
    options.baud = FlagNumber(argc, argv, "--baud", options.baud);
    options.clients = FlagNumber(argc, argv, "--clients", options.clients);
    options.loadMs = FlagNumber(argc, argv, "--load-ms", options.loadMs);
    options.rounds = FlagNumber(argc, argv, "--rounds", options.rounds);
    options.writes = FlagNumber(argc, argv, "--writes", options.writes);
    options.sweepMs = FlagNumber(argc, argv, "--sweep-ms", options.sweepMs);
    if (options.tz52.empty() || options.baud < 1 || options.baud > 65535 || options.clients < 1 ||
        options.clients > 512 || options.loadMs < 1 || options.rounds < 1 || options.writes < 1 ||
        options.sweepMs < 3 * kSweepPeriodMs) {
        std::fprintf(stderr, "usage: tz52_bench_modbus --tz52 PATH [--baud 1..65535] [--clients 1..512] "
                             "[--load-ms MS] [--rounds N] [--writes N] [--sweep-ms 3000..]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string error;

    tz52sim::SimConfig config;
    config.stations = {kStation};
    config.baud = static_cast<uint32_t>(options.baud);
    for (int index = 1; index <= kRegisters; ++index) {
        tz52sim::Assignment assignment;
        assignment.point.station = kStation;
        assignment.point.type = 'M';
        assignment.point.index = index;
        assignment.value = kValues[index - 1];
        config.assignments.push_back(assignment);
    }
    tz52sim::Simulator simulator(config);
    simulator.SetTraceSink([](const std::string&) {});
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "tz52_bench_modbus: simulator: %s\n", error.c_str());
        return 1;
    }
    ReferenceServer reference;
    if (!reference.Start(&error)) {
        std::fprintf(stderr, "tz52_bench_modbus: reference server: %s\n", error.c_str());
        return 1;
    }
    BridgeProcess bridge;
    int bridgePort = 0;
    if (!StartBridgeFor(options, simulator, &bridge, &bridgePort, &error)) {
        std::fprintf(stderr, "tz52_bench_modbus: %s\n", error.c_str());
        return 1;
    }

    // 1. Reads from memory, the two servers in turns.
    std::printf("Modbus TCP on loopback: %ld clients at once, each reading %d holding registers (function 3) "
                "as fast as it can;\n%ld rounds of %ld ms per server, taken in turns. The bridge polls "
                "M001-M%03d of the simulator (%ld baud) every hour.\n\n",
                options.clients, kRegisters, options.rounds, options.loadMs, kRegisters, options.baud);
    std::printf("%-34s %9s %10s %8s %8s %8s %7s\n", "", "requests", "per s", "p50 ms", "p99 ms", "max ms",
                "errors");
    LoadResult referenceTotals, bridgeTotals;
    uint64_t loadExchanges = 0;
    for (long round = 1; round <= options.rounds; ++round) {
        const LoadResult referenceLoad = RunLoad(reference.port(), static_cast<int>(options.clients), options.loadMs);
        const uint64_t before = simulator.ExchangeCount();
        const LoadResult bridgeLoad = RunLoad(bridgePort, static_cast<int>(options.clients), options.loadMs);
        loadExchanges += simulator.ExchangeCount() - before;
        referenceTotals.Add(referenceLoad);
        bridgeTotals.Add(bridgeLoad);
        const std::string label = "round " + std::to_string(round) + ": ";
        PrintLoadRow(label + "reference (libmodbus)", referenceLoad);
        PrintLoadRow(label + "tz52 bridge", bridgeLoad);
        std::printf("%-34s %9s %10.3f\n", (label + "bridge / reference").c_str(), "",
                    referenceLoad.PerSecond() > 0 ? bridgeLoad.PerSecond() / referenceLoad.PerSecond() : 0.0);
    }
    PrintLoadRow("all rounds: reference (libmodbus)", referenceTotals);
    PrintLoadRow("all rounds: tz52 bridge", bridgeTotals);
    const double ratio =
        referenceTotals.PerSecond() > 0 ? bridgeTotals.PerSecond() / referenceTotals.PerSecond() : 0;
    const double bridgeP99 = Summarize(bridgeTotals.roundTripsMs).p99;
    std::printf("\n%-52s %10.3f   target at least %.2f: %s\n", "throughput, bridge / reference:", ratio,
                kThroughputTarget, Verdict(ratio >= kThroughputTarget));
    std::printf("%-52s %10.3f   target under %.0f ms: %s\n", "round trip through the bridge, p99 ms:", bridgeP99,
                kP99TargetMs, Verdict(bridgeP99 < kP99TargetMs));
    std::printf("%-52s %10llu   target 0: %s\n", "serial exchanges while the bridge answered:",
                static_cast<unsigned long long>(loadExchanges), Verdict(loadExchanges == 0));
    int status = 0;
    if (referenceTotals.errors != 0 || bridgeTotals.errors != 0) {
        std::fprintf(stderr, "tz52_bench_modbus: failed reads (%ld from the reference, %ld from the bridge): %s\n",
                     referenceTotals.errors, bridgeTotals.errors,
                     (referenceTotals.firstError.empty() ? bridgeTotals.firstError : referenceTotals.firstError)
                         .c_str());
        const std::string ended = bridge.Ended();
        if (!ended.empty()) {
            std::fprintf(stderr, "tz52_bench_modbus: tz52 bridge ended during the load (%s):\n%s", ended.c_str(),
                         bridge.Tail(10).c_str());
            return 1;
        }
        status = 1;
    }
    reference.Stop();

    // 2. Writes at the line's rate.
    const double wireMs = 1e3 * kBitsPerByte * (kWriteBytes + kReadBackBytes) / static_cast<double>(options.baud);
    std::vector<double> bridgeWrites, driverWrites;
    uint64_t writeExchanges = 0;
    if (!MeasureWrites(options, bridgePort, &simulator, &bridgeWrites, &writeExchanges, &error)) {
        const std::string ended = bridge.Ended();
        std::fprintf(stderr, "tz52_bench_modbus: %s%s\n%s", error.c_str(),
                     ended.empty() ? "" : ("; tz52 bridge has ended (" + ended + ")").c_str(), bridge.Tail(5).c_str());
        return 1;
    }
    // Asked to stop, the bridge ends with exit code 0.
    const std::string ended = bridge.Stop();
    if (ended != "exit code 0") {
        std::fprintf(stderr, "tz52_bench_modbus: tz52 bridge ended with %s on SIGTERM:\n%s", ended.c_str(),
                     bridge.Tail(10).c_str());
        status = 1;
    }
    if (!MeasureDriverWrites(options, &simulator, &driverWrites, &error)) {
        std::fprintf(stderr, "tz52_bench_modbus: %s\n", error.c_str());
        return 1;
    }
    const Summary viaBridge = Summarize(bridgeWrites);
    const Summary viaDriver = Summarize(driverWrites);
    std::printf("\nA write of %s (function 6) at %ld baud, 8N1, from request to reply; %ld writes.\n"
                "Wire time of the write and its read-back: %d + %d bytes, %.3f ms; target within %.1f x: %.3f ms.\n\n",
                Address(kWrittenIndex).c_str(), options.baud, options.writes, kWriteBytes, kReadBackBytes, wireMs, kWriteTarget,
                wireMs * kWriteTarget);
    std::printf("%-34s %10s %10s %9s %9s\n", "", "median ms", "worst ms", "median x", "worst x");
    std::printf("%-34s %10.3f %10.3f %9.3f %9.3f\n", "tz52 bridge, Modbus write", viaBridge.median, viaBridge.max,
                viaBridge.median / wireMs, viaBridge.max / wireMs);
    std::printf("%-34s %10.3f %10.3f %9.3f %9.3f\n", "the driver alone, write + read", viaDriver.median,
                viaDriver.max, viaDriver.median / wireMs, viaDriver.max / wireMs);
    std::printf("\n%-52s %10.2f   target 2 (write, read-back)\n", "serial exchanges per write through the bridge:",
                static_cast<double>(writeExchanges) / static_cast<double>(options.writes));
    std::printf("%-52s %10s   median %s, worst %s\n", "write within 1.1 x wire time:", "",
                Verdict(viaBridge.median <= kWriteTarget * wireMs), Verdict(viaBridge.max <= kWriteTarget * wireMs));

    // 3. The configured polling while a client sweeps every unit.
    std::vector<double> periods;
    long sweepRequests = 0;
    if (!MeasureSweep(options, &simulator, &periods, &sweepRequests, &error)) {
        std::fprintf(stderr, "tz52_bench_modbus: %s\n", error.c_str());
        return 1;
    }
    const Summary period = Summarize(periods);
    std::printf("\nA client reads %d holding registers of every unit 1-%d in turn for %ld ms (%ld requests; only "
                "station 1 answers);\nthe bridge polls 001A009 every %d ms at %ld baud.\n\n",
                kSweptRegisters, kLastUnit, options.sweepMs, sweepRequests, kSweepPeriodMs, options.baud);
    std::printf("%-52s %10.1f   median\n", "period of 001A009 during the sweep, ms:", period.median);
    std::printf("%-52s %10.1f   target under %.0f ms: %s\n", "longest period of 001A009, ms:", period.max,
                kSweepPeriodMs * kSweepTarget, Verdict(period.max < kSweepPeriodMs * kSweepTarget));
    simulator.Close();
    return status;
}
