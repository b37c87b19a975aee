// The serial backends' pure rules: which device a port name opens on each
// platform, how the line fields become termios settings, which modem lines
// the option word asks for, and the deadline arithmetic of reads.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <climits>
#include <cstring>
#include <string>

#include "serial/port_names.h"
#include "serial/serial.h"
#include "serial/serial_posix_line.h"

namespace {

// ---------------------------------------------------------------------------
// Port names
// ---------------------------------------------------------------------------

struct PortNameCase {
    const char* name;
    const char* posixDevice;    // nullptr: refused
    const char* windowsDevice;  // nullptr: refused
};

TEST(PortNames, EachNameOpensItsDevice) {
    const PortNameCase cases[] = {
        {"NUL", "/dev/null", "NUL"},
        {"nul", "/dev/null", "nul"},
        {"Nul", "/dev/null", "Nul"},
        {"NULL", "/dev/NULL", "NULL"},
        {"COM1", "/dev/ttyS0", "COM1"},
        {"COM2", "/dev/ttyS1", "COM2"},
        {"COM9", "/dev/ttyS8", "COM9"},
        {"COM10", "/dev/ttyS9", "\\\\.\\COM10"},
        {"com12", "/dev/ttyS11", "\\\\.\\com12"},
        {"com3", "/dev/ttyS2", "com3"},
        {"COM0", "/dev/COM0", "COM0"},        // numbering starts at 1
        {"COM01", "/dev/COM01", "COM01"},     // no leading zeros
        {"COM010", "/dev/COM010", "COM010"},
        {"COM1x", "/dev/COM1x", "COM1x"},
        {"COM", "/dev/COM", "COM"},
        {"ttyUSB0", "/dev/ttyUSB0", "ttyUSB0"},
        {"pts/7", "/dev/pts/7", "pts/7"},
        {"ttyACM12", "/dev/ttyACM12", "ttyACM12"},
        {"/dev/ttyS4", "/dev/ttyS4", "/dev/ttyS4"},
        {"./serial0", "./serial0", "./serial0"},
        {"\\\\.\\COM12", "/dev/\\\\.\\COM12", "\\\\.\\COM12"},  // already a device path
        {"", nullptr, nullptr},
    };
    for (const PortNameCase& c : cases) {
        const struct {
            int (*rule)(const char*, char*, size_t);
            const char* device;
        } rules[] = {{PosixDevicePath, c.posixDevice}, {WindowsDevicePath, c.windowsDevice}};
        for (const auto& rule : rules) {
            SCOPED_TRACE(testing::Message() << '"' << c.name << "\" " << (rule.rule == PosixDevicePath ? "POSIX" : "Windows"));
            char path[kDevicePathSize];
            std::memset(path, 'x', sizeof path);
            const int result = rule.rule(c.name, path, sizeof path);
            if (rule.device == nullptr) {
                EXPECT_EQ(result, -1);
            } else {
                ASSERT_EQ(result, 0);
                EXPECT_STREQ(path, rule.device);
            }
        }
    }
    char path[kDevicePathSize];
    EXPECT_EQ(PosixDevicePath(nullptr, path, sizeof path), -1);
    EXPECT_EQ(WindowsDevicePath(nullptr, path, sizeof path), -1);
}

TEST(PortNames, NamesTooLongForThePathAreRefusedWithoutOverrun) {
    struct {
        char path[16];
        char canary[8];
    } out;
    std::memset(&out, 'x', sizeof out);
    EXPECT_EQ(PosixDevicePath("ttyUSB0123", out.path, sizeof out.path), 0);  // 15 + terminator
    EXPECT_STREQ(out.path, "/dev/ttyUSB0123");
    EXPECT_EQ(PosixDevicePath("ttyUSB01234", out.path, sizeof out.path), -1);
    EXPECT_EQ(PosixDevicePath("/dev/serial/by-id/x", out.path, sizeof out.path), -1);
    // A name without a terminator is not read past the path's size.
    const char unterminated[16] = {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a',
                                   'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'};
    EXPECT_EQ(PosixDevicePath(unterminated, out.path, sizeof out.path), -1);
    EXPECT_EQ(std::string(out.canary, sizeof out.canary), std::string(8, 'x'));
}

// ---------------------------------------------------------------------------
// Line settings to termios
// ---------------------------------------------------------------------------

struct LineCase {
    const char* what;
    LineSettings line;
    int result;
    tcflag_t size;      // CS5..CS8
    tcflag_t parity;    // PARENB | PARODD | CMSPAR bits expected
    bool twoStopBits;   // CSTOPB
    speed_t speed;      // standard speed, or B0 when custom
    uint32_t customRate;
};

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

TEST(LineSettingsMapping, FieldsBecomeTermiosSettings) {
    const LineCase cases[] = {
        {"defaults 9600 8N1", {9600, 8, 0, 0}, 0, CS8, 0, false, B9600, 0},
        {"upper bytes ignored", {9600, 0x0108, 0x0100, 0x0200}, 0, CS8, 0, false, B9600, 0},
        {"7 data bits, odd", {19200, 7, 0, 1}, 0, CS7, PARENB | PARODD, false, B19200, 0},
        {"even", {4800, 8, 0, 2}, 0, CS8, PARENB, false, B4800, 0},
        {"mark", {2400, 8, 0, 3}, 0, CS8, PARENB | PARODD | CMSPAR, false, B2400, 0},
        {"space", {1200, 8, 0, 4}, 0, CS8, PARENB | CMSPAR, false, B1200, 0},
        {"two stop bits", {57600, 8, 2, 0}, 0, CS8, 0, true, B57600, 0},
        {"6 data bits", {300, 6, 0, 0}, 0, CS6, 0, false, B300, 0},
        {"one and a half with 5 data bits", {110, 5, 1, 0}, 0, CS5, 0, true, B110, 0},
        {"rate without a constant", {14400, 8, 0, 0}, 0, CS8, 0, false, B0, 14400},
        {"highest rate the field holds", {65535, 8, 0, 0}, 0, CS8, 0, false, B0, 65535},
        {"one and a half with 8 data bits", {9600, 8, 1, 0}, 5, 0, 0, false, B0, 0},
        {"two stop bits with 5 data bits", {9600, 5, 2, 0}, 5, 0, 0, false, B0, 0},
        {"4 data bits", {9600, 4, 0, 0}, 5, 0, 0, false, B0, 0},
        {"9 data bits", {9600, 9, 0, 0}, 5, 0, 0, false, B0, 0},
        {"parity 5", {9600, 8, 0, 5}, 5, 0, 0, false, B0, 0},
        {"stop-bits code 3", {9600, 8, 3, 0}, 5, 0, 0, false, B0, 0},
        {"rate 0", {0, 8, 0, 0}, 5, 0, 0, false, B0, 0},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.what);
        struct termios tio;
        std::memset(&tio, 0xFF, sizeof tio);  // every flag set: the mapping must clear what it must
        uint32_t custom = 12345;
        ASSERT_EQ(TermiosFromLineSettings(&c.line, &tio, &custom), c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ(tio.c_cflag & kParityBits, c.parity);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits);
        EXPECT_EQ(custom, c.customRate);
        if (c.customRate == 0) {
            EXPECT_EQ(cfgetospeed(&tio), c.speed);
            EXPECT_EQ(cfgetispeed(&tio), c.speed);
        }
    }
}

TEST(LineSettingsMapping, TransferIsRawWithoutFlowControl) {
    const LineSettings line = {9600, 8, 0, 2};
    struct termios tio;
    std::memset(&tio, 0xFF, sizeof tio);
    uint32_t custom = 0;
    ASSERT_EQ(TermiosFromLineSettings(&line, &tio, &custom), 0);
    // Input: no XON/XOFF, no translation, parity errors delivered as received.
    for (tcflag_t flag : {IXON, IXOFF, IXANY, ICRNL, INLCR, IGNCR, ISTRIP, BRKINT, IGNBRK, INPCK,
                          IGNPAR, PARMRK}) {
        EXPECT_EQ(tio.c_iflag & flag, 0u) << "c_iflag " << std::oct << flag;
    }
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    for (tcflag_t flag : {ECHO, ECHONL, ICANON, ISIG, IEXTEN}) {
        EXPECT_EQ(tio.c_lflag & flag, 0u) << "c_lflag " << std::oct << flag;
    }
    // Sending never waits for CTS; opening and reading never wait for carrier.
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    // Reads return at once with what is there (cfmakeraw would leave VMIN at 1).
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

// ---------------------------------------------------------------------------
// Option word to modem lines
// ---------------------------------------------------------------------------

struct OptionCase {
    uint16_t options;
    SerialLineControl dtr;
    SerialLineControl rts;
    int raise;
    int lower;
    bool rtsToggle;
};

TEST(OptionWord, SelectsDtrAndRtsControl) {
    constexpr int D = TIOCM_DTR;
    constexpr int R = TIOCM_RTS;
    const OptionCase cases[] = {
        {0x0008, kLineControlOff, kLineControlOff, 0, D | R, false},  // what Open stores
        {0x0000, kLineControlOff, kLineControlOff, 0, D | R, false},
        {0x0001, kLineControlOn, kLineControlOff, D, R, false},
        {0x0100, kLineControlOn, kLineControlOff, D, R, false},
        {0x8001, kLineControlOn, kLineControlOff, D, R, false},  // bit 0 wins over bit 15
        {0x8000, kLineControlHandshake, kLineControlOff, D, R, false},
        {0x0002, kLineControlOff, kLineControlOn, R, D, false},
        {0x0200, kLineControlOff, kLineControlOn, R, D, false},
        {0x3000, kLineControlOff, kLineControlHandshake, R, D, false},  // bit 12 wins over bit 13
        {0x1000, kLineControlOff, kLineControlHandshake, R, D, false},
        {0x2000, kLineControlOff, kLineControlToggle, 0, D | R, true},
        {0x1202, kLineControlOff, kLineControlOn, R, D, false},  // bit 9 wins over bit 12
        {0x0303, kLineControlOn, kLineControlOn, D | R, 0, false},
        {0xA101, kLineControlOn, kLineControlToggle, D, R, true},
        {0x4CF4, kLineControlOff, kLineControlOff, 0, D | R, false},  // bits not looked at
    };
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "options 0x" << std::hex << c.options);
        EXPECT_EQ(DtrControlFromOptions(c.options), c.dtr);
        EXPECT_EQ(RtsControlFromOptions(c.options), c.rts);
        const ModemLineChoice choice = ModemLinesFromOptions(c.options);
        EXPECT_EQ(choice.raise, c.raise);
        EXPECT_EQ(choice.lower, c.lower);
        EXPECT_EQ(choice.rtsToggle, c.rtsToggle);
    }
}

// ---------------------------------------------------------------------------
// Deadlines
// ---------------------------------------------------------------------------

timespec At(time_t seconds, long nanoseconds) {
    timespec t;
    t.tv_sec = seconds;
    t.tv_nsec = nanoseconds;
    return t;
}

TEST(ReadDeadline, AddsTheLimitWithCarry) {
    const struct {
        timespec start;
        uint32_t limitMs;
        timespec deadline;
    } cases[] = {
        {At(10, 0), 0, At(10, 0)},
        {At(10, 0), 40, At(10, 40000000)},
        {At(10, 999999999), 1, At(11, 999999)},
        {At(10, 500000000), 1500, At(12, 0)},
        {At(0, 0), 4294967295u, At(4294967, 295000000)},
    };
    for (const auto& c : cases) {
        const timespec d = DeadlineAfter(c.start, c.limitMs);
        EXPECT_EQ(d.tv_sec, c.deadline.tv_sec) << c.limitMs;
        EXPECT_EQ(d.tv_nsec, c.deadline.tv_nsec) << c.limitMs;
    }
}

TEST(ReadDeadline, RemainingTimeRoundsUpAndNeverGoesNegative) {
    const timespec deadline = At(100, 500000000);
    const struct {
        timespec now;
        int remainingMs;
    } cases[] = {
        {At(100, 500000000), 0},   // reached
        {At(101, 0), 0},           // passed
        {At(200, 0), 0},
        {At(100, 499999999), 1},   // 1 ns left must not become 0 (an endless poll) nor be dropped
        {At(100, 499000000), 1},
        {At(100, 498999999), 2},
        {At(100, 460000000), 40},
        {At(99, 600000000), 900},
        {At(0, 0), 100500},
        {At(-3000000, 0), INT_MAX},  // longer than a poll can wait: capped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RemainingPollMilliseconds(deadline, c.now), c.remainingMs)
            << c.now.tv_sec << "s " << c.now.tv_nsec << "ns";
    }
}

}  // namespace
