// The relay of tz52 monitor on POSIX: a thread that passes every byte from
// the host's pseudo-terminal to the controller's device and back, as soon as
// it is read and unchanged, and queues a timed copy of each piece for
// whoever decodes them. The benchmark and the tests run it in-process.
#ifndef TZ52_TOOLS_TZ52_MONITOR_RELAY_POSIX_H
#define TZ52_TOOLS_TZ52_MONITOR_RELAY_POSIX_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/posix/line_ports.h"
#include "tools/common/posix/wake_pipe.h"
#include "tools/tz52/monitor/exchanges.h"

namespace tz52monitor {

class Relay {
public:
    Relay();
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Opens the device raw at the given settings and creates the host's
    // pseudo-terminal (and the link to it). False with the reason otherwise.
    bool Open(const std::string& devicePath, uint32_t baud, const tz52line::LineFormat& format,
              const std::string& linkPath, std::string* error);
    // Relays on a thread of its own from now on; times count from here.
    void Start();
    // Asks the relay to end; safe from any thread.
    void Stop();
    // Stops, waits for the thread, closes both sides, removes the link.
    void Close();

    // Waits up to `timeoutMs` for pieces and takes all that are queued.
    // *quietSinceUs is a time up to which every piece read has been taken.
    // False once the relay has ended and nothing is left.
    bool Take(std::vector<Piece>* pieces, int timeoutMs, int64_t* quietSinceUs);

    // Microseconds since Start.
    int64_t NowUs() const;
    // "pts/5", as a host names the port, and "/dev/pts/5".
    const std::string& PortName() const { return terminal_.portName; }
    const std::string& PortPath() const { return terminal_.path; }
    // Why the relay ended by itself (a side closed or failed); empty after Stop.
    std::string Failure() const;
    // Bytes relayed but not queued, because the queue was full.
    uint64_t BytesNotQueued() const;

private:
    void Loop();
    void Queue(Side side, const uint8_t* data, size_t count);
    void End(const std::string& failure);
    bool Flush(int fd, Bytes* backlog, const std::string& name);

    std::chrono::steady_clock::time_point start_;
    tz52line::PseudoTerminal terminal_;
    int deviceFd_ = -1;
    std::string devicePath_;
    std::string linkPath_;
    tz52line::WakePipe wake_;  // Stop's way into the relay's poll()
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::deque<Piece> queue_;
    size_t queuedBytes_ = 0;
    bool ended_ = false;
    std::string failure_;
    std::atomic<uint64_t> bytesNotQueued_{0};
};

}  // namespace tz52monitor

#endif  // TZ52_TOOLS_TZ52_MONITOR_RELAY_POSIX_H
