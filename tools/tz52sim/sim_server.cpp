// Sections: opening the line (pseudo-terminal, device, link); serving
// (reading, answering, faults, pacing); trace; points from other threads.
#include "tools/tz52sim/sim_server.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tools/common/posix/system_error.h"

namespace tz52sim {

namespace {

using tz52line::SystemError;

constexpr uint32_t kDeviceDefaultBaud = 9600;
// The exchange log keeps the most recent exchanges only, so that a simulator
// left running for days does not grow without bound.
constexpr size_t kLogLimit = 1 << 16;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CloseDescriptor(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

Simulator::Simulator(SimConfig config)
    : config_(std::move(config)), controller_(config_.stations.empty() ? std::vector<int>{1}
                                                                       : config_.stations) {
    for (const Assignment& assignment : config_.assignments) {
        ControllerMemory* memory = controller_.Memory(assignment.point.station);
        if (memory != nullptr) {
            memory->SetPoint(assignment.point.type, assignment.point.index, assignment.value);
        }
    }
    traceSink_ = [](const std::string& line) {
        std::fprintf(stderr, "tz52sim: %s\n", line.c_str());
        std::fflush(stderr);
    };
}

Simulator::~Simulator() { Close(); }

// ---------------------------------------------------------------------------
// Opening the line

bool Simulator::Open(std::string* error) {
    if (!wake_.Open(error)) return false;
    const bool device = !config_.devicePath.empty();
    if (!(device ? OpenDevice(error) : OpenPseudoTerminal(error))) {
        CloseLine();
        return false;
    }
    // A real line paces itself; a pseudo-terminal is paced only on request.
    const uint32_t pacingBaud = device ? 0 : config_.baud;
    if (pacingBaud != 0) {
        characterTimeNs_ =
            static_cast<int64_t>(BitsPerCharacter(config_.format)) * 1000000000ll / pacingBaud;
    }
    if (!config_.linkPath.empty() && !MakeLink(error)) {
        CloseLine();
        return false;
    }
    return true;
}

bool Simulator::OpenPseudoTerminal(std::string* error) {
    PseudoTerminal terminal;
    if (!tz52line::OpenPseudoTerminal(&terminal, error)) return false;
    lineFd_ = terminal.controlFd;
    heldTerminalFd_ = terminal.terminalFd;
    linePath_ = terminal.path;
    portName_ = terminal.portName;
    // Without the watch the line still works; only a host that dies holding
    // it keeps it from the next one.
    closeWatchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closeWatchFd_ < 0 ||
        inotify_add_watch(closeWatchFd_, linePath_.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        Trace(SystemError("inotify", linePath_) + "; a host that dies holding the line keeps it busy");
        CloseDescriptor(&closeWatchFd_);
    }
    return true;
}

// A host takes the line for exclusive use with the terminal's lock and its
// exclusive flag (TIOCEXCL) and clears the flag before it closes. One that
// dies instead leaves the flag set: our own descriptor keeps the terminal
// open, so the kernel never clears it, and every later open but root's is
// refused (EBUSY) until the simulator restarts. So after every close of the
// terminal side, when no host holds the lock any more (the lock goes with
// the last descriptor of its holder, however that ends), the flag is cleared.
// A host that closed as it should has cleared the flag, and its lock is left
// alone, so that it can open the line again at once. (qemu-user does not
// pass TIOCGEXCL: there every close is followed by the lock test.)
void Simulator::ReleaseAbandonedLine() {
    char events[4096];
    while (read(closeWatchFd_, events, sizeof events) > 0) {
    }
    int exclusive = 1;
    if (ioctl(heldTerminalFd_, TIOCGEXCL, &exclusive) == 0 && exclusive == 0) return;
    if (flock(heldTerminalFd_, LOCK_EX | LOCK_NB) != 0) return;
    ioctl(heldTerminalFd_, TIOCNXCL);
    flock(heldTerminalFd_, LOCK_UN);
}

bool Simulator::OpenDevice(std::string* error) {
    linePath_ = config_.devicePath;
    portName_ = config_.devicePath;
    const uint32_t baud = config_.baud != 0 ? config_.baud : kDeviceDefaultBaud;
    return OpenRawDevice(linePath_, baud, config_.format, &lineFd_, error);
}

bool Simulator::MakeLink(std::string* error) {
    if (!tz52line::MakeLink(config_.linkPath, linePath_, "--link", error)) return false;
    linkMade_ = true;
    return true;
}

void Simulator::RemoveLink() {
    if (!linkMade_) return;
    linkMade_ = false;
    RemoveLinkIfOurs(config_.linkPath, linePath_);
}

void Simulator::CloseLine() {
    CloseDescriptor(&lineFd_);
    CloseDescriptor(&heldTerminalFd_);
    CloseDescriptor(&closeWatchFd_);
}

void Simulator::Close() {
    Stop();
    if (thread_.joinable()) thread_.join();
    CloseLine();
    RemoveLink();
    wake_.Close();
}

bool Simulator::Start(std::string* error) {
    if (!Open(error)) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void Simulator::Stop() { wake_.Wake(); }

// ---------------------------------------------------------------------------
// Serving

bool Simulator::WaitUntil(int64_t deadline) {
    for (;;) {
        const int64_t remaining = deadline - NowNs();
        if (remaining <= 0) return true;
        pollfd wake = {wake_.ReadFd(), POLLIN, 0};
        const timespec timeout = {static_cast<time_t>(remaining / 1000000000),
                                  static_cast<long>(remaining % 1000000000)};
        const int ready = ppoll(&wake, 1, &timeout, nullptr);
        if (ready > 0) return false;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool Simulator::Send(const Bytes& bytes, int64_t startNs) {
    // Paced: each character is handed over when its last bit would have
    // arrived, one character time after the one before; otherwise all at once.
    // The times count from when the reply was due to start, not from when the
    // wait for it ended, so a late wake-up does not push every later
    // character back: a line's clock does not slip with the scheduler.
    int64_t due = startNs + characterTimeNs_;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const size_t chunk = characterTimeNs_ > 0 ? 1 : bytes.size() - sent;
        if (characterTimeNs_ > 0 && !WaitUntil(due)) return false;
        const ssize_t written = write(lineFd_, bytes.data() + sent, chunk);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            due += characterTimeNs_;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            Trace(SystemError("write", linePath_));
            lineFailed_ = true;
            return false;
        }
        // The host is not taking bytes: wait for room or a stop request.
        pollfd fds[2] = {{lineFd_, POLLOUT, 0}, {wake_.ReadFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

bool Simulator::HandleRequest(const Request& request) {
    const uint64_t number = exchangeCount_.load() + 1;
    const Fault fault = config_.faults.FaultFor(number);
    Command command;
    Bytes reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A lost write: answered from the memory as it is, then the memory
        // put back, so that only a read-back shows the write did not stick.
        ControllerMemory* memory = controller_.Memory(request.station);
        if (fault.kind == FaultKind::kLostWrite && memory != nullptr) {
            const ControllerMemory before = *memory;
            reply = controller_.Answer(request, &command);
            *memory = before;
        } else {
            reply = controller_.Answer(request, &command);
        }
        if (log_.size() >= kLogLimit) log_.erase(log_.begin(), log_.begin() + kLogLimit / 2);
        log_.push_back({number, request.station, command.format->kind, fault});
    }
    const Transmission transmission = ApplyFault(fault, reply, number);
    exchangeCount_.store(number);

    if (config_.trace) {
        std::string line = "#" + std::to_string(number) + " station " +
                           std::to_string(request.station) + " " + DescribeCommand(command);
        uint16_t value = 0;
        if (ReplyValue(command, reply, &value)) line += " = " + std::to_string(value);
        line += " | rx " + HexBytes(request.frame);
        line += " | tx " + (transmission.bytes.empty() ? "(nothing)" : HexBytes(transmission.bytes));
        if (!transmission.stray.empty()) line += " | stray " + HexBytes(transmission.stray);
        if (fault.kind != FaultKind::kNone) line += " | fault " + DescribeFault(fault);
        Trace(line);
    }

    // The request took its wire time to arrive on a real line; the reply
    // cannot start before it has.
    int64_t replyAt = NowNs() + characterTimeNs_ * static_cast<int64_t>(request.frame.size());
    replyAt += static_cast<int64_t>(transmission.delayMs) * 1000000;
    if (!WaitUntil(replyAt)) return false;
    // Stray bytes go out in the same write as the reply, so they are waiting
    // on the line before the host can send its next request.
    Bytes onTheLine = transmission.bytes;
    onTheLine.insert(onTheLine.end(), transmission.stray.begin(), transmission.stray.end());
    if (!Send(onTheLine, replyAt)) return false;
    if (transmission.hangUp) {
        // As an unplugged adapter: the line and its name vanish at once. The
        // end is recorded first, so whoever sees the line gone sees it too.
        ended_.store(true);
        RemoveLink();
        CloseLine();
        Trace("line hung up after exchange #" + std::to_string(number));
        return false;
    }
    return true;
}

int Simulator::Serve() {
    int result = 0;
    uint8_t buffer[4096];
    for (bool serving = true; serving;) {
        // Without a watch (a device, or none to be had) its entry is -1,
        // which poll passes over.
        pollfd fds[3] = {{lineFd_, POLLIN, 0}, {wake_.ReadFd(), POLLIN, 0}, {closeWatchFd_, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            Trace(SystemError("poll", linePath_));
            result = 1;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[2].revents != 0) ReleaseAbandonedLine();
        if (fds[0].revents & POLLIN) {
            const ssize_t got = read(lineFd_, buffer, sizeof buffer);
            if (got > 0) {
                decoder_.Feed(buffer, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                Trace(got == 0 ? "line closed: " + linePath_ : SystemError("read", linePath_));
                result = 1;
                break;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            Trace("line failed: " + linePath_);
            result = 1;
            break;
        }

        Request request;
        Bytes dropped;
        std::string reason;
        for (DecodeEvent event; serving &&
                                (event = decoder_.Next(&request, &dropped, &reason)) !=
                                    DecodeEvent::kNeedMore;) {
            if (event == DecodeEvent::kRejected) {
                if (config_.trace) {
                    Trace("dropped " + std::to_string(dropped.size()) + " byte(s), " + reason +
                          ": " + HexBytes(dropped));
                }
            } else if (!controller_.Serves(request.station)) {
                if (config_.trace) {
                    Trace("station " + std::to_string(request.station) +
                          " not served, no reply | rx " + HexBytes(request.frame));
                }
            } else {
                serving = HandleRequest(request);
            }
        }
    }
    ended_.store(true);
    return lineFailed_ ? 1 : result;
}

// ---------------------------------------------------------------------------
// Trace and points

void Simulator::Trace(const std::string& line) {
    if (traceSink_) traceSink_(line);
}

void Simulator::SetTraceSink(std::function<void(const std::string&)> sink) {
    traceSink_ = std::move(sink);
}

uint16_t Simulator::GetPoint(const PointRef& point) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const ControllerMemory* memory = controller_.Memory(point.station);
    return memory == nullptr ? 0 : memory->Point(point.type, point.index);
}

void Simulator::SetPoint(const PointRef& point, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControllerMemory* memory = controller_.Memory(point.station);
    if (memory != nullptr) memory->SetPoint(point.type, point.index, value);
}

std::vector<ExchangeRecord> Simulator::Exchanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

}  // namespace tz52sim
