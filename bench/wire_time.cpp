// Reads of every type and the writes, against the simulator at a given baud
// rate, next to the time their frames take on the wire: 10 bit times per
// byte at 8N1 (start bit, 8 data bits, stop bit), request and reply together.
// The simulator paces its line like a real one, so the ratio shows what the
// driver adds to the wire time.
//
//   tz52_bench_wire [--sim PATH] [--baud B]... [--ops N]
//
// Without --baud it measures 9600 and 115200 baud; N operations of each kind.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

struct Operation {
    const char* label;
    bool write;
    int32_t type;
    int32_t index;
    uint32_t wireBytes;  // every request and reply frame of the command
};

// Frame lengths: request 2n + 4 for n payload bytes, reply 2m + 4 for m data
// bytes; the S write makes two exchanges.
constexpr Operation kOperations[] = {
    {"read A", false, kPointA, 9, 8 + 8},
    {"read B", false, kPointB, 1, 8 + 6},
    {"read C", false, kPointC, 1, 8 + 10},
    {"read M", false, kPointM, 100, 8 + 10},
    {"read O", false, kPointO, 1, 8 + 6},
    {"read S", false, kPointS, 1, 12 + 10},
    {"write C", true, kPointC, 1, 14 + 4},
    {"write M", true, kPointM, 100, 14 + 4},
    {"write O", true, kPointO, 1, 8 + 4},
    {"write S", true, kPointS, 1, 2 * (14 + 6)},
};

constexpr long kHighestDriverBaud = 57600;

struct Simulator {
    pid_t pid = -1;
    FILE* output = nullptr;
    std::string port;
};

// Starts the simulator with one station at `baud` and reads the port it
// announces on its first line.
bool StartSimulator(const std::string& path, long baud, Simulator* sim, std::string* error) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string baudText = std::to_string(baud);
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl(path.c_str(), path.c_str(), "--station", "1", "--baud", baudText.c_str(),
              static_cast<char*>(nullptr));
        std::fprintf(stderr, "exec %s: %s\n", path.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    sim->pid = pid;
    sim->output = fdopen(pipeFds[0], "r");
    char line[256];
    if (sim->output == nullptr || std::fgets(line, sizeof line, sim->output) == nullptr ||
        std::strncmp(line, "port ", 5) != 0) {
        *error = "the simulator announced no port";
        return false;
    }
    sim->port = line + 5;
    while (!sim->port.empty() && (sim->port.back() == '\n' || sim->port.back() == '\r'))
        sim->port.pop_back();
    return true;
}

void StopSimulator(Simulator* sim) {
    if (sim->pid > 0) {
        kill(sim->pid, SIGTERM);
        waitpid(sim->pid, nullptr, 0);
    }
    if (sim->output) std::fclose(sim->output);
    *sim = Simulator{};
}

// The floor on the same paced line: a bare program that writes the 8 bytes of
// a C read and reads the 10 reply bytes, with nothing checked. Returns the
// milliseconds of each exchange, or nothing when the port cannot be opened.
std::vector<double> FloorCReads(const std::string& port, long count) {
    constexpr uint8_t kRequest[] = {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60};
    constexpr size_t kReplyLength = 10;
    std::vector<double> times;
    std::string error;
    const int fd = OpenRawSlave("/dev/" + port, &error);
    if (fd < 0) {
        std::fprintf(stderr, "tz52_bench_wire: floor: %s\n", error.c_str());
        return times;
    }
    for (long i = 0; i < count; ++i) {
        uint8_t reply[kReplyLength];
        const int64_t start = NowNanoseconds();
        if (write(fd, kRequest, sizeof kRequest) != static_cast<ssize_t>(sizeof kRequest)) break;
        size_t got = 0;
        while (got < kReplyLength) {
            // The simulator never fails to answer, but a lost byte must not
            // hang the run: give up after a second of silence.
            pollfd watch = {fd, POLLIN, 0};
            if (poll(&watch, 1, 1000) <= 0) break;
            const ssize_t part = read(fd, reply + got, kReplyLength - got);
            if (part <= 0) break;
            got += static_cast<size_t>(part);
        }
        if (got != kReplyLength) break;
        times.push_back(static_cast<double>(NowNanoseconds() - start) / 1e6);
    }
    close(fd);
    return times;
}

// Runs every operation `count` times at one baud rate. Returns the number of
// operations that failed.
long MeasureAtBaud(const std::string& simPath, long baud, long count) {
    Simulator sim;
    std::string error;
    if (!StartSimulator(simPath, baud, &sim, &error)) {
        std::fprintf(stderr, "tz52_bench_wire: %s\n", error.c_str());
        StopSimulator(&sim);
        return 1;
    }
    // The host's baud-rate field has 16 bits, so the driver cannot be asked
    // for more than 65535. A pseudo-terminal carries no rate of its own: the
    // simulator's pacing alone sets the line speed, and above 65535 the
    // driver is opened at the highest standard rate it can name.
    const uint16_t driverBaud = static_cast<uint16_t>(baud <= 65535 ? baud : kHighestDriverBaud);
    PortContext context{};
    const int opened = HostOpen(&context, sim.port.c_str(), 100, driverBaud);
    if (opened != 0) {
        std::fprintf(stderr, "tz52_bench_wire: Open of %s returned %d\n", sim.port.c_str(), opened);
        StopSimulator(&sim);
        return 1;
    }

    std::printf("wire time at %ld baud (simulator; driver opened at %u), 8N1 (10 bits per byte), "
                "%ld of each\n", baud, driverBaud, count);
    std::printf("%-8s %6s %10s %10s %10s %10s %8s\n", "", "bytes", "wire ms", "median ms", "min ms",
                "max ms", "ratio");
    long failures = 0;
    double driverCReadMedian = 0;
    for (const Operation& op : kOperations) {
        std::vector<double> times;
        for (long i = 0; i < count; ++i) {
            uint16_t value = 0;
            const int64_t start = NowNanoseconds();
            const int result = op.write ? HostWrite(&context, 1, op.type, op.index, 0x1234)
                                        : HostRead(&context, 1, op.type, op.index, &value);
            const int64_t end = NowNanoseconds();
            if (result != 0) {
                ++failures;
                continue;
            }
            times.push_back(static_cast<double>(end - start) / 1e6);
        }
        const double wireMs = 1e3 * 10.0 * op.wireBytes / static_cast<double>(baud);
        const Summary s = Summarize(times);
        std::printf("%-8s %6u %10.3f %10.3f %10.3f %10.3f %8.3f\n", op.label, op.wireBytes, wireMs,
                    s.median, s.min, s.max, s.count ? s.median / wireMs : 0.0);
        if (!op.write && op.type == kPointC) driverCReadMedian = s.median;
    }
    HostClose(&context);

    const std::vector<double> floorTimes = FloorCReads(sim.port, count);
    if (floorTimes.size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "tz52_bench_wire: the floor's C reads failed\n");
        ++failures;
    } else {
        const double wireMs = 1e3 * 10.0 * 18 / static_cast<double>(baud);
        const Summary s = Summarize(floorTimes);
        std::printf("%-8s %6u %10.3f %10.3f %10.3f %10.3f %8.3f\n", "floor C", 18u, wireMs,
                    s.median, s.min, s.max, s.median / wireMs);
        std::printf("read C driver/floor (medians): %.4f\n", driverCReadMedian / s.median);
    }
    StopSimulator(&sim);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TZ52SIM_PATH
    const std::string simPath = FlagText(argc, argv, "--sim", TZ52SIM_PATH);
#else
    const std::string simPath = FlagText(argc, argv, "--sim", "");
#endif
    if (simPath.empty()) {
        std::fprintf(stderr, "tz52_bench_wire: name the simulator with --sim PATH\n");
        return 2;
    }
    std::vector<long> bauds = FlagNumbers(argc, argv, "--baud");
    if (bauds.empty()) bauds = {9600, 115200};
    const long count = FlagNumber(argc, argv, "--ops", 20);
    if (count < 1) {
        std::fprintf(stderr, "tz52_bench_wire: --ops must be positive\n");
        return 2;
    }
    // A simulator that dies must not take this program with it on a write.
    signal(SIGPIPE, SIG_IGN);

    long failures = 0;
    for (long baud : bauds) {
        if (baud < 1) {
            std::fprintf(stderr, "tz52_bench_wire: baud %ld is not a rate\n", baud);
            return 2;
        }
        failures += MeasureAtBaud(simPath, baud, count);
    }
    if (failures) {
        std::fprintf(stderr, "tz52_bench_wire: %ld operations failed\n", failures);
        return 1;
    }
    return 0;
}
