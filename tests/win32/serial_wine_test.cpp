// The Windows serial routines on a real COM port under Wine.
//
// COM5 and COM6 are the two ends of a pseudo-terminal pair (wine_env.sh);
// the tests use COM5 through the routines under test and drive COM6, the far
// end, with plain KERNEL32 calls. COM12 is COM5 again, reachable only as
// \\.\COM12; COM250 has no device behind it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "serial/serial_win32_line.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Generous: Wine and a loaded machine may be slow, never early.
constexpr long long kLateMarginMs = 1500;

constexpr LineSettings k9600Line = {9600, 8, 0, 0};

// Opens `name` through OpenSerialPort and closes it at the end of the scope.
struct OpenPort {
    SerialHandle handle = nullptr;
    int result = -1;
    explicit OpenPort(const char* name, const LineSettings& line = k9600Line, uint16_t options = 8) {
        result = OpenSerialPort(name, &line, options, &handle);
    }
    ~OpenPort() {
        if (result == kSerialOk) CloseSerialPort(handle);
    }
};

DWORD ReadLimitMs(SerialHandle handle) {
    COMMTIMEOUTS timeouts{};
    EXPECT_TRUE(GetCommTimeouts(handle, &timeouts));
    return timeouts.ReadTotalTimeoutConstant;
}

DWORD BytesWaiting(SerialHandle handle) {
    DWORD errors = 0;
    COMSTAT status{};
    EXPECT_TRUE(ClearCommError(handle, &errors, &status));
    return status.cbInQue;
}

// Waits until `count` bytes wait on `handle` (the pty pair relays them a
// little later than they are written).
bool AwaitWaiting(SerialHandle handle, DWORD count) {
    const auto start = Clock::now();
    while (MillisecondsSince(start) < 3000) {
        if (BytesWaiting(handle) == count) return true;
        Sleep(10);
    }
    return false;
}

// The port under test (COM5) and its far end (COM6), both opened and
// emptied of anything a previous case left behind.
class PortPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(near_.result, kSerialOk) << "COM5 (see wine_env.sh)";
        ASSERT_EQ(far_.result, kSerialOk) << "COM6 (see wine_env.sh)";
        PurgeComm(near_.handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        PurgeComm(far_.handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }

    void SendFromFarEnd(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(far_.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    std::string ReceiveAtFarEnd(size_t count) {
        std::string bytes(count, '\0');
        uint32_t received = 0;
        EXPECT_EQ(ReadSerialExact(far_.handle, &bytes[0], static_cast<uint32_t>(count), &received), kSerialOk);
        bytes.resize(received);
        return bytes;
    }

    OpenPort near_{"COM5"};
    OpenPort far_{"COM6"};
};

// ---------------------------------------------------------------- Opening

struct OpenCase {
    const char* name;
    int result;
    const char* why;
};

TEST(OpenSerialPortOnWindows, ResultsByName) {
    const OpenCase cases[] = {
        {"COM5", kSerialOk, "a bare COM1-9 name"},
        {"COM12", kSerialOk, "COM10 and above are opened as \\\\.\\COMn"},
        {"com12", kSerialOk, "device names are not case-sensitive"},
        {"\\\\.\\COM12", kSerialOk, "a device path goes through as it stands"},
        {"COM250", kSerialOpenFailed, "a COM port with no device behind it"},
        {"NUL", kSerialOk, "the null device, without line settings"},
        {"nul", kSerialNotSerial, "only \"NUL\" exactly skips the line settings"},
    };
    for (const OpenCase& c : cases) {
        SerialHandle handle = nullptr;
        const int result = OpenSerialPort(c.name, &k9600Line, 8, &handle);
        EXPECT_EQ(result, c.result) << c.name << ": " << c.why;
        if (result == kSerialOk) {
            EXPECT_NE(handle, INVALID_HANDLE_VALUE) << c.name;
            EXPECT_EQ(CloseSerialPort(handle), kSerialOk) << c.name;
        } else if (result == kSerialOpenFailed) {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << c.name;
        } else {
            // The device was closed again before the routine returned.
            EXPECT_FALSE(CloseHandle(handle)) << c.name;
        }
    }
}

TEST(OpenSerialPortOnWindows, MissingArgumentsOpenNothing) {
    SerialHandle handle = nullptr;
    EXPECT_EQ(OpenSerialPort(nullptr, &k9600Line, 8, &handle), kSerialOpenFailed);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    // "NUL" would open without reading its settings: the missing settings
    // must stop it before the device is opened.
    handle = nullptr;
    EXPECT_EQ(OpenSerialPort("NUL", nullptr, 8, &handle), kSerialOpenFailed);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenSerialPort("NUL", &k9600Line, 8, nullptr), kSerialOpenFailed);
}

// The DCB an open writes for each option word, field by field, over a DCB
// whose every bit was set, as a device might hand it over.
TEST(OpenSerialPortOnWindows, LineSettingsForEachOptionWord) {
    const struct {
        uint16_t options;
        DWORD dtr;
        DWORD rts;
    } cases[] = {
        {0x0008, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},    // what Open stores
        {0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
        {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},  // bit 12 wins over bit 13
        {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
        {0x1202, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},     // bit 9 wins over bit 12
    };
    const LineSettings line = {19200, 0x0107, 0x0102, 0x0101};  // the upper bytes are not looked at
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "options 0x" << std::hex << c.options);
        DCB device;
        std::memset(&device, 0xFF, sizeof device);
        DCB dcb = device;
        ApplyLineSettings(&dcb, line, c.options);
        EXPECT_EQ(dcb.BaudRate, 19200u);
        EXPECT_EQ(dcb.ByteSize, 7);
        EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
        EXPECT_EQ(dcb.Parity, ODDPARITY);
        EXPECT_EQ(dcb.fDtrControl, c.dtr);
        EXPECT_EQ(dcb.fRtsControl, c.rts);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fParity, 1u);
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        EXPECT_EQ(dcb.fDsrSensitivity, 0u);
        EXPECT_EQ(dcb.fOutX, 0u);
        EXPECT_EQ(dcb.fInX, 0u);
        EXPECT_EQ(dcb.fErrorChar, 0u);
        EXPECT_EQ(static_cast<BYTE>(dcb.ErrorChar), 0xFC);
        EXPECT_EQ(dcb.fNull, 0u);
        EXPECT_EQ(dcb.fAbortOnError, 0u);
        // The rest stays as the device had it.
        EXPECT_EQ(dcb.DCBlength, device.DCBlength);
        EXPECT_EQ(dcb.fTXContinueOnXoff, device.fTXContinueOnXoff);
        EXPECT_EQ(dcb.XonLim, device.XonLim);
        EXPECT_EQ(dcb.XoffLim, device.XoffLim);
        EXPECT_EQ(dcb.XonChar, device.XonChar);
        EXPECT_EQ(dcb.XoffChar, device.XoffChar);
        EXPECT_EQ(dcb.EofChar, device.EofChar);
        EXPECT_EQ(dcb.EvtChar, device.EvtChar);
    }
}

TEST(OpenSerialPortOnWindows, TheBareNameOfComTwelveIsNotADevice) {
    // The reason for the \\.\ prefix: without it COM12 is an ordinary file
    // name, and no such file exists.
    const HANDLE bare = CreateFileA("COM12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(bare, INVALID_HANDLE_VALUE);
    if (bare != INVALID_HANDLE_VALUE) CloseHandle(bare);
}

TEST_F(PortPair, ComTwelveReachesTheSameDeviceAsComFive) {
    OpenPort twelve("COM12");
    ASSERT_EQ(twelve.result, kSerialOk);
    // COM5 is held open by the fixture; under Wine that is no obstacle.
    uint32_t written = 0;
    ASSERT_EQ(WriteSerialPort(twelve.handle, "via 12", 6, &written), kSerialOk);
    EXPECT_EQ(ReceiveAtFarEnd(6), "via 12");
}

TEST(OpenSerialPortOnWindows, SecondOpenOfAnOpenPort) {
    // Windows grants a COM port to one opener and refuses the second open
    // (result 1); Wine does not enforce that, so the case cannot be shown
    // here. The native suite covers the refusal on its own backend.
    GTEST_SKIP() << "Wine does not refuse a second open of a COM port";
}

TEST(OpenSerialPortOnWindows, AppliesTheLineFieldsLowBytesOnly) {
    // A pseudo-terminal keeps eight data bits without parity whatever it is
    // asked for, so the fields are chosen among what it can hold: the high
    // byte of each must be ignored, and two stop bits must arrive as such.
    const LineSettings line = {19200, 0x0108, 0x0102, 0x0100};  // 8 data bits, 2 stop, none
    OpenPort port("COM5", line);
    ASSERT_EQ(port.result, kSerialOk);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_EQ(ReadLimitMs(port.handle), 1000u);
}

// ---------------------------------------------------------- The null device

TEST(NullDevice, TakesEveryWriteAndDeliversNothing) {
    OpenPort port("NUL");
    ASSERT_EQ(port.result, kSerialOk);
    uint32_t written = 0;
    EXPECT_EQ(WriteSerialPort(port.handle, "fourteen bytes", 14, &written), kSerialOk);
    EXPECT_EQ(written, 14u);
    char buffer[4];
    uint32_t received = 99;
    EXPECT_EQ(ReadSerialExact(port.handle, buffer, 4, &received), kSerialCallFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(SetSerialReadTimeout(port.handle, 4), 0);
    EXPECT_EQ(PurgeSerialInput(port.handle), kSerialOk);
}

// ------------------------------------------------------------ Read limits

TEST_F(PortPair, ReadLimitReturnsThePreviousLimit) {
    struct Case {
        DWORD limitInForceMs;
        int32_t timeout;
        int expected;
    };
    const Case cases[] = {
        {1000, 4, 100},  // right after opening
        {40, 4, 4},      // already in force: nothing applied
        {15, 4, 1},      // truncated
        {5, 4, 0},       // below 10 ms reads back as 0
    };
    for (const Case& c : cases) {
        COMMTIMEOUTS timeouts{0, 0, c.limitInForceMs, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(near_.handle, &timeouts));
        EXPECT_EQ(SetSerialReadTimeout(near_.handle, c.timeout), c.expected) << c.limitInForceMs;
        COMMTIMEOUTS after{};
        ASSERT_TRUE(GetCommTimeouts(near_.handle, &after));
        EXPECT_EQ(after.ReadTotalTimeoutConstant, 40u);
        EXPECT_EQ(after.ReadIntervalTimeout, 0u);
        EXPECT_EQ(after.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(after.WriteTotalTimeoutConstant, 0u);
    }
}

TEST_F(PortPair, FortyMillisecondLimitIsNeverEarly) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 4), 100);
    for (int attempt = 0; attempt < 3; ++attempt) {
        char byte;
        uint32_t received = 99;
        const auto start = Clock::now();
        EXPECT_EQ(ReadSerialExact(near_.handle, &byte, 1, &received), kSerialCallFailed);
        const long long elapsed = MillisecondsSince(start);
        EXPECT_EQ(received, 0u);
        EXPECT_GE(elapsed, 40);
        EXPECT_LT(elapsed, 40 + kLateMarginMs);
    }
}

// ------------------------------------------------------------------ Reads

TEST_F(PortPair, ReadExactGathersBytesArrivingInParts) {
    // The first read gives up after its limit with six bytes; the second
    // read starts at once and gets the rest, which arrive halfway through
    // its own limit.
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 30), 100);  // 300 ms
    std::thread farEnd([this] {
        SendFromFarEnd("012345");
        Sleep(450);
        SendFromFarEnd("6789");
    });
    char buffer[10] = {};
    uint32_t received = 0;
    const int result = ReadSerialExact(near_.handle, buffer, 10, &received);
    farEnd.join();
    EXPECT_EQ(result, kSerialOk);
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST_F(PortPair, ReadExactGivesUpAfterAWholeLimitOfSilence) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 10), 100);
    SendFromFarEnd("012345");
    ASSERT_TRUE(AwaitWaiting(near_.handle, 6));
    char buffer[10] = {};
    uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ReadSerialExact(near_.handle, buffer, 10, &received), kSerialCallFailed);
    EXPECT_GE(MillisecondsSince(start), 100);
    EXPECT_EQ(received, 6u);
    EXPECT_EQ(std::string(buffer, 6), "012345");
}

TEST_F(PortPair, ReadExactOfSilenceAndOfNothing) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 5), 100);
    char buffer[10];
    for (const uint32_t count : {10u, 0u}) {
        uint32_t received = 99;
        EXPECT_EQ(ReadSerialExact(near_.handle, buffer, count, &received), kSerialCallFailed) << count;
        EXPECT_EQ(received, 0u) << count;
    }
    EXPECT_EQ(ReadSerialExact(near_.handle, buffer, 10, nullptr), kSerialCallFailed);
}

// ------------------------------------------------------------------ Purge

TEST_F(PortPair, PurgeDropsAThousandWaitingBytesAndRestoresTheLimit) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 30), 100);
    SendFromFarEnd(std::string(1000, 'x'));
    ASSERT_TRUE(AwaitWaiting(near_.handle, 1000));
    const auto start = Clock::now();
    EXPECT_EQ(PurgeSerialInput(near_.handle), kSerialOk);
    EXPECT_GE(MillisecondsSince(start), 50);  // the short read that found the line quiet
    EXPECT_EQ(BytesWaiting(near_.handle), 0u);
    EXPECT_EQ(ReadLimitMs(near_.handle), 300u);
}

TEST_F(PortPair, PurgeOfAnEmptyQueueChangesNoLimit) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 30), 100);
    EXPECT_EQ(PurgeSerialInput(near_.handle), kSerialOk);
    EXPECT_EQ(ReadLimitMs(near_.handle), 300u);
}

TEST_F(PortPair, PurgeAfterAnUnlimitedReadLeavesTheShortLimit) {
    ASSERT_EQ(SetSerialReadTimeout(near_.handle, 0), 100);
    SendFromFarEnd("stale");
    ASSERT_TRUE(AwaitWaiting(near_.handle, 5));
    EXPECT_EQ(PurgeSerialInput(near_.handle), kSerialOk);
    EXPECT_EQ(BytesWaiting(near_.handle), 0u);
    // The saved limit read back as 0, which cannot be told from a failure.
    EXPECT_EQ(ReadLimitMs(near_.handle), 50u);
}

// ------------------------------------------------------------------ Writes

TEST_F(PortPair, WriteSendsEveryByteAndCountsThem) {
    const std::string frame("\x01\x7e\x02\x7d\x00\x7f\x10\x6f\x20\x5f\x30\x4f\x40\x3f", 14);
    uint32_t written = 0;
    EXPECT_EQ(WriteSerialPort(near_.handle, frame.data(), 14, &written), kSerialOk);
    EXPECT_EQ(written, 14u);
    EXPECT_EQ(ReceiveAtFarEnd(14), frame);
    EXPECT_EQ(WriteSerialPort(near_.handle, "ok", 2, nullptr), kSerialOk);
    EXPECT_EQ(ReceiveAtFarEnd(2), "ok");
}

// --------------------------------------------------------------- No handle

TEST(SerialRoutinesOnWindows, NullHandleFailsInEveryRoutine) {
    char buffer[8] = {};
    uint32_t count = 99;
    EXPECT_EQ(PurgeSerialInput(nullptr), kSerialPurgeFailed);
    EXPECT_EQ(SetSerialReadTimeout(nullptr, 4), 0);
    EXPECT_EQ(WriteSerialPort(nullptr, buffer, 8, &count), kSerialCallFailed);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(ReadSerialExact(nullptr, buffer, 8, &count), kSerialCallFailed);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(CloseSerialPort(nullptr), kSerialCallFailed);
}

}  // namespace
