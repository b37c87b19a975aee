// The simulator at work on a line: a pseudo-terminal it creates (or a serial
// device it is given), the stream of requests read from it, the answers, the
// faults and the pacing written back, and a trace of every exchange.
//
// The tests run it in-process on a thread (Start, Stop); the tz52sim program
// runs it on its main thread (Open, Serve) and stops it from a signal.
#ifndef TZ52SIM_SIM_SERVER_H
#define TZ52SIM_SIM_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/posix/wake_pipe.h"
#include "tools/tz52sim/sim_controller.h"
#include "tools/tz52sim/sim_faults.h"
#include "tools/tz52sim/sim_options.h"

namespace tz52sim {

// One answered (or deliberately unanswered) request.
struct ExchangeRecord {
    uint64_t number = 0;
    int station = 0;
    CommandKind kind = CommandKind::kReadAnalog;
    Fault fault;
};

class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the line and applies the starting values. A pseudo-terminal is
    // made raw, and the simulator keeps its own descriptor of the terminal
    // side open so that the line stays up while no host has it open, and
    // clears the exclusive flag a host that died holding the line left
    // (a host that closes the line clears it itself). With a
    // link path, the symlink is made (or moved) to point at the terminal.
    bool Open(std::string* error);

    // Answers requests until Stop, a hangup fault or a failure of the line.
    // Returns 0 after Stop or a hangup, 1 when the line failed.
    int Serve();

    // Open, then Serve on a thread of its own.
    bool Start(std::string* error);

    // Asks Serve to return. Safe from a signal handler and from any thread.
    void Stop();

    // Stops, waits for the serving thread, closes the line and removes the
    // link if it still points at this simulator's terminal.
    void Close();

    // What a host names the port: "pts/5" for /dev/pts/5, or the device path.
    const std::string& PortName() const { return portName_; }
    // The full path of the terminal side or the device.
    const std::string& LinePath() const { return linePath_; }

    // Reading and setting points while serving (for tests and tools).
    uint16_t GetPoint(const PointRef& point) const;
    void SetPoint(const PointRef& point, uint16_t value);

    uint64_t ExchangeCount() const { return exchangeCount_.load(); }
    // The most recent exchanges, oldest first.
    std::vector<ExchangeRecord> Exchanges() const;
    // True once Serve has returned.
    bool Ended() const { return ended_.load(); }

    // Where trace lines go (one line each, no newline); stderr by default.
    void SetTraceSink(std::function<void(const std::string&)> sink);

private:
    bool OpenPseudoTerminal(std::string* error);
    bool OpenDevice(std::string* error);
    bool MakeLink(std::string* error);
    void RemoveLink();
    void CloseLine();
    // After a close of the terminal side: clears the exclusive flag that a
    // host which died holding the line left behind.
    void ReleaseAbandonedLine();

    // Waits until `deadline` (steady clock, ns) or a stop request; false when
    // stopped.
    bool WaitUntil(int64_t deadline);
    // Writes bytes, paced at the line rate from startNs when pacing; false when the line
    // failed or a stop was requested.
    bool Send(const Bytes& bytes, int64_t startNs);
    // One request for a served station; false when the line is to end.
    bool HandleRequest(const Request& request);
    void Trace(const std::string& line);

    SimConfig config_;
    Controller controller_;
    RequestDecoder decoder_;
    mutable std::mutex mutex_;  // the controller's memory and the exchange log
    std::vector<ExchangeRecord> log_;
    std::atomic<uint64_t> exchangeCount_{0};
    std::atomic<bool> ended_{false};
    std::function<void(const std::string&)> traceSink_;

    int lineFd_ = -1;
    int heldTerminalFd_ = -1;  // our own descriptor of the pseudo-terminal's slave
    int closeWatchFd_ = -1;    // inotify: every close of the pseudo-terminal's slave
    tz52line::WakePipe wake_;  // Stop's way into poll()
    int64_t characterTimeNs_ = 0;  // 0: no pacing
    std::string portName_;
    std::string linePath_;
    bool linkMade_ = false;
    bool lineFailed_ = false;
    std::thread thread_;
};

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_SERVER_H
