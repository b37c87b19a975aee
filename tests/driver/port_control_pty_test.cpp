// Port control and the frame codec over the real serial backend, with
// pseudo-terminals standing in for serial devices. The test plays the
// controller on the master side; the driver opens the slave by name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_api.h"
#include "host/zolvar.h"
#include "protocol/frame_codec.h"
#include "serial/serial.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// One pseudo-terminal. The slave is left closed, so that the driver is its
// only opener and the master can tell whether the driver holds it.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char path[64];
        if (ptsname_r(master_, path, sizeof path) != 0) return;
        // Opening the slave once makes the master report a hang-up whenever
        // no slave descriptor is open; a slave never opened reports none.
        const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) return;
        close(slave);
        // Port names are looked up under /dev/.
        portName_ = path + std::strlen("/dev/");
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !portName_.empty() && portName_.size() < 12; }
    const std::string& portName() const { return portName_; }

    // A master reports a hang-up while no slave descriptor is open.
    bool SlaveHeld() const {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()))
            << "write to pty master: " << std::strerror(errno);
    }

    // Whatever the driver wrote, waiting up to a second for `count` bytes.
    Bytes Receive(size_t count) {
        Bytes got;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0 || (p.revents & POLLIN) == 0) continue;
            uint8_t buffer[64];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

private:
    int master_ = -1;
    std::string portName_;
};

OpenParameters MakeOpen(const std::string& name, int32_t inUse, int32_t timeout) {
    OpenParameters p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.portName, name.c_str(), sizeof p.portName - 1);
    p.inUse = inUse;
    p.readTimeout = timeout;
    p.baudRate = 9600;
    p.dataBits = 8;
    return p;
}

ReconfigureParameters MakeReconfigure(const std::string& name, int32_t timeout) {
    ReconfigureParameters p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.portName, name.c_str(), sizeof p.portName - 1);
    p.readTimeout = timeout;
    p.baudRate = 19200;
    p.dataBits = 8;
    return p;
}

class PortControlPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "no pseudo-terminal: " << std::strerror(errno);
        ZolvarReset();
        ZolvarSetEcho(0);
        std::memset(&context, 0, sizeof context);
    }
    void TearDown() override {
        Call(kOpClose);
        ZolvarSetEcho(1);
    }

    int Call(int32_t operation, void* parameters = nullptr, PortContext* on = nullptr) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.context = on ? on : &context;
        request.operation = operation;
        request.parameters = parameters;
        return QmxMain(&request);
    }

    void OpenPty(int32_t timeout = 4) {
        OpenParameters p = MakeOpen(pty.portName(), 36, timeout);
        ASSERT_EQ(Call(kOpOpen, &p), 0) << pty.portName();
        ASSERT_NE(context.handle, nullptr);
    }

    // How long a read of one byte waits on a silent line.
    Clock::duration SilentReadTime() {
        uint8_t byte = 0;
        uint32_t got = 99;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(ReadSerialExact(context.handle, &byte, 1, &got), 7);
        const Clock::duration elapsed = Clock::now() - start;
        EXPECT_EQ(got, 0u);
        return elapsed;
    }

    Pty pty;
    PortContext context;
};

using std::chrono::milliseconds;

TEST_F(PortControlPty, OpenAppliesTheTimeoutAndStoresIt) {
    OpenPty(4);
    EXPECT_TRUE(pty.SlaveHeld());
    EXPECT_EQ(context.readTimeout, 4);
    EXPECT_EQ(context.inUse, 36);
    EXPECT_STREQ(context.settings.name, pty.portName().c_str());
    EXPECT_EQ(context.settings.options, 8);
    const Clock::duration waited = SilentReadTime();
    EXPECT_GE(waited, milliseconds(40));
    EXPECT_LT(waited, milliseconds(500));
}

TEST_F(PortControlPty, OpenWithInUseZeroOpensNothing) {
    OpenParameters p = MakeOpen(pty.portName(), 0, 4);
    EXPECT_EQ(Call(kOpOpen, &p), 0);
    EXPECT_EQ(context.inUse, 0);
    EXPECT_EQ(context.handle, nullptr);
    EXPECT_EQ(context.settings.name[0], '\0');
    EXPECT_FALSE(pty.SlaveHeld());
}

TEST_F(PortControlPty, FailedOpenIsReportedWithTwoSpacesBeforeTheColon) {
    OpenParameters p = MakeOpen("pts/nosuch", 36, 4);
    EXPECT_EQ(Call(kOpOpen, &p), 2);
    EXPECT_EQ(context.handle, nullptr);
    EXPECT_EQ(context.readTimeout, 0);
    EXPECT_EQ(ZolvarReportCount(), 1);
    EXPECT_EQ(ZolvarLastLevel(), 32);
    EXPECT_STREQ(ZolvarLastMessage(), "QMXKORVEL,  : Fail to open pts/nosuch");
}

TEST_F(PortControlPty, CloseReleasesTheDeviceAndCanBeRepeated) {
    OpenPty();
    EXPECT_EQ(Call(kOpClose), 0);
    EXPECT_EQ(context.handle, nullptr);
    EXPECT_FALSE(pty.SlaveHeld());
    EXPECT_EQ(Call(kOpCloseAlso), 0);
    EXPECT_EQ(context.handle, nullptr);
}

TEST_F(PortControlPty, FlushOnAClosedContextDoesNothing) {
    const PortContext before = context;
    EXPECT_EQ(Call(kOpFlush), 0);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof before), 0);
}

TEST_F(PortControlPty, ReopenAfterCloseRestoresThePort) {
    OpenPty();
    context.inUse = 0;
    ASSERT_EQ(Call(kOpClose), 0);
    ASSERT_EQ(Call(kOpReopen), 0);
    EXPECT_EQ(context.inUse, 1);
    EXPECT_NE(context.handle, nullptr);
    EXPECT_TRUE(pty.SlaveHeld());
    // The port runs with the limit that opening sets, not the stored one.
    EXPECT_EQ(SetSerialReadTimeout(context.handle, 100), 100);
    EXPECT_EQ(context.readTimeout, 4);
}

TEST_F(PortControlPty, ReopenOfAnOpenPortTakesItOverAgain) {
    OpenPty();
    ASSERT_EQ(Call(kOpReopen), 0);
    EXPECT_TRUE(pty.SlaveHeld());
    ASSERT_EQ(Call(kOpClose), 0);
    EXPECT_FALSE(pty.SlaveHeld());  // no second descriptor was left behind
}

TEST_F(PortControlPty, ReconfigureWithTimeoutZeroKeepsTheStoredTimeout) {
    OpenPty(4);
    ReconfigureParameters p = MakeReconfigure(pty.portName(), 0);
    ASSERT_EQ(Call(kOpReconfigure, &p), 0);
    EXPECT_EQ(context.readTimeout, 4);
    EXPECT_EQ(context.settings.line.baudRate, 19200);
    EXPECT_TRUE(pty.SlaveHeld());
    ASSERT_EQ(Call(kOpClose), 0);
    EXPECT_FALSE(pty.SlaveHeld());
}

TEST_F(PortControlPty, ReconfigureWithANewNameMovesToTheNewPort) {
    Pty other;
    ASSERT_TRUE(other.ok());
    OpenPty(4);
    ReconfigureParameters p = MakeReconfigure(other.portName(), 6);
    ASSERT_EQ(Call(kOpReconfigure, &p), 0);
    EXPECT_FALSE(pty.SlaveHeld());
    EXPECT_TRUE(other.SlaveHeld());
    EXPECT_STREQ(context.settings.name, other.portName().c_str());
    EXPECT_EQ(context.readTimeout, 6);

    // Requests now go out on the new port.
    const uint8_t payload[] = {0x28, 0x05};
    ASSERT_EQ(SendFrame(1, payload, 2), 0);
    EXPECT_EQ(other.Receive(8), (Bytes{0x81, 0x7E, 0x01, 0x7E, 0x57, 0x28, 0x7A, 0x05}));
}

TEST_F(PortControlPty, RequestsGoOutByteForByte) {
    OpenPty();
    const struct {
        int32_t station;
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {1, {0x28, 0x05}, {0x81, 0x7E, 0x01, 0x7E, 0x57, 0x28, 0x7A, 0x05}},
        {127, {}, {0xFF, 0x00, 0x01, 0x7E}},
        {5, {0x00, 0x7F}, {0x85, 0x7A, 0x01, 0x7E, 0x7F, 0x00, 0x00, 0x7F}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(SendFrame(c.station, c.payload.data(), static_cast<uint32_t>(c.payload.size())), 0);
        EXPECT_EQ(pty.Receive(c.frame.size()), c.frame) << c.station;
    }
}

TEST_F(PortControlPty, RepliesAreCheckedAsTheyArrive) {
    OpenPty(4);
    const struct {
        const char* what;
        uint32_t n;
        Bytes reply;
        int expected;
        uint8_t data;
    } cases[] = {
        {"good reply", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03, 0x7C}, 0, 0x03},
        {"bad data pair", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03, 0x7D}, 1, 0xAA},
        {"wrong start byte", 1, {0xFF, 0x00, 0x10, 0x6F, 0x03, 0x7C}, 2, 0xAA},
        {"acknowledgement", 0, {0xFE, 0x55, 0x00, 0x7F}, 0, 0xAA},
        {"bad first pair", 0, {0xFE, 0x55, 0x00, 0x7E}, 1, 0xAA},
        {"one byte short", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03}, 2, 0xAA},
    };
    for (const auto& c : cases) {
        pty.Send(c.reply);
        uint8_t out = 0xAA;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(ReceiveFrame(&out, c.n), c.expected) << c.what;
        EXPECT_LT(Clock::now() - start, milliseconds(500)) << c.what;
        EXPECT_EQ(out, c.data) << c.what;
    }
}

TEST_F(PortControlPty, AStaleByteIsDroppedBeforeTheReplyIsRead) {
    OpenPty(4);
    for (bool flushFirst : {false, true}) {
        pty.Send({0x55});
        // Time for the stale byte to reach the driver's input queue.
        std::this_thread::sleep_for(milliseconds(100));
        if (flushFirst) {
            ASSERT_EQ(Call(kOpFlush), 0);
        }

        const uint8_t payload[] = {0x28, 0x05};
        ASSERT_EQ(SendFrame(1, payload, 2), 0) << flushFirst;
        EXPECT_EQ(pty.Receive(8), (Bytes{0x81, 0x7E, 0x01, 0x7E, 0x57, 0x28, 0x7A, 0x05}));
        pty.Send({0xFE, 0x00, 0x10, 0x6F, 0x03, 0x7C});
        uint8_t out = 0;
        EXPECT_EQ(ReceiveFrame(&out, 1), 0) << flushFirst;
        EXPECT_EQ(out, 0x03) << flushFirst;
    }
}

}  // namespace
