#include "bench/bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---- The host's side --------------------------------------------------------

namespace {

int Call(PortContext* context, DriverOp operation, void* parameters) {
    DriverRequest request{};
    request.context = context;
    request.operation = operation;
    request.parameters = parameters;
    return QmxMain(&request);
}

}  // namespace

int HostOpen(PortContext* context, const char* name, int32_t timeout, uint16_t baudRate) {
    OpenParameters open{};
    std::strncpy(open.portName, name, sizeof open.portName - 1);
    open.inUse = 1;
    open.readTimeout = timeout;
    open.baudRate = baudRate;
    open.dataBits = 8;
    open.stopBits = 0;
    open.parity = 0;
    return Call(context, kOpOpen, &open);
}

int HostClose(PortContext* context) { return Call(context, kOpClose, nullptr); }

int HostRead(PortContext* context, int32_t station, int32_t type, int32_t index, uint16_t* value) {
    uint8_t buffer[4] = {};
    PointIo io{};
    io.station = station;
    io.pointType = type;
    io.pointIndex = index;
    io.valueBuffer = buffer;
    const int result = Call(context, kOpReadPoint, &io);
    *value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    return result;
}

int HostWrite(PortContext* context, int32_t station, int32_t type, int32_t index, uint16_t value) {
    uint8_t buffer[4] = {0, 0, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    PointIo io{};
    io.station = station;
    io.pointType = type;
    io.pointIndex = index;
    io.valueBuffer = buffer;
    return Call(context, kOpWritePoint, &io);
}

// ---- Pseudo-terminals -------------------------------------------------------

bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        *error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char path[64];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
        *error = std::string("grantpt/unlockpt/ptsname_r: ") + std::strerror(errno);
        close(master);
        return false;
    }
    terminal->master = master;
    terminal->path = path;
    terminal->name = terminal->path.substr(std::strlen("/dev/"));
    return true;
}

void ClosePseudoTerminal(PseudoTerminal* terminal) {
    if (terminal->master >= 0) close(terminal->master);
    terminal->master = -1;
}

int OpenRawSlave(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = "open " + path + ": " + std::strerror(errno);
        return -1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        *error = std::string("tcgetattr: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = std::string("tcsetattr: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

Responder::Responder(int master, uint32_t requestLength, std::vector<uint8_t> reply)
    : master_(master), requestLength_(requestLength), reply_(std::move(reply)) {
    thread_ = std::thread([this] { Run(); });
}

Responder::~Responder() { Join(); }

void Responder::Join() {
    if (thread_.joinable()) thread_.join();
}

void Responder::Run() {
    uint8_t buffer[256];
    uint32_t pending = 0;
    for (;;) {
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        // EIO: the slave side has closed; the run is over.
        if (got <= 0) return;
        if (reply_.empty()) continue;
        pending += static_cast<uint32_t>(got);
        while (pending >= requestLength_) {
            pending -= requestLength_;
            requests_.fetch_add(1);
            size_t sent = 0;
            while (sent < reply_.size()) {
                const ssize_t put = write(master_, reply_.data() + sent, reply_.size() - sent);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) return;
                sent += static_cast<size_t>(put);
            }
        }
    }
}

// ---- Loopback ---------------------------------------------------------------

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// ---- Time and statistics ----------------------------------------------------

int64_t NowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

Summary Summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    double sum = 0;
    for (double sample : samples) sum += sample;
    summary.mean = sum / static_cast<double>(n);
    summary.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Nearest rank: the smallest sample with at least 99 % at or below it.
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = samples[std::max<size_t>(rank, 1) - 1];
    summary.min = samples.front();
    summary.max = samples.back();
    double squares = 0;
    for (double sample : samples) squares += (sample - summary.mean) * (sample - summary.mean);
    summary.stddev = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0;
    return summary;
}

// ---- Command line -----------------------------------------------------------

std::string FlagText(int argc, char** argv, const char* flag, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0) return argv[i + 1];
    return fallback;
}

long FlagNumber(int argc, char** argv, const char* flag, long fallback) {
    const std::string text = FlagText(argc, argv, flag, "");
    return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
}

std::vector<long> FlagNumbers(int argc, char** argv, const char* flag) {
    std::vector<long> values;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0) values.push_back(std::strtol(argv[i + 1], nullptr, 10));
    return values;
}
