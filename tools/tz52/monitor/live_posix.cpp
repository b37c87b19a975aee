// Live monitoring on POSIX. Sections: the relay (its own thread: the device,
// the host's pseudo-terminal, every byte passed on as soon as it is read);
// the run (the main thread: decoding, capture, display, summary).
//
// The relay never waits for the display or the capture: it hands each piece
// it read to the main thread through a queue and goes back to the line. A
// main thread that falls behind leaves exchanges off the display; one that
// is stuck (its output blocked) lets the queue grow up to a limit, beyond
// which pieces are still relayed but no longer decoded, and counted.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "tools/common/cli/stop_signal.h"
#include "tools/common/posix/line_ports.h"
#include "tools/common/posix/system_error.h"
#include "tools/tz52/monitor/monitor.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/monitor/capture.h"
#include "tools/tz52/monitor/relay_posix.h"

namespace tz52monitor {

namespace {

// Bytes waiting to be written to one side before we stop reading the other.
constexpr size_t kForwardBacklogLimit = 1 << 16;
constexpr size_t kQueueByteLimit = 16u << 20;
constexpr int kWakeIntervalMs = 10;

using tz52line::SystemError;

}  // namespace

// ---- the relay -----------------------------------------------------------------

Relay::Relay() : start_(std::chrono::steady_clock::now()) {}

Relay::~Relay() { Close(); }

int64_t Relay::NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
}

bool Relay::Open(const std::string& devicePath, uint32_t baud, const tz52line::LineFormat& format,
                 const std::string& linkPath, std::string* error) {
    if (!wake_.Open(error)) return false;
    if (!tz52line::OpenRawDevice(devicePath, baud, format, &deviceFd_, error)) return false;
    devicePath_ = devicePath;
    if (!tz52line::OpenPseudoTerminal(&terminal_, error)) return false;
    if (!linkPath.empty()) {
        if (!tz52line::MakeLink(linkPath, terminal_.path, "--link", error)) return false;
        linkPath_ = linkPath;
    }
    return true;
}

void Relay::Start() {
    start_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Loop(); });
}

void Relay::Stop() { wake_.Wake(); }

void Relay::Close() {
    Stop();
    if (thread_.joinable()) thread_.join();
    if (!linkPath_.empty()) tz52line::RemoveLinkIfOurs(linkPath_, terminal_.path);
    linkPath_.clear();
    tz52line::ClosePseudoTerminal(&terminal_);
    if (deviceFd_ >= 0) close(deviceFd_);
    deviceFd_ = -1;
    wake_.Close();
}

bool Relay::Take(std::vector<Piece>* pieces, int timeoutMs, int64_t* quietSinceUs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty() && !ended_) {
        wakeUp_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !queue_.empty() || ended_; });
    }
    pieces->assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    queuedBytes_ = 0;
    // Taken under the lock: every piece the relay has yet to queue is
    // stamped later than this.
    *quietSinceUs = NowUs();
    return !ended_ || !pieces->empty();
}

uint64_t Relay::BytesNotQueued() const { return bytesNotQueued_.load(); }

std::string Relay::Failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void Relay::Queue(Side side, const uint8_t* data, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queuedBytes_ + count > kQueueByteLimit) {
        bytesNotQueued_ += count;
        return;
    }
    Piece piece;
    piece.timeUs = NowUs();
    piece.side = side;
    piece.bytes.assign(data, data + count);
    queue_.push_back(std::move(piece));
    queuedBytes_ += count;
    wakeUp_.notify_one();
}

void Relay::End(const std::string& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    failure_ = failure;
    wakeUp_.notify_one();
}

// Writes what waits for `fd`; false when the side has failed.
bool Relay::Flush(int fd, Bytes* backlog, const std::string& name) {
    while (!backlog->empty()) {
        const ssize_t written = write(fd, backlog->data(), backlog->size());
        if (written > 0) {
            backlog->erase(backlog->begin(), backlog->begin() + written);
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        End(SystemError("write", name));
        return false;
    }
    return true;
}

void Relay::Loop() {
    struct Direction {
        int from;
        int to;
        Side side;
        const std::string* fromName;
        const std::string* toName;
        Bytes backlog;
    };
    Direction directions[2] = {{terminal_.controlFd, deviceFd_, Side::kHost, &terminal_.path, &devicePath_, {}},
                               {deviceFd_, terminal_.controlFd, Side::kDevice, &devicePath_, &terminal_.path, {}}};
    uint8_t buffer[4096];
    for (;;) {
        pollfd fds[3] = {{terminal_.controlFd, 0, 0}, {deviceFd_, 0, 0}, {wake_.ReadFd(), POLLIN, 0}};
        // fds[0] and fds[1] are the two lines; each is read while its
        // direction's backlog is small and written while the other's waits.
        for (int i = 0; i < 2; ++i) {
            if (directions[i].backlog.size() < kForwardBacklogLimit) fds[i].events |= POLLIN;
            if (!directions[1 - i].backlog.empty()) fds[i].events |= POLLOUT;
        }
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            End(SystemError("poll", "relay"));
            return;
        }
        if (fds[2].revents != 0) {
            End("");
            return;
        }
        for (int i = 0; i < 2; ++i) {
            Direction& direction = directions[i];
            if (fds[i].revents & POLLIN) {
                const ssize_t got = read(direction.from, buffer, sizeof buffer);
                if (got > 0) {
                    // Passed on first, decoded after.
                    direction.backlog.insert(direction.backlog.end(), buffer, buffer + got);
                    if (!Flush(direction.to, &direction.backlog, *direction.toName)) return;
                    Queue(direction.side, buffer, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    End(got == 0 ? *direction.fromName + " closed" : SystemError("read", *direction.fromName));
                    return;
                }
            } else if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                End(*direction.fromName + " hung up");
                return;
            }
            if ((fds[i].revents & POLLOUT) && !Flush(direction.from, &directions[1 - i].backlog,
                                                      *direction.fromName)) {
                return;
            }
        }
    }
}

// ---- the run ---------------------------------------------------------------------

namespace {

int64_t LocalDayTimeUs() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const int64_t us =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    return (static_cast<int64_t>(local.tm_hour) * 3600 + local.tm_min * 60 + local.tm_sec) * 1000000 + us;
}

// The -o file, if any, opened before anything is relayed; false with the
// reason in *failure.
bool OpenCaptureFile(const std::string& path, FILE** capture, std::string* failure) {
    if (path.empty()) return true;
    *capture = std::fopen(path.c_str(), "w");
    if (*capture != nullptr) return true;
    *failure = "-o " + path + ": cannot write it: " + std::strerror(errno);
    return false;
}

// The facts a reader of the capture needs: the time of day at time 0 and
// the read limit.
void WriteCaptureHeader(FILE* capture, int64_t clockAtZeroUs, int readLimitMs) {
    CaptureFacts facts;
    facts.hasClock = true;
    facts.clockAtZeroUs = clockAtZeroUs;
    facts.hasReadLimit = true;
    facts.readLimitMs = readLimitMs;
    std::fputs(CaptureHeaderText(facts).c_str(), capture);
    std::fflush(capture);
}

// "port pts/5" (or its JSON line) for the host on stdout; what is relayed
// on stderr.
void AnnouncePort(const MonitorSettings& settings, const Relay& relay) {
    const std::string& port = relay.PortName();
    if (settings.display.json) {
        std::printf("%s\n", JsonText(Json{{"port", port}, {"device", settings.devicePath}}).c_str());
    } else {
        std::printf("port %s\n", port.c_str());
    }
    std::fflush(stdout);
    std::fprintf(stderr, "tz52 monitor: relaying %s <-> %s%s; read limit %d ms; Ctrl-C ends\n",
                 settings.devicePath.c_str(), relay.PortPath().c_str(),
                 settings.linkPath.empty() ? "" : (" (" + settings.linkPath + ")").c_str(), settings.readLimitMs);
}

// The pieces taken from the relay, to the capture and the session; with
// none, the quiet time lets the session end exchanges that got no reply.
void HandlePieces(const std::vector<Piece>& pieces, int64_t quietSinceUs, const Relay& relay, FILE* capture,
                  MonitorSession* session) {
    for (const Piece& piece : pieces) {
        if (capture != nullptr) std::fputs(CaptureLineText(piece).c_str(), capture);
        session->Add(piece, relay.NowUs() - piece.timeUs);
    }
    if (capture != nullptr && !pieces.empty()) std::fflush(capture);
    if (pieces.empty()) session->AdvanceTo(quietSinceUs);
}

// Decodes what the relay passes on until Ctrl-C, SIGTERM or the line ends,
// then what was left; the relay is closed. Why the line ended, if it did.
std::string FollowRelay(Relay& relay, FILE* capture, MonitorSession* session) {
    std::vector<Piece> pieces;
    int64_t quietSinceUs = 0;
    for (bool lineUp = true; !StopOnSignal::Requested() && lineUp;) {
        lineUp = relay.Take(&pieces, kWakeIntervalMs, &quietSinceUs);
        HandlePieces(pieces, quietSinceUs, relay, capture, session);
    }
    relay.Stop();
    const std::string failure = relay.Failure();
    relay.Close();
    relay.Take(&pieces, 0, &quietSinceUs);
    HandlePieces(pieces, quietSinceUs, relay, capture, session);
    session->summary().bytesNotDecoded = relay.BytesNotQueued();
    return failure;
}

}  // namespace

MonitorOutcome RunMonitorLive(const MonitorSettings& settings) {
    MonitorOutcome outcome;
    outcome.exitCode = 2;
    Relay relay;
    tz52line::LineFormat format;
    format.dataBits = settings.dataBits;
    format.parity = settings.parity;
    format.stopBits = settings.stopBits;
    FILE* capture = nullptr;
    if (!relay.Open(settings.devicePath, settings.baud, format, settings.linkPath, &outcome.failure) ||
        !OpenCaptureFile(settings.capturePath, &capture, &outcome.failure)) {
        return outcome;
    }

    const StopOnSignal stopOnSignal;
    // Output that nobody reads any more must not end the relay.
    signal(SIGPIPE, SIG_IGN);

    DisplayOptions display = settings.display;
    display.hasClock = true;
    relay.Start();
    display.clockAtZeroUs = LocalDayTimeUs();
    if (capture != nullptr) WriteCaptureHeader(capture, display.clockAtZeroUs, settings.readLimitMs);
    AnnouncePort(settings, relay);
    outcome.printed = true;

    MonitorSession session(display, settings.readLimitMs, stdout);
    const std::string failure = FollowRelay(relay, capture, &session);
    session.Finish();
    if (capture != nullptr) std::fclose(capture);
    if (!failure.empty()) {
        outcome.failure = "the line ended: " + failure;
        return outcome;
    }
    outcome.exitCode = 0;
    return outcome;
}

}  // namespace tz52monitor
