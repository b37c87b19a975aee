// A C read through QmxMain over a pseudo-terminal, against the floor: a bare
// program that writes the same 8 request bytes and reads the same 10 reply
// bytes on a pseudo-terminal of its own, answered by the same kind of
// responder. The two run in alternating batches in one process, so that both
// see the same machine load. What the driver adds is the ratio of the two.
//
//   tz52_bench_pty [--rounds R] [--exchanges N]
//
// Each of R rounds makes N driver exchanges, then N floor exchanges.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"

namespace {

// Station 1, C point 1, and a reply carrying 0xFFFF.
constexpr uint8_t kRequest[] = {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};
const std::vector<uint8_t> kReply = {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C};
constexpr uint16_t kReplyValue = 0xFFFF;

// One exchange of the floor: one write, then blocking reads until the whole
// reply is in. Nothing is checked, purged or timed out.
bool FloorExchange(int fd, uint8_t* reply) {
    if (write(fd, kRequest, sizeof kRequest) != static_cast<ssize_t>(sizeof kRequest)) return false;
    size_t got = 0;
    while (got < kReply.size()) {
        const ssize_t part = read(fd, reply + got, kReply.size() - got);
        if (part < 0 && errno == EINTR) continue;
        if (part <= 0) return false;
        got += static_cast<size_t>(part);
    }
    return true;
}

struct Side {
    const char* label;
    std::vector<double> latencies;  // microseconds
    double seconds = 0;             // sum of the batches' wall time
    long failures = 0;
};

void Print(const Side& side, const Summary& summary) {
    std::printf("%-8s %8zu %14.0f %12.2f %10.2f %10.2f\n", side.label, summary.count,
                static_cast<double>(summary.count) / side.seconds, summary.median, summary.p99,
                summary.mean);
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = FlagNumber(argc, argv, "--rounds", 10);
    const long exchanges = FlagNumber(argc, argv, "--exchanges", 2000);
    if (rounds < 1 || exchanges < 1) {
        std::fprintf(stderr, "tz52_bench_pty: --rounds and --exchanges must be positive\n");
        return 2;
    }

    std::string error;
    PseudoTerminal driverLine, floorLine;
    if (!OpenPseudoTerminal(&driverLine, &error) || !OpenPseudoTerminal(&floorLine, &error)) {
        std::fprintf(stderr, "tz52_bench_pty: %s\n", error.c_str());
        return 1;
    }

    PortContext context{};
    const int opened = HostOpen(&context, driverLine.name.c_str(), 100, 9600);
    if (opened != 0) {
        std::fprintf(stderr, "tz52_bench_pty: Open of %s returned %d\n", driverLine.name.c_str(), opened);
        return 1;
    }
    const int floorFd = OpenRawSlave(floorLine.path, &error);
    if (floorFd < 0) {
        std::fprintf(stderr, "tz52_bench_pty: %s\n", error.c_str());
        return 1;
    }
    // Both responders start only once their slave side is open: before that a
    // read on the master fails at once.
    Responder driverResponder(driverLine.master, sizeof kRequest, kReply);
    Responder floorResponder(floorLine.master, sizeof kRequest, kReply);

    Side driver{"driver", {}, 0, 0};
    Side floor{"floor", {}, 0, 0};
    driver.latencies.reserve(static_cast<size_t>(rounds * exchanges));
    floor.latencies.reserve(static_cast<size_t>(rounds * exchanges));

    // A short warm-up of each side: page faults, first wake-ups.
    uint16_t value = 0;
    uint8_t reply[16];
    for (int i = 0; i < 50; ++i) {
        HostRead(&context, 1, kPointC, 1, &value);
        FloorExchange(floorFd, reply);
    }

    for (long round = 0; round < rounds; ++round) {
        int64_t batchStart = NowNanoseconds();
        for (long i = 0; i < exchanges; ++i) {
            const int64_t start = NowNanoseconds();
            const int result = HostRead(&context, 1, kPointC, 1, &value);
            const int64_t end = NowNanoseconds();
            if (result != 0 || value != kReplyValue) ++driver.failures;
            driver.latencies.push_back(static_cast<double>(end - start) / 1e3);
        }
        driver.seconds += static_cast<double>(NowNanoseconds() - batchStart) / 1e9;

        batchStart = NowNanoseconds();
        for (long i = 0; i < exchanges; ++i) {
            const int64_t start = NowNanoseconds();
            const bool ok = FloorExchange(floorFd, reply);
            const int64_t end = NowNanoseconds();
            if (!ok || std::memcmp(reply, kReply.data(), kReply.size()) != 0) ++floor.failures;
            floor.latencies.push_back(static_cast<double>(end - start) / 1e3);
        }
        floor.seconds += static_cast<double>(NowNanoseconds() - batchStart) / 1e9;
    }

    HostClose(&context);
    close(floorFd);
    driverResponder.Join();
    floorResponder.Join();
    ClosePseudoTerminal(&driverLine);
    ClosePseudoTerminal(&floorLine);

    const Summary d = Summarize(driver.latencies);
    const Summary f = Summarize(floor.latencies);
    std::printf("pty round trip: C read, 8-byte request, 10-byte reply; %ld rounds of %ld each\n",
                rounds, exchanges);
    std::printf("%-8s %8s %14s %12s %10s %10s\n", "", "count", "exchanges/s", "median us",
                "p99 us", "mean us");
    Print(driver, d);
    Print(floor, f);
    std::printf("ratio driver/floor: median %.3f  p99 %.3f  mean %.3f  throughput %.3f\n",
                d.median / f.median, d.p99 / f.p99, d.mean / f.mean,
                (static_cast<double>(f.count) / floor.seconds) /
                    (static_cast<double>(d.count) / driver.seconds));
    if (driver.failures || floor.failures) {
        std::fprintf(stderr, "tz52_bench_pty: %ld driver and %ld floor exchanges failed\n",
                     driver.failures, floor.failures);
        return 1;
    }
    return 0;
}
