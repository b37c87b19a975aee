// How long tz52 monitor's relay holds a byte: the time from a write on one
// side until the bytes can be read on the other, through the monitor (host
// pseudo-terminal -> relay -> device pseudo-terminal, and back), against the
// floor: the same write and read on one pseudo-terminal with no monitor.
// The monitor runs as tz52 monitor runs it: the relay on its thread, and the
// decoding of every piece on another, its output thrown away.
//
//   tz52_bench_monitor [--rounds R] [--exchanges N]
//
// Each of R rounds (50) sends N requests (100) and their replies through the
// monitor, then as many on the floor, so both see the same machine load.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "tools/tz52/monitor/monitor.h"
#include "tools/tz52/monitor/relay_posix.h"

namespace {

// Station 1, C point 1, and its reply.
const std::vector<uint8_t> kRequest = {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};
const std::vector<uint8_t> kReply = {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C};

// Writes `bytes` on `from` and reads them whole on `to`; the microseconds
// between, or a negative number when the line failed.
double OneWay(int from, int to, const std::vector<uint8_t>& bytes) {
    const int64_t start = NowNanoseconds();
    if (write(from, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
    std::vector<uint8_t> got(bytes.size());
    size_t have = 0;
    while (have < bytes.size()) {
        pollfd watch = {to, POLLIN, 0};
        if (poll(&watch, 1, 1000) <= 0) return -1;
        const ssize_t part = read(to, got.data() + have, got.size() - have);
        if (part <= 0) return -1;
        have += static_cast<size_t>(part);
    }
    if (got != bytes) return -1;
    return static_cast<double>(NowNanoseconds() - start) / 1000.0;
}

void Print(const char* label, const std::vector<double>& samples) {
    const Summary s = Summarize(samples);
    std::printf("%-34s %7zu %9.1f %9.1f %9.1f %9.1f\n", label, s.count, s.median, s.p99, s.max, s.mean);
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = FlagNumber(argc, argv, "--rounds", 50);
    const long exchanges = FlagNumber(argc, argv, "--exchanges", 100);
    std::string error;

    PseudoTerminal device, floor;
    if (!OpenPseudoTerminal(&device, &error) || !OpenPseudoTerminal(&floor, &error)) {
        std::fprintf(stderr, "tz52_bench_monitor: %s\n", error.c_str());
        return 1;
    }
    tz52monitor::Relay relay;
    if (!relay.Open(device.path, 9600, tz52line::LineFormat{}, "", &error)) {
        std::fprintf(stderr, "tz52_bench_monitor: %s\n", error.c_str());
        return 1;
    }
    relay.Start();
    std::atomic<bool> stop{false};
    FILE* discard = std::fopen("/dev/null", "w");
    std::thread decoder([&] {
        tz52monitor::MonitorSession session(tz52monitor::DisplayOptions{}, 40, discard);
        std::vector<tz52monitor::Piece> pieces;
        int64_t quietSinceUs = 0;
        while (!stop.load() && relay.Take(&pieces, 10, &quietSinceUs)) {
            for (const tz52monitor::Piece& piece : pieces) session.Add(piece, relay.NowUs() - piece.timeUs);
            if (pieces.empty()) session.AdvanceTo(quietSinceUs);
        }
        session.Finish();
    });
    const int host = OpenRawSlave(relay.PortPath(), &error);
    const int floorHost = host >= 0 ? OpenRawSlave(floor.path, &error) : -1;
    if (host < 0 || floorHost < 0) {
        std::fprintf(stderr, "tz52_bench_monitor: %s\n", error.c_str());
        return 1;
    }

    std::vector<double> toDevice, toHost, floorToDevice, floorToHost;
    bool failed = false;
    for (long round = 0; round < rounds && !failed; ++round) {
        for (long i = 0; i < exchanges && !failed; ++i) {
            const double request = OneWay(host, device.master, kRequest);
            const double reply = OneWay(device.master, host, kReply);
            failed = request < 0 || reply < 0;
            toDevice.push_back(request);
            toHost.push_back(reply);
        }
        for (long i = 0; i < exchanges && !failed; ++i) {
            const double request = OneWay(floorHost, floor.master, kRequest);
            const double reply = OneWay(floor.master, floorHost, kReply);
            failed = request < 0 || reply < 0;
            floorToDevice.push_back(request);
            floorToHost.push_back(reply);
        }
    }
    stop.store(true);
    relay.Stop();
    decoder.join();
    relay.Close();
    close(host);
    close(floorHost);
    ClosePseudoTerminal(&device);
    ClosePseudoTerminal(&floor);
    std::fclose(discard);
    if (failed) {
        std::fprintf(stderr, "tz52_bench_monitor: a write or read failed, or bytes came back changed\n");
        return 1;
    }
    std::printf("one-way delay in microseconds        count    median       p99       max      mean\n");
    Print("through the monitor, host -> device", toDevice);
    Print("through the monitor, device -> host", toHost);
    Print("one pseudo-terminal, host -> device", floorToDevice);
    Print("one pseudo-terminal, device -> host", floorToHost);
    const double added = (Summarize(toDevice).median + Summarize(toHost).median -
                          Summarize(floorToDevice).median - Summarize(floorToHost).median) / 2;
    std::printf("the monitor adds %.1f us to the median one-way delay\n", added);
    return 0;
}
