// A C read through QmxMain over a pseudo-terminal, against the floor: a bare
// program that writes the same 8 request bytes and reads the same 10 reply
// bytes on a pseudo-terminal of its own, answered by the same kind of
// responder. Every side runs in alternating batches in one process, so that
// all see the same machine load. What the driver adds is the ratio of the
// driver's figures to the floor's.
//
// Three more bare programs add, one at a time, the system calls the driver's
// exchange makes, to show where the difference goes: a poll before each read
// (how a read waits under a time limit), the count of waiting input before
// each request (the purge), and a read that finds nothing before the first
// poll.
//
//   tz52_bench_pty [--rounds R] [--exchanges N]
//
// Each of R rounds (100) makes N exchanges (200) on every side in turn; short
// batches keep the sides comparable while the machine's load changes.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_support.h"

namespace {

// Station 1, C point 1, and a reply carrying 0xFFFF.
constexpr uint8_t kRequest[] = {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};
const std::vector<uint8_t> kReply = {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C};
constexpr uint16_t kReplyValue = 0xFFFF;

// Which of the driver's system calls a bare exchange makes besides its write
// and its reads.
struct BareCalls {
    bool pollBeforeRead;  // wait in poll, as a read under a time limit must
    bool countWaiting;    // TIOCINQ before the write, as the purge does
    bool readFirst;       // a read before the first poll, which finds nothing
};

bool BareExchange(int fd, const BareCalls& calls, uint8_t* reply) {
    if (calls.countWaiting) {
        int waiting = 0;
        if (ioctl(fd, TIOCINQ, &waiting) != 0) return false;
    }
    if (write(fd, kRequest, sizeof kRequest) != static_cast<ssize_t>(sizeof kRequest)) return false;
    size_t got = 0;
    bool mayRead = calls.readFirst || !calls.pollBeforeRead;
    while (got < kReply.size()) {
        if (!mayRead) {
            pollfd watch = {fd, POLLIN, 0};
            if (poll(&watch, 1, 1000) <= 0) return false;
        }
        const ssize_t part = read(fd, reply + got, kReply.size() - got);
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) return false;
        if (part == 0 && !calls.pollBeforeRead) return false;
        got += static_cast<size_t>(part);
        mayRead = false;
    }
    return true;
}

struct Side {
    const char* label;
    std::vector<double> latencies;  // microseconds
    double seconds = 0;             // sum of the batches' wall time
    long failures = 0;
    // Bare sides: the descriptor and its calls. The driver side: a port.
    int fd = -1;
    BareCalls calls{};
    PortContext context{};
    PseudoTerminal line;
    std::unique_ptr<Responder> responder;

    bool isDriver() const { return fd < 0; }

    bool Exchange() {
        if (isDriver()) {
            uint16_t value = 0;
            return HostRead(&context, 1, kPointC, 1, &value) == 0 && value == kReplyValue;
        }
        uint8_t reply[16];
        return BareExchange(fd, calls, reply) && std::memcmp(reply, kReply.data(), kReply.size()) == 0;
    }
};

// Opens the slave side of a bare program. The floor reads blocking (VMIN 1);
// the others keep the descriptor non-blocking with VMIN = VTIME = 0, as the
// driver does, so that a read with nothing waiting returns at once.
int OpenBareSlave(const std::string& path, bool blocking, std::string* error) {
    const int fd = OpenRawSlave(path, error);
    if (fd < 0 || blocking) return fd;
    termios settings{};
    tcgetattr(fd, &settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        *error = std::string("tcsetattr/fcntl: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = FlagNumber(argc, argv, "--rounds", 100);
    const long exchanges = FlagNumber(argc, argv, "--exchanges", 200);
    if (rounds < 1 || exchanges < 1) {
        std::fprintf(stderr, "tz52_bench_pty: --rounds and --exchanges must be positive\n");
        return 2;
    }

    // The driver first, the floor second; the rest break the difference down.
    std::vector<std::unique_ptr<Side>> sides;
    auto add = [&](const char* label, bool driver, BareCalls calls) {
        auto side = std::make_unique<Side>();
        side->label = label;
        side->calls = calls;
        side->fd = driver ? -1 : -2;  // opened below
        sides.push_back(std::move(side));
    };
    add("driver", true, {});
    add("floor", false, {false, false, false});
    add("+poll", false, {true, false, false});
    add("+inq", false, {true, true, false});
    add("+read0", false, {true, true, true});

    std::string error;
    for (auto& side : sides) {
        if (!OpenPseudoTerminal(&side->line, &error)) {
            std::fprintf(stderr, "tz52_bench_pty: %s\n", error.c_str());
            return 1;
        }
        if (side->isDriver()) {
            const int opened = HostOpen(&side->context, side->line.name.c_str(), 100, 9600);
            if (opened != 0) {
                std::fprintf(stderr, "tz52_bench_pty: Open of %s returned %d\n",
                             side->line.name.c_str(), opened);
                return 1;
            }
        } else {
            const bool blocking = !side->calls.pollBeforeRead;
            side->fd = OpenBareSlave(side->line.path, blocking, &error);
            if (side->fd < 0) {
                std::fprintf(stderr, "tz52_bench_pty: %s\n", error.c_str());
                return 1;
            }
        }
        // The responder starts only once the slave side is open: before that
        // a read on the master fails at once.
        side->responder = std::make_unique<Responder>(side->line.master, sizeof kRequest, kReply);
        side->latencies.reserve(static_cast<size_t>(rounds * exchanges));
    }

    // A short warm-up of each side: page faults, first wake-ups.
    for (auto& side : sides)
        for (int i = 0; i < 50; ++i) side->Exchange();

    for (long round = 0; round < rounds; ++round) {
        for (auto& side : sides) {
            const int64_t batchStart = NowNanoseconds();
            for (long i = 0; i < exchanges; ++i) {
                const int64_t start = NowNanoseconds();
                const bool ok = side->Exchange();
                const int64_t end = NowNanoseconds();
                if (!ok) ++side->failures;
                side->latencies.push_back(static_cast<double>(end - start) / 1e3);
            }
            side->seconds += static_cast<double>(NowNanoseconds() - batchStart) / 1e9;
        }
    }

    long failures = 0;
    for (auto& side : sides) {
        if (side->isDriver()) {
            HostClose(&side->context);
        } else {
            close(side->fd);
        }
        side->responder->Join();
        ClosePseudoTerminal(&side->line);
        failures += side->failures;
    }

    std::printf("pty round trip: C read, 8-byte request, 10-byte reply; %ld rounds of %ld each\n",
                rounds, exchanges);
    std::printf("%-8s %8s %12s %10s %10s %10s %8s %8s\n", "", "count", "exchanges/s", "median us",
                "p99 us", "mean us", "median", "p99");
    std::printf("%-8s %8s %12s %10s %10s %10s %8s %8s\n", "", "", "", "", "", "", "/floor", "/floor");
    const Summary floor = Summarize(sides[1]->latencies);
    for (auto& side : sides) {
        const Summary s = Summarize(side->latencies);
        std::printf("%-8s %8zu %12.0f %10.2f %10.2f %10.2f %8.3f %8.3f\n", side->label, s.count,
                    static_cast<double>(s.count) / side->seconds, s.median, s.p99, s.mean,
                    s.median / floor.median, s.p99 / floor.p99);
    }
    if (failures) {
        std::fprintf(stderr, "tz52_bench_pty: %ld exchanges failed\n", failures);
        return 1;
    }
    return 0;
}
