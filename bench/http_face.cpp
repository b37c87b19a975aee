// tz52 bridge's HTTP face, on loopback, with libcurl clients, against the
// simulator's station 1 with every point of the map (554: A009-A012,
// B001-B016, C001-C016, M001-M256, O001-O012, S001-S250):
//
// 1. GET /api/v1/points by N keep-alive clients at once (8 by default), each
//    asking as fast as it can, first of a reference (libmicrohttpd's own
//    server on its epoll thread, answering the same body and headers from
//    memory), then of `tz52 bridge --no-mqtt --http-listen`, which polls the
//    554 points once an hour, so that the line is quiet. Throughput and
//    round trips.
// 2. From the end of a read to its event at a stream client: a second
//    bridge polls the 554 points without pause (--every 0) of a simulator
//    paced at --baud (9600), so that reads come at a line's own rate, while
//    S streams (16 by default) follow /api/v1/stream?reads=all for
//    --stream-s seconds. Each pointRead event carries the bridge's time at the end
//    of the read (ms since the epoch, to the millisecond); the client takes
//    the system clock as the event arrives. Both clocks are the machine's
//    one CLOCK_REALTIME, and the event's time is cut to the millisecond, so
//    a delay is over-stated by less than 1 ms, never under-stated.
// 3. The resident memory (VmRSS, VmHWM of /proc/PID/status) of a third
//    bridge, polling the unpaced simulator without pause, once every point
//    holds --history reads (600 by default), and S streams have opened.
//
//   tz52_bench_http [--tz52 PATH] [--clients N] [--load-ms MS] [--rounds N]
//                   [--baud B] [--stream-s S] [--history N] [--streams N]
//                   [--fill-s S]
//
// Targets are reported, not enforced: the exit code is 1 only when the
// benchmark could not run (a server that did not start, failed answers).
#include <curl/curl.h>
#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/bridge_process.h"
#include "tools/tz52sim/sim_server.h"

namespace {

using Json = nlohmann::json;

constexpr int kStation = 1;
// The map of a station: the point types and their index ranges.
struct TypeRange {
    char type;
    int first, last;
};
constexpr TypeRange kMap[] = {{'A', 9, 12}, {'B', 1, 16}, {'C', 1, 16}, {'M', 1, 256}, {'O', 1, 12}, {'S', 1, 250}};
constexpr size_t kStationPoints = 554;
constexpr double kThroughputTarget = 0.8;
constexpr double kP99TargetMs = 2.0;
constexpr double kStreamP99TargetMs = 20.0;
constexpr double kResidentTargetMiB = 16.0;
constexpr long kMaxErrorsPerClient = 100;

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// "001M025"
std::string Address(char type, int index) {
    char address[8];
    std::snprintf(address, sizeof address, "%03d%c%03d", kStation, type, index);
    return address;
}

std::vector<std::string> StationAddresses() {
    std::vector<std::string> addresses;
    for (const TypeRange& range : kMap) {
        for (int index = range.first; index <= range.last; ++index) addresses.push_back(Address(range.type, index));
    }
    return addresses;
}

// A value each point can hold: O points 0 or 1, A and B within their ranges.
uint16_t StartValue(char type, int index) {
    switch (type) {
        case 'O': return static_cast<uint16_t>(index % 2);
        case 'B': return static_cast<uint16_t>(index * 7 % 128);
        case 'A': return static_cast<uint16_t>(100 + index);
        default: return static_cast<uint16_t>(1000 + index);
    }
}

// ---- One keep-alive client --------------------------------------------------

size_t KeepBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t KeepHeader(char* data, size_t size, size_t count, void* user) {
    static_cast<std::vector<std::string>*>(user)->emplace_back(data, size * count);
    return size * count;
}

class Client {
public:
    Client() : handle_(curl_easy_init()) {
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, KeepBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body_);
        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, KeepHeader);
        curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &headers_);
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, 5000L);
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    }
    ~Client() { curl_easy_cleanup(handle_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // One GET on the same connection as the last; "" when it was a 200.
    std::string Get(const std::string& url) {
        body_.clear();
        headers_.clear();
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        const CURLcode code = curl_easy_perform(handle_);
        if (code != CURLE_OK) return curl_easy_strerror(code);
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        return status == 200 ? "" : "status " + std::to_string(status);
    }
    const std::string& body() const { return body_; }
    const std::vector<std::string>& headers() const { return headers_; }

private:
    CURL* handle_;
    std::string body_;
    std::vector<std::string> headers_;
};

// ---- The reference: libmicrohttpd answering from memory ---------------------

class ReferenceServer {
public:
    ~ReferenceServer() { Stop(); }

    // Answers every GET with `body` and the header lines `headers` ("Name:
    // value\r\n"), as the bridge's server does: its own thread on epoll.
    bool Start(const std::string& body, const std::vector<std::string>& headers, std::string* error) {
        body_ = body;
        response_ = MHD_create_response_from_buffer(body_.size(), const_cast<char*>(body_.data()),
                                                    MHD_RESPMEM_PERSISTENT);
        if (response_ == nullptr) {
            *error = "MHD_create_response_from_buffer failed";
            return false;
        }
        for (const std::string& line : headers) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            value.erase(value.find_last_not_of("\r\n") + 1);
            if (name == "Date" || name == "Content-Length" || name == "Connection") continue;
            MHD_add_response_header(response_, name.c_str(), value.c_str());
        }
        // A port found free may be taken before it is bound; try a few.
        for (int attempt = 0; attempt < 5 && daemon_ == nullptr; ++attempt) {
            port_ = FreeLoopbackPort();
            daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, static_cast<uint16_t>(port_), nullptr, nullptr,
                                       &Answer, this, MHD_OPTION_CONNECTION_LIMIT, 64u,
                                       MHD_OPTION_CONNECTION_TIMEOUT, 15u, MHD_OPTION_END);
        }
        if (daemon_ == nullptr) {
            *error = std::string("MHD_start_daemon: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    void Stop() {
        if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
        if (response_ != nullptr) MHD_destroy_response(response_);
        response_ = nullptr;
    }

    int port() const { return port_; }

private:
    static MHD_Result Answer(void* cls, MHD_Connection* connection, const char*, const char*, const char*,
                             const char*, size_t*, void** context) {
        // The first call of a request brings its headers only; a GET has no
        // body, so the second is the one to answer.
        if (*context == nullptr) {
            *context = cls;
            return MHD_YES;
        }
        return MHD_queue_response(connection, MHD_HTTP_OK, static_cast<ReferenceServer*>(cls)->response_);
    }

    std::string body_;
    MHD_Response* response_ = nullptr;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
};

// ---- Load -------------------------------------------------------------------

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

// `clients` clients at once, each asking for `url` as fast as it can for
// `loadMs`; an answer counts when it is a 200 that holds every point.
LoadResult RunLoad(const std::string& url, int clients, long loadMs) {
    struct PerClient {
        std::vector<double> roundTripsMs;
        long errors = 0;
        std::string firstError;
    };
    std::vector<PerClient> results(static_cast<size_t>(clients));
    std::promise<int64_t> startPromise;
    std::shared_future<int64_t> deadline = startPromise.get_future().share();
    std::atomic<int> connected{0};
    std::vector<std::thread> threads;
    for (PerClient& slot : results) {
        threads.emplace_back([&deadline, &connected, &url, result = &slot] {
            Client client;
            // Connected and warm before the clock starts.
            std::string error = client.Get(url);
            connected.fetch_add(1);
            const int64_t end = deadline.get();
            if (!error.empty()) {
                result->errors = 1;
                result->firstError = error;
                return;
            }
            for (int64_t start = NowNanoseconds(); start < end; start = NowNanoseconds()) {
                error = client.Get(url);
                const int64_t stop = NowNanoseconds();
                if (error.empty() && client.body().size() > 2 * kStationPoints) {
                    result->roundTripsMs.push_back(static_cast<double>(stop - start) / 1e6);
                    continue;
                }
                if (result->errors++ == 0) result->firstError = error.empty() ? "a short answer" : error;
                if (result->errors >= kMaxErrorsPerClient) return;
            }
        });
    }
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
    std::printf("%-36s %9zu %10.0f %8.3f %8.3f %8.3f %7ld\n", label.c_str(), s.count, load.PerSecond(), s.median,
                s.p99, s.max, load.errors);
}

// ---- A stream client --------------------------------------------------------

int64_t RealtimeMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// "2026-12-09T18:57:18.534Z" as ms since the epoch; -1 when it is not one.
int64_t EpochMilliseconds(const std::string& text) {
    tm fields{};
    int milliseconds = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
                    &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &milliseconds) != 7) {
        return -1;
    }
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    return int64_t{timegm(&fields)} * 1000 + milliseconds;
}

// Follows /api/v1/stream?reads=all on a thread of its own until Stop, and
// keeps the delay of every pointRead event from its time to its arrival.
class StreamFollower {
public:
    explicit StreamFollower(const std::string& url) {
        thread_ = std::thread([this, url] { Follow(url); });
    }
    ~StreamFollower() { Stop(); }

    // Whether the stream is still open (it ends only on Stop or a failure).
    bool Open() const { return !finished_.load(); }
    void Stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // After Stop.
    const std::vector<double>& delaysMs() const { return delaysMs_; }
    const std::string& ending() const { return ending_; }
    uint64_t events() const { return events_.load(); }

private:
    static size_t Take(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<StreamFollower*>(user);
        const int64_t arrivedUs = RealtimeMicroseconds();
        self->partial_.append(data, size * count);
        for (size_t end; (end = self->partial_.find('\n')) != std::string::npos; self->partial_.erase(0, end + 1)) {
            if (self->partial_.compare(0, 6, "data: ") != 0) continue;
            const Json event = Json::parse(self->partial_.begin() + 6, self->partial_.begin() + end, nullptr, false);
            if (!event.is_object() || event.value("kind", "") != "pointRead") continue;
            const int64_t readMs = EpochMilliseconds(event.value("time", ""));
            if (readMs < 0) continue;
            self->delaysMs_.push_back(static_cast<double>(arrivedUs - readMs * 1000) / 1e3);
            self->events_.fetch_add(1);
        }
        return size * count;
    }
    static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<StreamFollower*>(user)->stopping_.load() ? 1 : 0;
    }

    void Follow(const std::string& url) {
        CURL* handle = curl_easy_init();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Take);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        const CURLcode code = curl_easy_perform(handle);
        if (code != CURLE_ABORTED_BY_CALLBACK) ending_ = curl_easy_strerror(code);
        curl_easy_cleanup(handle);
        finished_ = true;
    }

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> events_{0};
    std::string partial_;
    std::vector<double> delaysMs_;
    std::string ending_;
};

// ---- The bridges ------------------------------------------------------------

struct Options {
    std::string tz52;
    long clients = 8;
    long loadMs = 3000;
    long rounds = 3;
    long history = 600;
    long streams = 16;
    long baud = 9600;
    long streamSeconds = 20;
    long fillSeconds = 900;
};

// Starts a bridge of every point of the station with `extra` options on a
// free loopback port; true once it has read all of them.
bool StartBridge(const Options& options, const tz52sim::Simulator& simulator, const std::vector<std::string>& extra,
                 BridgeProcess* bridge, std::string* base, std::string* error) {
    const int port = FreeLoopbackPort();
    *base = "http://127.0.0.1:" + std::to_string(port);
    std::vector<std::string> arguments = {"bridge", "--port", simulator.PortName(), "--no-mqtt", "--http-listen",
                                          "127.0.0.1:" + std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    for (const std::string& address : StationAddresses()) arguments.push_back(address);
    if (!bridge->Start(options.tz52, arguments, error)) return false;
    if (!bridge->WaitForLine("http: listening on", 10000)) {
        *error = "tz52 bridge did not report its HTTP face listening:\n" + bridge->Tail(10);
        return false;
    }
    Client client;
    std::string failure = "no answer";
    for (const int64_t end = NowNanoseconds() + 30000000000; NowNanoseconds() < end;) {
        failure = client.Get(*base + "/api/v1/points");
        if (failure.empty()) {
            const Json document = Json::parse(client.body(), nullptr, false);
            size_t read = 0;
            if (document.is_object() && document["points"].is_array()) {
                for (const Json& point : document["points"]) read += point["value"].is_number() ? 1 : 0;
            }
            if (read == kStationPoints) return true;
            failure = std::to_string(read) + " of " + std::to_string(kStationPoints) + " points read";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *error = "tz52 bridge did not read every point: " + failure + "\n" + bridge->Tail(10);
    return false;
}

// VmRSS and VmHWM of a process, in KiB; false when it has none.
bool ResidentKib(pid_t pid, long* rss, long* peak) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    *rss = *peak = -1;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) *rss = std::strtol(line.c_str() + 6, nullptr, 10);
        if (line.compare(0, 6, "VmHWM:") == 0) *peak = std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return *rss >= 0 && *peak >= 0;
}

// The reads /history holds of `address`, or -1.
long HistoryLength(Client* client, const std::string& base, const std::string& address) {
    if (!client->Get(base + "/api/v1/points/" + address + "/history").empty()) return -1;
    const Json document = Json::parse(client->body(), nullptr, false);
    return document.is_object() && document["reads"].is_array() ? static_cast<long>(document["reads"].size()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
#ifdef TZ52_PATH
    options.tz52 = FlagText(argc, argv, "--tz52", TZ52_PATH);
#else
    options.tz52 = FlagText(argc, argv, "--tz52", "");
#endif
    options.clients = FlagNumber(argc, argv, "--clients", options.clients);
    options.loadMs = FlagNumber(argc, argv, "--load-ms", options.loadMs);
    options.rounds = FlagNumber(argc, argv, "--rounds", options.rounds);
    options.history = FlagNumber(argc, argv, "--history", options.history);
    options.streams = FlagNumber(argc, argv, "--streams", options.streams);
    options.fillSeconds = FlagNumber(argc, argv, "--fill-s", options.fillSeconds);
    options.baud = FlagNumber(argc, argv, "--baud", options.baud);
    options.streamSeconds = FlagNumber(argc, argv, "--stream-s", options.streamSeconds);
    if (options.tz52.empty() || options.clients < 1 || options.clients > 16 || options.loadMs < 1 ||
        options.rounds < 1 || options.history < 1 || options.history > 100000 || options.streams < 1 ||
        options.streams > 16 || options.fillSeconds < 1 || options.baud < 1 || options.baud > 65535 ||
        options.streamSeconds < 1) {
        std::fprintf(stderr, "usage: tz52_bench_http --tz52 PATH [--clients 1..16] [--load-ms MS] [--rounds N] "
                             "[--history 1..100000] [--streams 1..16] [--baud B] [--stream-s S] [--fill-s S]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::string error;

    tz52sim::SimConfig config;
    config.stations = {kStation};
    for (const TypeRange& range : kMap) {
        for (int index = range.first; index <= range.last; ++index) {
            tz52sim::Assignment assignment;
            assignment.point.station = kStation;
            assignment.point.type = range.type;
            assignment.point.index = index;
            assignment.value = StartValue(range.type, index);
            config.assignments.push_back(assignment);
        }
    }
    tz52sim::Simulator simulator(config);
    simulator.SetTraceSink([](const std::string&) {});
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "tz52_bench_http: simulator: %s\n", error.c_str());
        return 1;
    }

    // 1. GET /api/v1/points, the two servers in turns.
    BridgeProcess quiet;
    std::string quietBase;
    if (!StartBridge(options, simulator, {"--every", "3600s"}, &quiet, &quietBase, &error)) {
        std::fprintf(stderr, "tz52_bench_http: %s\n", error.c_str());
        return 1;
    }
    Client sample;
    if (!(error = sample.Get(quietBase + "/api/v1/points")).empty()) {
        std::fprintf(stderr, "tz52_bench_http: GET /api/v1/points: %s\n", error.c_str());
        return 1;
    }
    ReferenceServer reference;
    if (!reference.Start(sample.body(), sample.headers(), &error)) {
        std::fprintf(stderr, "tz52_bench_http: reference server: %s\n", error.c_str());
        return 1;
    }
    const std::string referenceUrl = "http://127.0.0.1:" + std::to_string(reference.port()) + "/api/v1/points";
    std::printf("GET /api/v1/points on loopback (%zu points, %zu bytes): %ld keep-alive clients at once, each asking "
                "as fast as it can;\n%ld rounds of %ld ms per server, taken in turns. The bridge polls the points "
                "every hour.\n\n",
                kStationPoints, sample.body().size(), options.clients, options.rounds, options.loadMs);
    std::printf("%-36s %9s %10s %8s %8s %8s %7s\n", "", "requests", "per s", "p50 ms", "p99 ms", "max ms", "errors");
    LoadResult referenceTotals, bridgeTotals;
    for (long round = 1; round <= options.rounds; ++round) {
        const LoadResult referenceLoad = RunLoad(referenceUrl, static_cast<int>(options.clients), options.loadMs);
        const LoadResult bridgeLoad =
            RunLoad(quietBase + "/api/v1/points", static_cast<int>(options.clients), options.loadMs);
        referenceTotals.Add(referenceLoad);
        bridgeTotals.Add(bridgeLoad);
        const std::string label = "round " + std::to_string(round) + ": ";
        PrintLoadRow(label + "reference (libmicrohttpd)", referenceLoad);
        PrintLoadRow(label + "tz52 bridge", bridgeLoad);
        std::printf("%-36s %9s %10.3f\n", (label + "bridge / reference").c_str(), "",
                    referenceLoad.PerSecond() > 0 ? bridgeLoad.PerSecond() / referenceLoad.PerSecond() : 0.0);
    }
    PrintLoadRow("all rounds: reference (libmicrohttpd)", referenceTotals);
    PrintLoadRow("all rounds: tz52 bridge", bridgeTotals);
    const double ratio = referenceTotals.PerSecond() > 0 ? bridgeTotals.PerSecond() / referenceTotals.PerSecond() : 0;
    const double bridgeP99 = Summarize(bridgeTotals.roundTripsMs).p99;
    std::printf("\n%-52s %10.3f   target at least %.2f: %s\n", "throughput, bridge / reference:", ratio,
                kThroughputTarget, Verdict(ratio >= kThroughputTarget));
    std::printf("%-52s %10.3f   target under %.0f ms: %s\n", "round trip through the bridge, p99 ms:", bridgeP99,
                kP99TargetMs, Verdict(bridgeP99 < kP99TargetMs));
    long quietRss = 0, quietPeak = 0;
    ResidentKib(quiet.pid(), &quietRss, &quietPeak);
    int status = 0;
    if (referenceTotals.errors != 0 || bridgeTotals.errors != 0) {
        std::fprintf(stderr, "tz52_bench_http: failed answers (%ld from the reference, %ld from the bridge): %s\n",
                     referenceTotals.errors, bridgeTotals.errors,
                     (referenceTotals.firstError.empty() ? bridgeTotals.firstError : referenceTotals.firstError)
                         .c_str());
        status = 1;
    }
    reference.Stop();
    if (const std::string ended = quiet.Stop(); ended != "exit code 0") {
        std::fprintf(stderr, "tz52_bench_http: tz52 bridge ended with %s on SIGTERM:\n%s", ended.c_str(),
                     quiet.Tail(10).c_str());
        status = 1;
    }

    // 2. The end of a read to its event at S streams, on a line paced at
    // --baud: the reads come at the line's own rate.
    tz52sim::SimConfig pacedConfig = config;
    pacedConfig.baud = static_cast<uint32_t>(options.baud);
    tz52sim::Simulator paced(pacedConfig);
    paced.SetTraceSink([](const std::string&) {});
    if (!paced.Start(&error)) {
        std::fprintf(stderr, "tz52_bench_http: simulator: %s\n", error.c_str());
        return 1;
    }
    BridgeProcess streaming;
    std::string streamingBase;
    if (!StartBridge(options, paced, {"--baud", std::to_string(options.baud), "--every", "0"}, &streaming,
                     &streamingBase, &error)) {
        std::fprintf(stderr, "tz52_bench_http: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> delays;
    uint64_t streamed = 0;
    size_t streamsEnded = 0;
    const auto stopAll = [&](std::vector<std::unique_ptr<StreamFollower>>* followers) {
        for (auto& follower : *followers) {
            follower->Stop();
            delays.insert(delays.end(), follower->delaysMs().begin(), follower->delaysMs().end());
            streamed += follower->events();
            if (!follower->ending().empty() && streamsEnded++ == 0) {
                std::fprintf(stderr, "tz52_bench_http: a stream ended: %s\n", follower->ending().c_str());
            }
        }
        followers->clear();
    };
    std::vector<std::unique_ptr<StreamFollower>> followers;
    for (long i = 0; i < options.streams; ++i) {
        followers.push_back(std::make_unique<StreamFollower>(streamingBase + "/api/v1/stream?reads=all"));
    }
    const uint64_t streamExchanges = paced.ExchangeCount();
    std::this_thread::sleep_for(std::chrono::seconds(options.streamSeconds));
    const uint64_t streamedReads = paced.ExchangeCount() - streamExchanges;
    stopAll(&followers);
    if (const std::string ended = streaming.Stop(); ended != "exit code 0") {
        std::fprintf(stderr, "tz52_bench_http: tz52 bridge ended with %s on SIGTERM:\n%s", ended.c_str(),
                     streaming.Tail(10).c_str());
        status = 1;
    }
    paced.Close();
    const Summary delay = Summarize(delays);
    std::printf("\nA bridge polls the %zu points without pause at %ld baud while %ld streams follow "
                "/api/v1/stream?reads=all\nfor %ld s: %" PRIu64 " reads, %" PRIu64
                " pointRead events at the clients, %zu streams ended early.\n\n",
                kStationPoints, options.baud, options.streams, options.streamSeconds, streamedReads, streamed,
                streamsEnded);
    std::printf("%-52s %10.3f   median\n", "end of a read to its event at a stream, ms:", delay.median);
    std::printf("%-52s %10.3f   target under %.0f ms: %s\n", "end of a read to its event at a stream, p99 ms:",
                delay.p99, kStreamP99TargetMs, Verdict(delay.p99 < kStreamP99TargetMs));
    std::printf("%-52s %10.3f\n", "end of a read to its event at a stream, max ms:", delay.max);

    // 3. The resident memory once the history is full, S streams open: the
    // unpaced simulator fills it fast; then the streams (reads changed, the
    // default) open.
    BridgeProcess busy;
    std::string busyBase;
    if (!StartBridge(options, simulator, {"--every", "0", "--http-history", std::to_string(options.history)}, &busy,
                     &busyBase, &error)) {
        std::fprintf(stderr, "tz52_bench_http: %s\n", error.c_str());
        return 1;
    }
    const int64_t fillStart = NowNanoseconds();
    const uint64_t fillExchanges = simulator.ExchangeCount();
    const int64_t fillEnd = fillStart + options.fillSeconds * 1000000000;
    bool full = false;
    {
        // Closed before the streams open: 16 connections from one address
        // are the face's most.
        Client watcher;
        while (!full && NowNanoseconds() < fillEnd && busy.Ended().empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            // Read in turn, every point is as full as the first and the last.
            full = HistoryLength(&watcher, busyBase, Address('A', 9)) >= options.history &&
                   HistoryLength(&watcher, busyBase, Address('S', 250)) >= options.history;
        }
    }
    const double fillSeconds = static_cast<double>(NowNanoseconds() - fillStart) / 1e9;
    const uint64_t readsDuringFill = simulator.ExchangeCount() - fillExchanges;
    // The streams come once the history is full: a stream of a journal
    // this fast costs the face's thread a scan of every event, which slows
    // the fill (docs/performance.md, 8c).
    for (long i = 0; i < options.streams; ++i) {
        followers.push_back(std::make_unique<StreamFollower>(busyBase + "/api/v1/stream"));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long rss = 0, peak = 0;
    const bool measured = ResidentKib(busy.pid(), &rss, &peak);
    const size_t streamsOpen = static_cast<size_t>(std::count_if(
        followers.begin(), followers.end(), [](const std::unique_ptr<StreamFollower>& f) { return f->Open(); }));
    stopAll(&followers);
    if (const std::string ended = busy.Stop(); ended != "exit code 0") {
        std::fprintf(stderr, "tz52_bench_http: tz52 bridge ended with %s on SIGTERM:\n%s", ended.c_str(),
                     busy.Tail(10).c_str());
        status = 1;
    }
    simulator.Close();
    if (!full || !measured) {
        std::fprintf(stderr, "tz52_bench_http: the history did not fill within %ld s (%s)\n", options.fillSeconds,
                     measured ? "the bridge is still running" : "the bridge has ended");
        return 1;
    }
    const auto mib = [](long kib) { return static_cast<double>(kib) / 1024.0; };
    std::printf("\nResident memory (VmRSS; VmHWM the peak), MiB; the history filled by %" PRIu64
                " reads in %.1f s (unpaced), %zu streams open:\n",
                readsDuringFill, fillSeconds, streamsOpen);
    std::printf("%-52s %10.1f   peak %.1f\n", "554 points, one read each, after the load above:", mib(quietRss),
                mib(quietPeak));
    const std::string label = "554 points, " + std::to_string(options.history) + " reads of history each, " +
                              std::to_string(options.streams) + " streams:";
    std::printf("%-52s %10.1f   peak %.1f   target at most %.0f: %s\n", label.c_str(), mib(rss), mib(peak),
                kResidentTargetMiB, Verdict(mib(rss) <= kResidentTargetMiB));
    if (streamsEnded != 0 || delays.empty() || streamsOpen != static_cast<size_t>(options.streams)) status = 1;
    curl_global_cleanup();
    return status;
}
