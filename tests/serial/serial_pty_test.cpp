// The serial routines over real devices: pseudo-terminals stand in for
// serial lines, the test playing the far end on the master side while the
// backend opens the slave by name. Timing bounds are one-sided where it
// matters (a limit never ends early) and generous on the late side.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "serial/serial_posix_line.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr LineSettings k9600 = {9600, 8, 0, 0};
constexpr uint16_t kOpenOptions = 8;
// How late a wait may end before the test calls it wrong: the machine is shared.
constexpr long kLateMarginMs = 400;

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

SerialHandle InvalidHandle() { return reinterpret_cast<SerialHandle>(kInvalidSerialHandleValue); }

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

Bytes Pattern(size_t count, uint8_t first = 1) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
}

// One pseudo-terminal pair; the backend opens the slave by its name under
// /dev/ ("pts/N"). Nothing else holds the slave unless a test asks for an
// observer descriptor, which it opens before the backend does.
class PtyPair {
public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char path[64];
        if (ptsname_r(master_, path, sizeof path) != 0) return;
        path_ = path;
    }
    ~PtyPair() {
        if (observer_ >= 0) close(observer_);
        CloseMaster();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && path_.rfind("/dev/", 0) == 0; }
    std::string name() const { return path_.substr(5); }
    const std::string& path() const { return path_; }

    // A second slave descriptor through which the test sees what the backend
    // did to the device (its settings, its input queue, its exclusive flag).
    int Observer() {
        if (observer_ < 0) observer_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return observer_;
    }

    void Send(const Bytes& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
            ASSERT_GT(n, 0) << "write to the pty master: " << std::strerror(errno);
            sent += static_cast<size_t>(n);
        }
    }

    // What the backend wrote, waiting up to two seconds for `count` bytes.
    Bytes Receive(size_t count) {
        Bytes got;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
            uint8_t buffer[4096];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Waits until the slave's input queue holds `count` bytes (pty delivery
    // runs on a kernel worker, a moment after the master's write returns).
    bool WaitForInput(int count) {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
        int waiting = -1;
        while (Clock::now() < deadline) {
            if (ioctl(Observer(), TIOCINQ, &waiting) == 0 && waiting >= count) return waiting == count;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int observer_ = -1;
    std::string path_;
};

// A pty with the backend's port open on it, closed again at the end.
class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "no pseudo-terminal: " << std::strerror(errno);
    }
    void TearDown() override {
        if (handle != nullptr && handle != InvalidHandle()) CloseSerialPort(handle);
    }
    void Open(LineSettings line = k9600, uint16_t options = kOpenOptions) {
        ASSERT_EQ(OpenSerialPort(pty.name().c_str(), &line, options, &handle), 0) << pty.name();
        ASSERT_NE(handle, nullptr);
        ASSERT_NE(handle, InvalidHandle());
    }

    PtyPair pty;
    SerialHandle handle = nullptr;
};

// ---------------------------------------------------------------------------
// Opening: names, the null device, missing devices, exclusive use, settings
// ---------------------------------------------------------------------------

TEST(OpenByName, NullDeviceOnlyUnderTheExactName) {
    const struct {
        const char* name;
        int result;
    } cases[] = {{"NUL", 0}, {"nul", 4}, {"Nul", 4}, {"nUL", 4}, {"/dev/null", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int descriptors = OpenDescriptorCount();
        SerialHandle handle = nullptr;
        ASSERT_EQ(OpenSerialPort(c.name, &k9600, kOpenOptions, &handle), c.result);
        if (c.result != 0) {
            // The device was opened and closed again: nothing left behind.
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
            continue;
        }
        ASSERT_NE(handle, nullptr);
        ASSERT_NE(handle, InvalidHandle());
        uint32_t written = 0;
        EXPECT_EQ(WriteSerialPort(handle, "fourteen bytes", 14, &written), 0);
        EXPECT_EQ(written, 14u);
        // No input, and no wait for it: the null device ends a read at once.
        uint8_t byte = 0;
        uint32_t got = 99;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(ReadSerialExact(handle, &byte, 1, &got), 7);
        EXPECT_EQ(got, 0u);
        EXPECT_LT(MillisecondsSince(start), 500);
        EXPECT_EQ(SetSerialReadTimeout(handle, 4), 0);
        EXPECT_EQ(SetSerialReadTimeout(handle, 4), 0);
        EXPECT_EQ(PurgeSerialInput(handle), 0);
        EXPECT_EQ(CloseSerialPort(handle), 0);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
}

TEST(OpenByName, MissingOrUnusableNamesFailWithTheInvalidHandle) {
    char regular_file[] = "/tmp/tz52-serial-XXXXXX";
    const int fd = mkstemp(regular_file);
    ASSERT_GE(fd, 0);
    close(fd);
    const struct {
        const char* name;
        int result;
    } cases[] = {
        {"tz52-missing", 1},
        {"/dev/tz52-missing", 1},
        {"pts/999999", 1},
        {"COM250", 1},
        {"", 1},
        {regular_file, 4},  // opens, but has no line settings
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int descriptors = OpenDescriptorCount();
        SerialHandle handle = nullptr;
        EXPECT_EQ(OpenSerialPort(c.name, &k9600, kOpenOptions, &handle), c.result);
        if (c.result == 1) {
            EXPECT_EQ(handle, InvalidHandle());
        }
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
    unlink(regular_file);
    SerialHandle handle = nullptr;
    EXPECT_EQ(OpenSerialPort(nullptr, &k9600, kOpenOptions, &handle), 1);
    EXPECT_EQ(handle, InvalidHandle());
    EXPECT_EQ(OpenSerialPort("NUL", nullptr, kOpenOptions, &handle), 1);
    EXPECT_EQ(OpenSerialPort("NUL", &k9600, kOpenOptions, nullptr), 1);
}

TEST(OpenByName, TableOfOpenPortsIsBoundedAndReused) {
    SerialHandle handles[kMaxOpenSerialPorts];
    for (SerialHandle& h : handles) ASSERT_EQ(OpenSerialPort("NUL", &k9600, kOpenOptions, &h), 0);
    for (int i = 0; i < kMaxOpenSerialPorts; ++i)
        for (int j = 0; j < i; ++j) ASSERT_NE(handles[i], handles[j]);
    SerialHandle extra = nullptr;
    EXPECT_EQ(OpenSerialPort("NUL", &k9600, kOpenOptions, &extra), 1);
    EXPECT_EQ(extra, InvalidHandle());
    EXPECT_EQ(CloseSerialPort(handles[5]), 0);
    EXPECT_EQ(OpenSerialPort("NUL", &k9600, kOpenOptions, &extra), 0);
    // The new handle is not the closed one, which stays dead.
    EXPECT_NE(extra, handles[5]);
    EXPECT_EQ(CloseSerialPort(handles[5]), 7);
    handles[5] = extra;
    for (SerialHandle h : handles) EXPECT_EQ(CloseSerialPort(h), 0);
}

TEST_F(SerialPty, SecondOpenFailsFromThisProcessAndAnother) {
    // The test runs as root on CI: the advisory lock must hold where the
    // tty's exclusive flag does not.
    const int observer = pty.Observer();
    ASSERT_GE(observer, 0);
    Open();
    int exclusive = 0;
    ASSERT_EQ(ioctl(observer, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    SerialHandle second = nullptr;
    EXPECT_EQ(OpenSerialPort(pty.name().c_str(), &k9600, kOpenOptions, &second), 1);
    EXPECT_EQ(second, InvalidHandle());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialHandle theirs = nullptr;
        _exit(OpenSerialPort(pty.name().c_str(), &k9600, kOpenOptions, &theirs));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);

    // Closing clears the exclusive flag and the lock: the device opens again.
    ASSERT_EQ(CloseSerialPort(handle), 0);
    handle = nullptr;
    ASSERT_EQ(ioctl(observer, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    Open();
}

TEST_F(SerialPty, LineSettingsReachTheDevice) {
    const int observer = pty.Observer();
    ASSERT_GE(observer, 0);
    Open(LineSettings{19200, 8, 2, 0});
    termios tio;
    ASSERT_EQ(tcgetattr(observer, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(SerialPty, DescriptorIsCloseOnExecAndNonBlocking) {
    Open();
    int found = 0;
    DIR* dir = opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = readdir(dir)) {
        const std::string link = "/proc/self/fd/" + std::string(entry->d_name);
        char target[256] = {};
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || pty.path() != target) continue;
        const int fd = std::atoi(entry->d_name);
        ++found;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    }
    closedir(dir);
    EXPECT_EQ(found, 1);
}

TEST_F(SerialPty, OpenResultForEachLineSetting) {
    // A pty takes any rate and keeps 8 bits without parity whatever it is
    // told; neither may fail the open, however often it is repeated. Settings
    // the line cannot have are 5, and the device is free again afterwards.
    const struct {
        const char* what;
        LineSettings line;
        int result;
    } cases[] = {
        {"9600 8N1", {9600, 8, 0, 0}, 0},
        {"14400, no termios constant", {14400, 8, 0, 0}, 0},
        {"56000", {56000, 8, 0, 0}, 0},
        {"7 data bits even parity", {9600, 7, 0, 2}, 0},
        {"mark parity two stop bits", {9600, 8, 2, 3}, 0},
        {"5 data bits one and a half", {1200, 5, 1, 0}, 0},
        // The same rate again and again: only the format changes, or nothing
        // does, and the result must not depend on what the last open left.
        {"7E1", {9600, 7, 0, 2}, 0},
        {"7O2", {9600, 7, 2, 1}, 0},
        {"7O2 again", {9600, 7, 2, 1}, 0},
        {"8N2", {9600, 8, 2, 0}, 0},
        {"8N2 again", {9600, 8, 2, 0}, 0},
        {"8N1", {9600, 8, 0, 0}, 0},
        {"7E1 after 8N1", {9600, 7, 0, 2}, 0},
        {"7E1 again", {9600, 7, 0, 2}, 0},
        {"9 data bits", {9600, 9, 0, 0}, 5},
        {"parity 7", {9600, 8, 0, 7}, 5},
        {"one and a half with 8 bits", {9600, 8, 1, 0}, 5},
        {"rate 0", {0, 8, 0, 0}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SerialHandle h = nullptr;
        ASSERT_EQ(OpenSerialPort(pty.name().c_str(), &c.line, kOpenOptions, &h), c.result);
        if (c.result == 0) {
            EXPECT_EQ(CloseSerialPort(h), 0);
        }
    }
}

TEST_F(SerialPty, ModemControlRefusedByThePtyDoesNotFailTheOpen) {
    const uint16_t option_words[] = {0x0008, 0x0101, 0x8000, 0x0202, 0x1000, 0x2000, 0xFFFF};
    for (uint16_t options : option_words) {
        SCOPED_TRACE(testing::Message() << "options 0x" << std::hex << options);
        SerialHandle h = nullptr;
        ASSERT_EQ(OpenSerialPort(pty.name().c_str(), &k9600, options, &h), 0);
        EXPECT_EQ(CloseSerialPort(h), 0);
    }
}

// ---------------------------------------------------------------------------
// The read limit
// ---------------------------------------------------------------------------

TEST_F(SerialPty, ReadLimitIsReportedInTensOfMillisecondsAndHonoured) {
    Open();
    EXPECT_EQ(SetSerialReadTimeout(handle, 4), 100);  // 1000 ms after opening
    EXPECT_EQ(SetSerialReadTimeout(handle, 4), 4);
    uint8_t byte = 0;
    uint32_t got = 99;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadSerialExact(handle, &byte, 1, &got), 7);
    const long elapsed = MillisecondsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 40);
    EXPECT_LT(elapsed, 40 + kLateMarginMs);
}

TEST_F(SerialPty, ReadLimitFollowsTheThirtyTwoBitMillisecondCount) {
    // The limit is kept as 32-bit milliseconds, so a huge count wraps to a
    // limit that is not a whole number of units; the report truncates it.
    Open();
    const struct {
        int32_t set;
        int previous;
    } steps[] = {
        {429496731, 100},  // x10 wraps to 14 ms
        {2, 1},            // 14 ms reported as 1
        {-3, 2},
        {0, -3},
        {7, 0},
    };
    for (const auto& s : steps) EXPECT_EQ(SetSerialReadTimeout(handle, s.set), s.previous) << s.set;
}

TEST_F(SerialPty, ZeroLimitWaitsWithoutLimit) {
    Open();
    SetSerialReadTimeout(handle, 0);
    std::thread far_end([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pty.Send({0x42});
    });
    uint8_t byte = 0;
    uint32_t got = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadSerialExact(handle, &byte, 1, &got), 0);
    EXPECT_GE(MillisecondsSince(start), 300);
    far_end.join();
    EXPECT_EQ(byte, 0x42);
}

volatile sig_atomic_t g_signals;
void CountSignal(int) { g_signals = g_signals + 1; }

TEST_F(SerialPty, SignalsDoNotRestartTheLimit) {
    // A signal every 5 ms for 600 ms: a wait restarted in full on each
    // interruption would last until the signals stop, past 600 ms.
    Open();
    SetSerialReadTimeout(handle, 10);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = CountSignal;  // no SA_RESTART
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    g_signals = 0;
    const pthread_t reader = pthread_self();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; i < 120 && !stop; ++i) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint8_t byte = 0;
    uint32_t got = 99;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadSerialExact(handle, &byte, 1, &got), 7);
    const long elapsed = MillisecondsSince(start);
    stop = true;
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(g_signals, 3);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 500);
}

// ---------------------------------------------------------------------------
// Reading an exact count
// ---------------------------------------------------------------------------

TEST_F(SerialPty, ReadExactGathersPartsAndStopsAfterAWholeSilentLimit) {
    Open();
    SetSerialReadTimeout(handle, 5);  // 50 ms
    const Bytes ten = Pattern(10);
    const struct {
        const char* what;
        size_t first;      // bytes there when the read starts
        long secondAtMs;   // when the rest arrive; < 0: never
        int result;
        uint32_t count;
        long minimumMs;
    } cases[] = {
        {"all at once", 10, -1, 0, 10, 0},
        {"two parts, the second after the first limit", 6, 80, 0, 10, 80},
        {"six, then silence", 6, -1, 7, 6, 100},  // the short read and a whole silent limit
        {"silence from the start", 0, -1, 7, 0, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pty.Send(Bytes(ten.begin(), ten.begin() + static_cast<long>(c.first)));
        std::thread far_end([&] {
            if (c.secondAtMs < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.secondAtMs));
            pty.Send(Bytes(ten.begin() + static_cast<long>(c.first), ten.end()));
        });
        uint8_t buffer[10] = {};
        uint32_t got = 99;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(ReadSerialExact(handle, buffer, 10, &got), c.result);
        const long elapsed = MillisecondsSince(start);
        far_end.join();
        EXPECT_EQ(got, c.count);
        EXPECT_EQ(Bytes(buffer, buffer + got), Bytes(ten.begin(), ten.begin() + got));
        EXPECT_GE(elapsed, c.minimumMs);
        EXPECT_LT(elapsed, c.minimumMs + 50 + kLateMarginMs);
    }
}

TEST_F(SerialPty, ReadOfZeroBytesFailsAndTakesNothing) {
    Open();
    SetSerialReadTimeout(handle, 5);
    pty.Send({0x5A});
    ASSERT_TRUE(pty.WaitForInput(1));
    uint8_t byte = 0;
    uint32_t got = 99;
    EXPECT_EQ(ReadSerialExact(handle, &byte, 0, &got), 7);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ReadSerialExact(handle, &byte, 1, nullptr), 0);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(SerialPty, ReadEndsAtOnceWhenTheFarEndHangsUp) {
    Open();
    SetSerialReadTimeout(handle, 300);  // 3 s: a read that waits it out is wrong
    std::thread far_end([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.CloseMaster();
    });
    uint8_t buffer[10] = {};
    uint32_t got = 99;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadSerialExact(handle, buffer, 10, &got), 7);
    EXPECT_LT(MillisecondsSince(start), 1000);
    far_end.join();
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes({1, 2, 3}));

    // Later reads find the line hung up at once; writes fail.
    start = Clock::now();
    EXPECT_EQ(ReadSerialExact(handle, buffer, 1, &got), 7);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MillisecondsSince(start), 1000);
    uint32_t written = 99;
    EXPECT_EQ(WriteSerialPort(handle, buffer, 4, &written), 7);
    EXPECT_EQ(written, 99u);
    const Clock::time_point purge_start = Clock::now();
    PurgeSerialInput(handle);
    EXPECT_LT(MillisecondsSince(purge_start), 1000);
    EXPECT_EQ(CloseSerialPort(handle), 0);
    handle = nullptr;
}

// ---------------------------------------------------------------------------
// Purging
// ---------------------------------------------------------------------------

TEST_F(SerialPty, PurgeDropsWaitingInputAndPutsTheLimitBack) {
    Open();
    const struct {
        const char* what;
        int waiting;
        int32_t limit;      // set before the purge
        int limitAfter;     // what the purge left, in units of 10 ms
        long minimumMs;
        long maximumMs;
        bool farEndTalks;   // a byte every 10 ms (for at most 2 s) while the purge runs
    } cases[] = {
        // Nothing waiting: no read, no wait, the limit untouched.
        {"none waiting", 0, 20, 20, 0, 50, false},
        // 512, then 488 with a 50 ms wait for the rest of the block.
        {"1000 waiting", 1000, 20, 20, 50, 50 + kLateMarginMs, false},
        {"exactly one block", 512, 20, 20, 50, 50 + kLateMarginMs, false},
        // A previous limit of 0 cannot be told from a failure: 50 ms stays.
        {"after a limit of 0", 10, 0, 5, 50, 50 + kLateMarginMs, false},
        // One read that delivers fewer than 512 ends the purge, even while
        // the line keeps talking: a purge must not wait for it to fall quiet.
        {"far end sends a byte every 10 ms", 10, 20, 20, 50, 50 + kLateMarginMs, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetSerialReadTimeout(handle, c.limit);
        if (c.waiting > 0) {
            pty.Send(Pattern(static_cast<size_t>(c.waiting)));
            ASSERT_TRUE(pty.WaitForInput(c.waiting));
        }
        std::atomic<bool> talking{c.farEndTalks};
        std::thread far_end([&] {
            for (int i = 0; i < 200 && talking; ++i) {
                pty.Send({0x11});
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(PurgeSerialInput(handle), 0);
        const long elapsed = MillisecondsSince(start);
        talking = false;
        far_end.join();
        EXPECT_GE(elapsed, c.minimumMs);
        EXPECT_LT(elapsed, c.maximumMs);
        // What the far end sent after the purge was not the purge's to drop.
        if (c.farEndTalks) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(tcflush(pty.Observer(), TCIFLUSH), 0);
        }
        EXPECT_EQ(SetSerialReadTimeout(handle, 20), c.limitAfter);
        // Everything that waited is gone: the next byte read is the next sent.
        pty.Send({0xA5});
        uint8_t byte = 0;
        EXPECT_EQ(ReadSerialExact(handle, &byte, 1, nullptr), 0);
        EXPECT_EQ(byte, 0xA5);
    }
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST_F(SerialPty, WritesReportTheCountTaken) {
    Open();
    const Bytes fourteen = Pattern(14);
    uint32_t written = 0;
    EXPECT_EQ(WriteSerialPort(handle, fourteen.data(), 14, &written), 0);
    EXPECT_EQ(written, 14u);
    EXPECT_EQ(pty.Receive(14), fourteen);
    EXPECT_EQ(WriteSerialPort(handle, fourteen.data(), 3, nullptr), 0);
    EXPECT_EQ(pty.Receive(3), Bytes(fourteen.begin(), fourteen.begin() + 3));
    written = 99;
    EXPECT_EQ(WriteSerialPort(handle, nullptr, 0, &written), 0);
    EXPECT_EQ(written, 0u);
}

TEST_F(SerialPty, WriteLargerThanTheOutputQueueWaitsUntilAllIsTaken) {
    Open();
    const Bytes block = Pattern(65536);
    Bytes received;
    std::thread far_end([&] { received = pty.Receive(block.size()); });
    uint32_t written = 0;
    EXPECT_EQ(WriteSerialPort(handle, block.data(), static_cast<uint32_t>(block.size()), &written), 0);
    far_end.join();
    EXPECT_EQ(written, block.size());
    EXPECT_EQ(received, block);
}

// ---------------------------------------------------------------------------
// Handles the backend never produced
// ---------------------------------------------------------------------------

TEST(ForeignHandles, FailLikeARefusedCallAndTouchNothing) {
    SerialHandle closed = nullptr;
    ASSERT_EQ(OpenSerialPort("NUL", &k9600, kOpenOptions, &closed), 0);
    ASSERT_EQ(CloseSerialPort(closed), 0);
    int on_stack = 0;
    const SerialHandle cases[] = {
        nullptr,
        InvalidHandle(),
        reinterpret_cast<SerialHandle>(1),
        reinterpret_cast<SerialHandle>(0x7A520000),
        &on_stack,
        closed,
    };
    for (SerialHandle h : cases) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        EXPECT_EQ(CloseSerialPort(h), 7);
        EXPECT_EQ(SetSerialReadTimeout(h, 4), 0);
        EXPECT_EQ(PurgeSerialInput(h), 1);
        uint32_t count = 99;
        EXPECT_EQ(WriteSerialPort(h, "abc", 3, &count), 7);
        EXPECT_EQ(count, 99u);
        uint8_t buffer[4] = {9, 9, 9, 9};
        EXPECT_EQ(ReadSerialExact(h, buffer, 4, &count), 7);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(buffer[0], 9);
        EXPECT_EQ(SendSerialBreak(0, h), 0);
    }
    EXPECT_EQ(on_stack, 0);
}

}  // namespace
