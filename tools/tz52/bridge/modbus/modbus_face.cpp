#include "tools/tz52/bridge/modbus/modbus_face.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/bridge/core/listen_address.h"
#include "tools/tz52/bridge/core/write_audit.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/point_types.h"

namespace {

constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = 1;
// A request is whole within this long of its first byte, or the connection
// is closed: a client cannot hold a connection with a byte a minute.
constexpr int64_t kWholeRequestMs = 1000;
// Bytes kept from a client ahead of the request being answered: frames are
// at most 260 bytes, so a full buffer always holds one whole.
constexpr size_t kMostBufferedBytes = 4096;
// The exceptions of one connection that are logged; the rest are counted.
constexpr int kMostLoggedExceptions = 10;
// Out of descriptors: accepting waits this long, and refusals of clients
// beyond the limit are logged at most this often.
constexpr int64_t kAcceptPauseMs = 1000;
constexpr int64_t kRefusalLogEveryMs = 10000;
// With every connection taken, a newcomer takes the place of the one idle
// longest, when that one has been idle at least this long.
constexpr int64_t kLeastIdleToReplaceMs = 5000;
// The longest the loop sleeps: a stop is seen this soon.
constexpr int64_t kLongestSleepMs = 200;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Log(LogLevel level, const std::string& message) { LogLine(level, "bridge", "modbus: " + message); }

std::string PeerText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// The parts of a Modbus write's audit line: "001M025", or the first and
// last point of several ("001M001..001M003"); the value, or the values as
// an array; "client ADDRESS:PORT, function F".
std::string ModbusPointName(const ModbusPoint& point) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d%c%03d", static_cast<int>(point.station),
                  PointTypeLetter(point.pointType), static_cast<int>(point.pointIndex));
    return text;
}

std::string ModbusWrittenPoints(const ModbusRequest& request) {
    if (request.points.empty()) return "";
    const std::string first = ModbusPointName(request.points.front());
    return request.points.size() == 1 ? first : first + ".." + ModbusPointName(request.points.back());
}

Json ModbusWrittenValues(const ModbusRequest& request) {
    if (request.values.size() == 1) return Json(request.values.front());
    Json values = Json::array();
    for (uint16_t value : request.values) values.push_back(value);
    return values;
}

std::string ModbusClientText(const std::string& peer, uint8_t function) {
    return "client " + peer + ", function " + std::to_string(function);
}

tz52line::PointRef PointRefOfModbus(const ModbusPoint& point) {
    tz52line::PointRef ref;
    ref.station = point.station;
    ref.type = PointTypeLetter(point.pointType);
    ref.index = point.pointIndex;
    return ref;
}

}  // namespace

// A write on its way to the line, with what answers the client.
struct ModbusFace::Write {
    uint64_t connection = 0;  // the face's number for the client's connection
    ModbusRequest request;    // kWrite: points and values
    std::shared_ptr<WriteRequest> line;
    uint8_t exception = 0;    // 0: all written
};

struct ModbusFace::Connection {
    uint64_t key = 0;
    int fd = -1;
    std::string peer;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    int64_t lastMs = 0;       // the last request answered, or the connect
    int64_t takenMs = 0;      // the client last took some of its answers
    int64_t firstByteMs = 0;  // of the request not yet whole; 0: none
    bool reading = false;     // a read waits for points not read yet
    ModbusRequest request;    // the one being answered
    int64_t deadlineMs = 0;   // of the waiting read
    std::shared_ptr<Write> job;  // the write being carried out
    uint32_t events = 0;      // what epoll watches
    int exceptionsLogged = 0;
    bool Busy() const { return reading || job != nullptr; }
    // A request begun and not whole yet, with nothing else under way: it
    // must become whole within kWholeRequestMs.
    bool Unfinished() const { return firstByteMs != 0 && !Busy() && out.empty(); }
    // Since when the client has done nothing: no request, no answer taken.
    int64_t IdleSinceMs() const { return std::max({lastMs, takenMs, firstByteMs}); }
};

ModbusFace::ModbusFace(const ModbusSettings& settings, Line* line)
    : settings_(settings), line_(line), mayWrite_([line](const ModbusPoint& point) {
          return line->permission.Allows(ModbusPointName(point));
      }) {}

ModbusFace::~ModbusFace() {
    Stop();
    for (auto& entry : connections_) close(entry.second->fd);
    if (listenFd_ >= 0) close(listenFd_);
    if (epollFd_ >= 0) close(epollFd_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool ModbusFace::Start(std::string* error) {
    std::string host;
    int port = 0;
    if (!ParseListenAddress("--modbus-listen", settings_.listen, &host, &port, error)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        *error = "--modbus-listen " + Quoted(settings_.listen) + ": not an address to listen on";
        return false;
    }
    shownAddress_ = (found->ai_family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    listenFd_ = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int failure = errno;
    if (listenFd_ >= 0) {
        const int on = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(listenFd_, found->ai_addr, found->ai_addrlen) != 0 || listen(listenFd_, SOMAXCONN) != 0) {
            failure = errno;
            close(listenFd_);
            listenFd_ = -1;
        }
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        *error = "--modbus-listen " + Quoted(settings_.listen) + ": cannot listen on " + shownAddress_ + ": " +
                 std::strerror(failure) +
                 (failure == EACCES && port < 1024 ? " (a port below 1024 needs CAP_NET_BIND_SERVICE)" : "");
        return false;
    }
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        *error = std::string("the Modbus face cannot start: ") + std::strerror(errno);
        return false;
    }
    epoll_event listener{};
    listener.events = EPOLLIN;
    listener.data.u64 = kListenerKey;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeKey;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listener) != 0 ||
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0) {
        *error = std::string("the Modbus face cannot start: ") + std::strerror(errno);
        return false;
    }
    Log(LogLevel::kInfo, "listening on " + shownAddress_ + ", at most " + std::to_string(settings_.maxClients) +
                             " clients");
    listener_ = line_->journal.Listen([this] { Wake(); });
    thread_ = std::thread([this] { Run(); });
    return true;
}

std::string ModbusFace::Status() const {
    const size_t clients = clients_.load();
    return std::to_string(clients) + (clients == 1 ? " Modbus client" : " Modbus clients");
}

void ModbusFace::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The loop sees the stop within kLongestSleepMs all the same.
    }
    thread_.join();
    line_->journal.StopListening(listener_);
    // Writes the owner ended at the stop are answered as far as the
    // clients take the answers now.
    TakeFinished(NowMs());
}

void ModbusFace::Wake() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // EAGAIN: the counter is full, so a wake-up is pending anyway.
    }
}

void ModbusFace::Run() {
    epoll_event events[64];
    while (!stopping_.load()) {
        int64_t now = NowMs();
        const int count = epoll_wait(epollFd_, events, 64, static_cast<int>(NextTimeout(now)));
        now = NowMs();
        for (int i = 0; i < count; ++i) {
            const uint64_t key = events[i].data.u64;
            if (key == kListenerKey) {
                Accept(now);
                continue;
            }
            if (key == kWakeKey) {
                uint64_t counter = 0;
                if (read(wakeFd_, &counter, sizeof counter) > 0) stateChanged_ = true;
                continue;
            }
            const auto found = connections_.find(key);
            if (found == connections_.end()) continue;  // closed earlier in this round
            Connection* connection = found->second.get();
            const uint32_t ready = events[i].events;
            if ((ready & EPOLLOUT) != 0) {
                Flush(connection);
                if (connections_.count(key) == 0) continue;
                if (connection->out.empty()) Resume(connection, now);
                if (connections_.count(key) == 0) continue;
            }
            if ((ready & (EPOLLHUP | EPOLLERR)) != 0 ||
                ((ready & EPOLLRDHUP) != 0 && connection->in.size() >= kMostBufferedBytes)) {
                // Gone, or done sending with a full buffer nobody reads:
                // nothing more can come, and waiting would spin.
                Close(connection, "the client closed the connection", false);
                continue;
            }
            if ((ready & (EPOLLIN | EPOLLRDHUP)) != 0) Receive(connection, now);
        }
        TakeFinished(now);
        if (stateChanged_) {
            stateChanged_ = false;
            std::vector<Connection*> waiting;
            for (auto& entry : connections_) {
                if (entry.second->reading) waiting.push_back(entry.second.get());
            }
            for (Connection* connection : waiting) {
                const uint64_t key = connection->key;
                Answer(connection, connection->request, now, false);
                if (connections_.count(key) != 0 && !connection->reading) Resume(connection, now);
            }
        }
        Expire(now);
        if (listenPausedUntil_ != 0 && now >= listenPausedUntil_) WatchListener();
    }
}

// After a pause for descriptors: the listener is watched again, or, should
// epoll refuse it, tried again after another pause.
void ModbusFace::WatchListener() {
    epoll_event listener{};
    listener.events = EPOLLIN;
    listener.data.u64 = kListenerKey;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listener) == 0 || errno == EEXIST) {
        listenPausedUntil_ = 0;
        return;
    }
    Log(LogLevel::kError, std::string("cannot watch the listener again: ") + std::strerror(errno) +
                              "; accepting again in 1 s");
    listenPausedUntil_ = NowMs() + kAcceptPauseMs;
}

int64_t ModbusFace::NextTimeout(int64_t now) const {
    int64_t next = now + kLongestSleepMs;
    for (const auto& entry : connections_) {
        const Connection& connection = *entry.second;
        if (connection.reading) next = std::min(next, connection.deadlineMs);
        // (A request that cannot be taken while answers wait to be sent
        // has no deadline: looking at it each turn would spin.)
        if (connection.Unfinished()) {
            next = std::min(next, std::max(connection.firstByteMs, connection.lastMs) + kWholeRequestMs);
        }
    }
    if (listenPausedUntil_ != 0) next = std::min(next, listenPausedUntil_);
    return std::max<int64_t>(0, next - now);
}

void ModbusFace::Accept(int64_t now) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The waiting connection stays in the backlog and would wake
                // the loop at once again: stop listening for a moment.
                Log(LogLevel::kError, std::string("cannot accept a client: ") + std::strerror(errno) +
                                          "; accepting again in 1 s");
                epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
                listenPausedUntil_ = now + kAcceptPauseMs;
            }
            return;  // EAGAIN, or a connection that went away before it was taken
        }
        const std::string peer = PeerText(address);
        if (connections_.size() >= settings_.maxClients) ReplaceIdleLongest(peer, now);
        if (connections_.size() >= settings_.maxClients) {
            close(fd);
            ++refusedSinceLog_;
            if (lastRefusalLogMs_ < 0 || now - lastRefusalLogMs_ >= kRefusalLogEveryMs) {
                Log(LogLevel::kWarning, "client " + peer + " refused: " + std::to_string(settings_.maxClients) +
                                            " clients are connected (--modbus-max-clients)" +
                                            (refusedSinceLog_ > 1 ? "; " + std::to_string(refusedSinceLog_) +
                                                                        " refused since the last such line"
                                                                  : ""));
                lastRefusalLogMs_ = now;
                refusedSinceLog_ = 0;
            }
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto connection = std::make_unique<Connection>();
        connection->key = nextConnection_++;
        connection->fd = fd;
        connection->peer = peer;
        connection->lastMs = now;
        connection->takenMs = now;
        Connection* added = connection.get();
        connections_[added->key] = std::move(connection);
        clients_ = connections_.size();
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = added->key;
        added->events = event.events;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            Close(added, std::string("cannot watch it: ") + std::strerror(errno), true);
            continue;
        }
        Log(LogLevel::kInfo, "client " + peer + " connected");
    }
}

void ModbusFace::Receive(Connection* connection, int64_t now) {
    uint8_t chunk[1024];
    while (connection->in.size() < kMostBufferedBytes) {
        const size_t room = std::min(sizeof chunk, kMostBufferedBytes - connection->in.size());
        const ssize_t got = recv(connection->fd, chunk, room, 0);
        if (got > 0) {
            if (connection->in.empty()) connection->firstByteMs = now;
            connection->in.insert(connection->in.end(), chunk, chunk + got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got < 0 && errno == EINTR) continue;
        Close(connection, got == 0 ? "the client closed the connection" : std::string(std::strerror(errno)), false);
        return;
    }
    Resume(connection, now);
}

void ModbusFace::Process(Connection* connection, int64_t now) {
    const uint64_t key = connection->key;
    while (!connection->Busy() && connection->out.empty() && !connection->in.empty()) {
        ModbusRequest request = ParseModbusRequest(connection->in.data(), connection->in.size(), mayWrite_);
        if (request.verdict == ModbusVerdict::kIncomplete) return;
        if (request.verdict == ModbusVerdict::kClose) {
            Close(connection, "connection closed: " + request.reason, true);
            return;
        }
        connection->in.erase(connection->in.begin(), connection->in.begin() + static_cast<long>(request.frameBytes));
        connection->firstByteMs = connection->in.empty() ? 0 : now;
        connection->lastMs = now;
        if (request.verdict == ModbusVerdict::kException) {
            LogException(connection, request);
            Send(connection, ModbusExceptionReply(request));
        } else if (request.verdict == ModbusVerdict::kRead) {
            Answer(connection, request, now, false);
        } else {
            Submit(connection, request);
        }
        if (connections_.count(key) == 0) return;
    }
}

// A write judged sound and allowed goes to the line's queue; the owner
// writes its points in order, each read back at once, stops at the first
// failure and hands it back, on its own thread, with every point's outcome.
void ModbusFace::Submit(Connection* connection, const ModbusRequest& request) {
    auto job = std::make_shared<Write>();
    job->connection = connection->key;
    job->request = request;
    std::vector<JournalWrittenPoint> points;
    for (size_t i = 0; i < request.points.size(); ++i) {
        points.push_back({PointRefOfModbus(request.points[i]), request.values[i]});
    }
    const std::string who = ModbusClientText(connection->peer, request.function);
    // The completion holds the write until it is done, when the request
    // lets the completion go: the audit line is written whether the client
    // waits for it or not.
    job->line = std::make_shared<WriteRequest>(std::move(points), "modbus", who,
                                               [this, job](const WriteRequest& done) { Finished(job, done); });
    job->line->readBackAtOnce = true;
    if (line_->queue.Push(job->line)) {
        connection->job = job;
        return;
    }
    ModbusRequest busy = request;
    busy.exception = kModbusServerDeviceBusy;
    LogWrite(ModbusWrittenPoints(request), ModbusWrittenValues(request), "modbus", who, kResultPortFailure,
             "more than " + std::to_string(WriteQueue::kMostWaiting) +
                 " writes are waiting for the line; nothing was sent (exception 6)");
    Send(connection, ModbusExceptionReply(busy));
}

// On the owner's thread: the outcome as the exception that answers the
// client, the audit line, and the write handed to the face's thread.
void ModbusFace::Finished(const std::shared_ptr<Write>& job, const WriteRequest& done) {
    const ModbusRequest& request = job->request;
    const size_t written = done.Written();
    int result = kResultOk;
    std::string text = "written";
    if (written < request.points.size()) {
        const PointWriteOutcome& outcome = done.outcomes[written];
        result = outcome.result;
        text = outcome.message;
        if (outcome.invalidAddress) {
            job->exception = kModbusIllegalDataAddress;
        } else if (outcome.sent) {
            job->exception = outcome.stationSilent ? kModbusGatewayTargetFailed : kModbusServerDeviceFailure;
            text = ModbusPointName(request.points[written]) + ": " + text;
        } else {
            job->exception = kModbusServerDeviceFailure;
        }
        text += "; exception " + std::to_string(job->exception);
        if (request.points.size() > 1) {
            text += written == 0 ? "; none written"
                                 : "; written: " + ModbusPointName(request.points.front()) +
                                       (written == 1 ? "" : ".." + ModbusPointName(request.points[written - 1]));
        }
    }
    LogWrite(ModbusWrittenPoints(request), ModbusWrittenValues(request), "modbus", done.who, result, text);
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished_.push_back(job);
    }
    Wake();
}

ModbusServed ModbusFace::Serve(const std::vector<ModbusPoint>& points, int64_t nowMs, bool* limitReached) {
    ModbusServed served;
    *limitReached = false;
    refs_.clear();
    for (const ModbusPoint& point : points) refs_.push_back(PointRefOfModbus(point));
    served.values.reserve(points.size());
    const auto read = [&](const LineSnapshot& state) {
        for (const tz52line::PointRef& ref : refs_) {
            const PointState* point = state.Find(ref);
            if (point == nullptr || point->lastResult < 0) {
                served.wait = true;
            } else if (point->lastResult != kResultOk) {
                // Never a value from a failed read, nor 0 for a missing one.
                served.exception = point->stationSilent ? kModbusGatewayTargetFailed : kModbusServerDeviceFailure;
            } else if (nowMs - point->valueMs >
                       (settings_.maxAgeMs > 0 ? settings_.maxAgeMs : std::max(3 * point->periodMs, kLeastMaxAgeMs))) {
                served.exception = kModbusGatewayTargetFailed;
            } else {
                served.values.push_back(point->value);
            }
            if (served.exception != 0) break;
        }
    };
    switch (line_->state.Demand(refs_, "modbus", nowMs, read)) {
        case LineState::Demanded::kLimit:
            if (settings_.demandPoints == 0) {
                // Reads on demand are off: only the polled points are in the map.
                served.exception = kModbusIllegalDataAddress;
            } else {
                *limitReached = true;
                served.exception = kModbusServerDeviceBusy;
            }
            return served;
        case LineState::Demanded::kAsked:
            // Points asked for are polled from the owner's next turn on.
            line_->queue.Wake();
            break;
        case LineState::Demanded::kPolled:
            break;
    }
    // A failure known is answered at once, whatever else is still unread.
    if (served.exception != 0) served.wait = false;
    if (served.wait || served.exception != 0) served.values.clear();
    return served;
}

// A read answered from the line's state, or left waiting for points not
// read yet until its deadline (`final`: the deadline has come).
void ModbusFace::Answer(Connection* connection, const ModbusRequest& request, int64_t now, bool final) {
    bool limitReached = false;
    const ModbusServed served = Serve(request.points, now, &limitReached);
    if (limitReached && !demandLimitLogged_) {
        demandLimitLogged_ = true;
        Log(LogLevel::kWarning, "the limit of " + std::to_string(settings_.demandPoints) +
                                    " points read on demand is reached (--modbus-demand-points); reads of further "
                                    "points that are not polled get exception 6");
    } else if (!limitReached && line_->state.OnDemand() < settings_.demandPoints) {
        demandLimitLogged_ = false;
    }
    if (served.wait && !final) {
        if (!connection->reading) {
            connection->reading = true;
            connection->request = request;
            connection->deadlineMs = now + settings_.waitMs;
        }
        return;
    }
    connection->reading = false;
    connection->lastMs = now;
    if (served.wait) {
        ModbusRequest busy = request;
        busy.exception = kModbusServerDeviceBusy;
        Send(connection, ModbusExceptionReply(busy));
    } else if (served.exception != 0) {
        ModbusRequest failed = request;
        failed.exception = served.exception;
        Send(connection, ModbusExceptionReply(failed));
    } else {
        Send(connection, ModbusReadReply(request, served.values));
    }
}

void ModbusFace::Send(Connection* connection, const std::vector<uint8_t>& bytes) {
    connection->out.insert(connection->out.end(), bytes.begin(), bytes.end());
    Flush(connection);
}

void ModbusFace::Flush(Connection* connection) {
    while (!connection->out.empty()) {
        const ssize_t sent = send(connection->fd, connection->out.data(), connection->out.size(),
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            connection->out.erase(connection->out.begin(), connection->out.begin() + sent);
            connection->takenMs = NowMs();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Close(connection, std::string("connection lost: ") + std::strerror(errno), false);
        return;
    }
}

// After a reply went out or a connection's state changed: the requests
// waiting in its buffer, then what epoll watches for it.
void ModbusFace::Resume(Connection* connection, int64_t now) {
    const uint64_t key = connection->key;
    Process(connection, now);
    if (connections_.count(key) != 0) Watch(connection);
}

// Reads from a client only while nothing of it is being answered and its
// buffer has room; a hang-up is seen at any time, so the work of a client
// that has gone is dropped.
void ModbusFace::Watch(Connection* connection) {
    uint32_t events = EPOLLRDHUP;
    if (!connection->Busy() && connection->out.empty() && connection->in.size() < kMostBufferedBytes) {
        events |= EPOLLIN;
    }
    if (!connection->out.empty()) events |= EPOLLOUT;
    if (events == connection->events) return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = connection->key;
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection->fd, &event) == 0) connection->events = events;
}

void ModbusFace::Close(Connection* connection, const std::string& why, bool warn) {
    if (connection->job) connection->job->line->abandoned = true;
    Log(warn ? LogLevel::kWarning : LogLevel::kInfo, "client " + connection->peer + ": " + why);
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, connection->fd, nullptr);
    close(connection->fd);
    connections_.erase(connection->key);
    clients_ = connections_.size();
}

// A request refused by its frame: a write refused is in the audit log as
// an MQTT set refused is; the other refusals are logged up to a limit per
// connection, so a client sending nothing else cannot flood the journal.
void ModbusFace::LogException(Connection* connection, const ModbusRequest& request) {
    const std::string exception = "exception " + std::to_string(request.exception) + " (" + request.reason + ")";
    if (request.refusedWrite) {
        const std::string who = ModbusClientText(connection->peer, request.function);
        LogWrite(ModbusPointName(request.refusedPoint), Json(request.refusedValue), "modbus", who, kResultRefused,
                 exception);
        JournalEvent event;
        event.kind = JournalKind::kWriteRefused;
        event.face = "modbus";
        event.who = who;
        event.written.push_back({PointRefOfModbus(request.refusedPoint), request.refusedValue});
        event.result = kResultRefused;
        event.message = exception;
        line_->journal.Append(std::move(event));
        return;
    }
    if (connection->exceptionsLogged > kMostLoggedExceptions) return;
    if (++connection->exceptionsLogged > kMostLoggedExceptions) {
        Log(LogLevel::kWarning, "client " + connection->peer + ": further refused requests are not logged");
        return;
    }
    Log(LogLevel::kWarning, "client " + connection->peer + ": unit " + std::to_string(request.unit) + " function " +
                                std::to_string(request.function) + " address " + std::to_string(request.start) +
                                " quantity " + std::to_string(request.quantity) + ": " + exception);
}

void ModbusFace::TakeFinished(int64_t now) {
    std::deque<std::shared_ptr<Write>> finished;
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished.swap(finished_);
    }
    for (const std::shared_ptr<Write>& job : finished) {
        const auto found = connections_.find(job->connection);
        if (found == connections_.end() || found->second->job != job) continue;  // the client has gone
        Connection* connection = found->second.get();
        connection->job.reset();
        connection->lastMs = now;
        if (job->exception != 0) {
            ModbusRequest failed = job->request;
            failed.exception = job->exception;
            Send(connection, ModbusExceptionReply(failed));
        } else {
            Send(connection, ModbusWriteReply(job->request));
        }
        // At the stop, the answer alone: nothing more is taken from it.
        if (connections_.count(job->connection) != 0 && !stopping_.load()) Resume(connection, now);
    }
}

void ModbusFace::Expire(int64_t now) {
    std::vector<Connection*> all;
    for (auto& entry : connections_) all.push_back(entry.second.get());
    for (Connection* connection : all) {
        if (connection->reading && now >= connection->deadlineMs) {
            const uint64_t key = connection->key;
            Answer(connection, connection->request, now, true);
            if (connections_.count(key) != 0) Resume(connection, now);
            continue;
        }
        if (connection->Unfinished() &&
            now - std::max(connection->firstByteMs, connection->lastMs) >= kWholeRequestMs) {
            Close(connection, "connection closed: a request not whole within 1 s of its first byte", true);
            continue;
        }
        if (!connection->Busy() && connection->in.empty() && connection->out.empty() &&
            now - connection->lastMs >= settings_.idleConnectionMs) {
            Close(connection, "connection closed: idle for " + std::to_string(settings_.idleConnectionMs / 1000) + " s",
                  false);
            continue;
        }
        // A client that takes none of its answers holds a connection as an
        // idle one does.
        if (!connection->out.empty() && now - connection->takenMs >= settings_.idleConnectionMs) {
            Close(connection,
                  "connection closed: none of its answers taken for " +
                      std::to_string(settings_.idleConnectionMs / 1000) + " s",
                  true);
        }
    }
}

// Every connection taken: the one idle longest, if idle kLeastIdleToReplaceMs,
// is closed for `peer`, so idle connections cannot lock every other client
// out. Connections with a read or write under way are never taken.
void ModbusFace::ReplaceIdleLongest(const std::string& peer, int64_t now) {
    Connection* longest = nullptr;
    for (auto& entry : connections_) {
        Connection* connection = entry.second.get();
        if (connection->Busy()) continue;
        if (longest == nullptr || connection->IdleSinceMs() < longest->IdleSinceMs()) longest = connection;
    }
    if (longest == nullptr || now - longest->IdleSinceMs() < kLeastIdleToReplaceMs) return;
    const int64_t idleSeconds = (now - longest->IdleSinceMs()) / 1000;
    Close(longest,
          "connection closed for client " + peer + ": idle for " + std::to_string(idleSeconds) + " s, the longest of " +
              std::to_string(settings_.maxClients) + " clients (--modbus-max-clients)",
          true);
}
