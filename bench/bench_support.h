// What the measurements over a real line share: the host's side of the
// driver calls, pseudo-terminals with a responder on the master side, a
// monotonic clock, statistics and the command-line flags.
#ifndef TZ52DRV_BENCH_BENCH_SUPPORT_H
#define TZ52DRV_BENCH_BENCH_SUPPORT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_api.h"

// ---- The host's side --------------------------------------------------------
// Each returns the driver's result. `name` is the port name as the host gives
// it (at most 11 characters); `timeout` is in units of 10 ms.
int HostOpen(PortContext* context, const char* name, int32_t timeout, uint16_t baudRate);
int HostClose(PortContext* context);
int HostRead(PortContext* context, int32_t station, int32_t type, int32_t index, uint16_t* value);
int HostWrite(PortContext* context, int32_t station, int32_t type, int32_t index, uint16_t value);

// ---- Pseudo-terminals -------------------------------------------------------
struct PseudoTerminal {
    int master = -1;
    std::string path;  // "/dev/pts/N"
    std::string name;  // "pts/N", the port name the driver takes
};

// Opens a new pseudo-terminal. Returns false with a message naming the failed
// call.
bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error);
void ClosePseudoTerminal(PseudoTerminal* terminal);

// Opens the slave side raw and blocking (VMIN 1, VTIME 0): what the floor
// program uses. Returns the descriptor, or -1 with a message.
int OpenRawSlave(const std::string& path, std::string* error);

// A thread on the master side. For every `requestLength` bytes it reads it
// writes `reply`; with an empty reply it reads and drops everything (a
// station that never answers). It ends when the slave side closes for good.
class Responder {
public:
    Responder(int master, uint32_t requestLength, std::vector<uint8_t> reply);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    // Waits for the thread; call after the slave side has closed.
    void Join();
    uint64_t requests() const { return requests_.load(); }

private:
    void Run();
    int master_;
    uint32_t requestLength_;
    std::vector<uint8_t> reply_;
    std::atomic<uint64_t> requests_{0};
    std::thread thread_;
};

// ---- Loopback ---------------------------------------------------------------
// A TCP port on 127.0.0.1 that was free a moment ago, or 0.
int FreeLoopbackPort();

// ---- Time and statistics ----------------------------------------------------
// Monotonic time in nanoseconds.
int64_t NowNanoseconds();

struct Summary {
    size_t count = 0;
    double mean = 0, median = 0, p99 = 0, min = 0, max = 0, stddev = 0;
};
Summary Summarize(std::vector<double> samples);

// ---- Command line -----------------------------------------------------------
// The value after `flag`, or `fallback`; every occurrence for the list form.
long FlagNumber(int argc, char** argv, const char* flag, long fallback);
std::string FlagText(int argc, char** argv, const char* flag, const std::string& fallback);
std::vector<long> FlagNumbers(int argc, char** argv, const char* flag);

#endif  // TZ52DRV_BENCH_BENCH_SUPPORT_H
