// POSIX serial backend (termios).
//
// Sections, in order:
//   1. The fixed table of open ports, and the handles that name its entries
//   2. The line-settings mapping and the modem lines (port names: port_names.cpp)
//   3. Time: deadlines on the monotonic clock, sleeping
//   4. Opening and closing
//   5. Reading under a total limit, the read limit, purging, writing
//   6. Break
//
// A handle is a number handed out once per open and looked up in the table;
// a value the backend never produced, or the handle of a port since closed,
// matches no entry and fails like a refused platform call. Descriptors stay
// non-blocking with VMIN = VTIME = 0, and every wait is a poll against a
// deadline, so a read limit is kept even when signals interrupt the wait.
#include "serial/serial.h"
#include "serial/serial_posix_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

// ---------------------------------------------------------------------------
// 1. The table of open ports
// ---------------------------------------------------------------------------
namespace {

struct OpenPort {
    uintptr_t handle;      // 0: the entry is free
    int fd;
    uint32_t readLimitMs;  // total read limit; 0 waits without limit
    bool nullDevice;       // opened as "NUL": no line settings, no read limit to change
    bool exclusive;        // TIOCEXCL is set and must be cleared before close
};

OpenPort g_openPorts[kMaxOpenSerialPorts];
uintptr_t g_lastHandle;

// Handle values start far from small integers, so that a stray 1 or 2 from a
// confused caller is not taken for a port.
constexpr uintptr_t kFirstHandle = 0x7A520001u;

constexpr uint32_t kReadLimitAfterOpenMs = 1000;
constexpr int32_t kPurgeReadLimit = 5;  // units of 10 ms
constexpr size_t kPurgeBlockSize = 512;
constexpr uint32_t kLargestRead = 0xFFFF;

OpenPort* FindPort(SerialHandle handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0) return nullptr;
    for (OpenPort& port : g_openPorts) {
        if (port.handle == value) return &port;
    }
    return nullptr;
}

OpenPort* FreeEntry() {
    for (OpenPort& port : g_openPorts) {
        if (port.handle == 0) return &port;
    }
    return nullptr;
}

// A handle is not given out twice while the counter lasts, so a stale handle
// held by a caller never reaches a port opened later.
uintptr_t NextHandle() {
    do {
        g_lastHandle = g_lastHandle < kFirstHandle ? kFirstHandle : g_lastHandle + 1;
    } while (g_lastHandle == kInvalidSerialHandleValue ||
             FindPort(reinterpret_cast<SerialHandle>(g_lastHandle)) != nullptr);
    return g_lastHandle;
}

}  // namespace

// ---------------------------------------------------------------------------
// 2. Line settings, modem lines
// ---------------------------------------------------------------------------
namespace {

struct StandardSpeed {
    uint32_t rate;
    speed_t speed;
};

// The rates termios names. The 16-bit rate field cannot reach 115200, so the
// table stops at 57600; any other rate goes through termios2.
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},     {75, B75},     {110, B110},     {134, B134},     {150, B150},     {200, B200},
    {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

#if defined(CMSPAR)
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;  // no mark or space parity on this platform
#endif

#if defined(CRTSCTS)
constexpr tcflag_t kHardwareFlowControl = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlowControl = 0;
#endif

}  // namespace

int TermiosFromLineSettings(const LineSettings* line, struct termios* tio, uint32_t* custom_rate) {
    const uint32_t rate = line->baudRate;
    const unsigned data_bits = line->dataBits & 0xFFu;
    const unsigned stop_bits = line->stopBits & 0xFFu;
    const unsigned parity = line->parity & 0xFFu;

    // A rate of 0 would tell the tty to hang up the line.
    if (rate == 0) return kSerialSettingsRefused;

    tcflag_t size;
    switch (data_bits) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return kSerialSettingsRefused;
    }

    tcflag_t parity_flags;
    switch (parity) {
        case 0: parity_flags = 0; break;
        case 1: parity_flags = PARENB | PARODD; break;
        case 2: parity_flags = PARENB; break;
        case 3: parity_flags = PARENB | PARODD | kStickParity; break;
        case 4: parity_flags = PARENB | kStickParity; break;
        default: return kSerialSettingsRefused;
    }
    if (parity >= 3 && kStickParity == 0) return kSerialSettingsRefused;

    // termios has one "two stop bits" setting; with 5 data bits the UART sends
    // one and a half instead. So one and a half exists only with 5 data bits,
    // and two only with more.
    tcflag_t stop_flags;
    switch (stop_bits) {
        case 0: stop_flags = 0; break;
        case 1:
            if (data_bits != 5) return kSerialSettingsRefused;
            stop_flags = CSTOPB;
            break;
        case 2:
            if (data_bits == 5) return kSerialSettingsRefused;
            stop_flags = CSTOPB;
            break;
        default: return kSerialSettingsRefused;
    }

    // Raw transfer. INPCK, IGNPAR and PARMRK stay off, so a byte with a parity
    // error is delivered as received rather than zeroed, dropped or marked.
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                           IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // No CTS gating. CLOCAL: no wait for carrier. HUPCL drops DTR and RTS at
    // the last close, so they are raised only while the port is open.
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | kStickParity |
                                           kHardwareFlowControl);
    tio->c_cflag |= size | parity_flags | stop_flags | CREAD | CLOCAL | HUPCL;
    // Reads return at once with what is there; the waiting is done by poll.
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;

    *custom_rate = rate;
    for (const StandardSpeed& standard : kStandardSpeeds) {
        if (standard.rate == rate) {
            cfsetispeed(tio, standard.speed);
            cfsetospeed(tio, standard.speed);
            *custom_rate = 0;
            break;
        }
    }
    return kSerialOk;
}

ModemLineChoice ModemLinesFromOptions(uint16_t options) {
    ModemLineChoice choice = {0, 0, false};
    switch (DtrControlFromOptions(options)) {
        case kLineControlOn:
        case kLineControlHandshake:  // no DTR flow control on Linux: DTR stays raised
            choice.raise |= TIOCM_DTR;
            break;
        default:
            choice.lower |= TIOCM_DTR;
            break;
    }
    switch (RtsControlFromOptions(options)) {
        case kLineControlOn:
        case kLineControlHandshake:  // RTS flow control would also gate sending on CTS
            choice.raise |= TIOCM_RTS;
            break;
        case kLineControlToggle:  // RTS idles low; RS-485 mode raises it while sending
            choice.lower |= TIOCM_RTS;
            choice.rtsToggle = true;
            break;
        default:
            choice.lower |= TIOCM_RTS;
            break;
    }
    return choice;
}

namespace {

// Devices without modem lines (pseudo-terminals, some adapters) refuse these
// requests; the line works without them, so the results are not checked.
void ApplyModemLines(int fd, ModemLineChoice choice) {
    if (choice.raise != 0) ioctl(fd, TIOCMBIS, &choice.raise);
    if (choice.lower != 0) ioctl(fd, TIOCMBIC, &choice.lower);
#if defined(__linux__) && defined(TIOCSRS485)
    if (choice.rtsToggle) {
        struct serial_rs485 rs485;
        if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
            rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            rs485.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
            ioctl(fd, TIOCSRS485, &rs485);
        }
    }
#endif
}

}  // namespace

// ---------------------------------------------------------------------------
// 3. Time
// ---------------------------------------------------------------------------
namespace {

constexpr long kNanosecondsPerSecond = 1000000000L;
constexpr long kNanosecondsPerMillisecond = 1000000L;

struct timespec MonotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

void SleepMilliseconds(uint32_t duration) {
    const struct timespec deadline = DeadlineAfter(MonotonicNow(), duration);
    // An absolute deadline: a wait cut short by a signal resumes for what is left.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace

struct timespec DeadlineAfter(const struct timespec& start, uint32_t limit_ms) {
    struct timespec deadline = start;
    deadline.tv_sec += static_cast<time_t>(limit_ms / 1000);
    deadline.tv_nsec += static_cast<long>(limit_ms % 1000) * kNanosecondsPerMillisecond;
    if (deadline.tv_nsec >= kNanosecondsPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosecondsPerSecond;
    }
    return deadline;
}

int RemainingPollMilliseconds(const struct timespec& deadline, const struct timespec& now) {
    const time_t seconds = deadline.tv_sec - now.tv_sec;
    const long nanoseconds = deadline.tv_nsec - now.tv_nsec;
    if (seconds < 0 || (seconds == 0 && nanoseconds <= 0)) return 0;
    if (seconds > INT32_MAX / 1000) return INT32_MAX;
    const int64_t left_ns = static_cast<int64_t>(seconds) * kNanosecondsPerSecond + nanoseconds;
    const int64_t left_ms = (left_ns + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond;
    return left_ms > INT32_MAX ? INT32_MAX : static_cast<int>(left_ms);
}

// ---------------------------------------------------------------------------
// 4. Opening and closing
// ---------------------------------------------------------------------------
namespace {

// The exclusive flag stays on the tty while any descriptor holds it, so it is
// cleared before the close; closing also drops the advisory lock.
void ReleaseDevice(int fd, bool exclusive) {
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
}

// Exclusive use of an open device. The advisory lock binds every opener that
// takes it, root included; the tty's exclusive flag also stops openers that
// take no lock, except root. A device that is no tty has no such flag; the
// settings read turns it away. Returns false when another opener holds it.
bool TakeExclusiveUse(int fd, bool* exclusive) {
    *exclusive = false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    if (ioctl(fd, TIOCEXCL) == 0) {
        *exclusive = true;
        return true;
    }
    return errno == ENOTTY;
}

// The bits of the character format: data bits, parity, stop bits.
constexpr tcflag_t kCharacterFormat = CSIZE | PARENB | PARODD | CSTOPB | kStickParity;

// True when the device holds what `wanted` asks for in everything the
// transfer depends on but the character format: no translation, echo or line
// editing, no flow control, reads that return at once, the receiver on and
// no wait for carrier.
bool HoldsRawTransfer(const struct termios& held, const struct termios& wanted) {
    return held.c_iflag == wanted.c_iflag && held.c_oflag == wanted.c_oflag &&
           held.c_lflag == wanted.c_lflag &&
           (held.c_cflag & ~kCharacterFormat) == (wanted.c_cflag & ~kCharacterFormat) &&
           held.c_cc[VMIN] == wanted.c_cc[VMIN] && held.c_cc[VTIME] == wanted.c_cc[VTIME];
}

// Everything an open does after the device is open and held, for any name
// but "NUL".
int ConfigureLine(OpenPort* port, const LineSettings* line, uint16_t options) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) return kSerialNotSerial;
    uint32_t custom_rate = 0;
    if (TermiosFromLineSettings(line, &tio, &custom_rate) != kSerialOk) return kSerialSettingsRefused;
    // tcsetattr succeeds when any part of the change took and fails when none
    // did, so its result depends on what the device held before. A device
    // that keeps its own character format (a pseudo-terminal keeps 8 bits
    // without parity whatever it is told) fails it whenever the format was
    // all that was left to change, as on a second open with the same
    // settings. So the open is decided on what the device holds afterwards,
    // the character format apart, and the rate is read back as well.
    (void)tcsetattr(port->fd, TCSANOW, &tio);
    struct termios held;
    if (tcgetattr(port->fd, &held) != 0 || !HoldsRawTransfer(held, tio)) return kSerialSettingsRefused;
    if (custom_rate != 0) {
        if (SetCustomLineSpeed(port->fd, custom_rate) != 0) return kSerialSettingsRefused;
    } else if (cfgetospeed(&held) != cfgetospeed(&tio)) {
        return kSerialSettingsRefused;
    }
    ApplyModemLines(port->fd, ModemLinesFromOptions(options));
    return kSerialOk;
}

}  // namespace

int OpenSerialPort(const char* name, const LineSettings* line, uint16_t options,
                   SerialHandle* handle_out) {
    if (handle_out == nullptr) return kSerialOpenFailed;
    *handle_out = reinterpret_cast<SerialHandle>(kInvalidSerialHandleValue);
    char path[kDevicePathSize];
    if (line == nullptr || PosixDevicePath(name, path, sizeof path) != 0) return kSerialOpenFailed;
    OpenPort* port = FreeEntry();
    if (port == nullptr) return kSerialOpenFailed;

    // O_NONBLOCK: the open does not wait for carrier detect, and reads never
    // block (poll does the waiting). O_CLOEXEC: children do not inherit the
    // port or its lock.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kSerialOpenFailed;
    // Only the exact name opens the null device as it is, without taking it
    // for exclusive use (every "NUL" port shares it); other spellings go on to
    // the settings read, which the null device fails.
    const bool null_device = strcmp(name, "NUL") == 0;
    bool exclusive = false;
    if (!null_device && !TakeExclusiveUse(fd, &exclusive)) {
        ReleaseDevice(fd, exclusive);
        return kSerialOpenFailed;
    }
    port->fd = fd;
    port->readLimitMs = kReadLimitAfterOpenMs;
    port->nullDevice = null_device;
    port->exclusive = exclusive;
    port->handle = NextHandle();
    *handle_out = reinterpret_cast<SerialHandle>(port->handle);
    if (null_device) return kSerialOk;

    const int result = ConfigureLine(port, line, options);
    if (result != kSerialOk) {
        ReleaseDevice(port->fd, port->exclusive);
        *port = OpenPort{};
    }
    return result;
}

int CloseSerialPort(SerialHandle handle) {
    OpenPort* port = FindPort(handle);
    if (port == nullptr) return kSerialCallFailed;
    // Linux releases the descriptor even when close reports an error, so there
    // is nothing a caller could retry: the port is closed either way.
    ReleaseDevice(port->fd, port->exclusive);
    *port = OpenPort{};
    return kSerialOk;
}

// ---------------------------------------------------------------------------
// 5. Reading, the read limit, purging, writing
// ---------------------------------------------------------------------------
namespace {

// One read of up to `count` bytes under the port's total limit, counted from
// now. Returns when `count` bytes are in, when the limit runs out, or at once
// when the device has hung up or is the null device (poll reports it readable
// but it yields nothing). *received holds the bytes read. Returns false when
// the platform failed before any byte arrived.
bool ReadWithLimit(const OpenPort& port, uint8_t* buffer, size_t count, size_t* received) {
    *received = 0;
    if (count == 0) return true;
    const bool unlimited = port.readLimitMs == 0;
    const struct timespec deadline = DeadlineAfter(MonotonicNow(), port.readLimitMs);
    bool polled_readable = false;
    for (;;) {
        const ssize_t got = read(port.fd, buffer + *received, count - *received);
        if (got > 0) {
            *received += static_cast<size_t>(got);
            if (*received == count) return true;
            polled_readable = false;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return *received > 0;
        // Nothing to read although poll said there was: the far end hung up,
        // or this is the null device. Nothing more will come.
        if (polled_readable) return true;

        int wait_ms = -1;
        if (!unlimited) {
            wait_ms = RemainingPollMilliseconds(deadline, MonotonicNow());
            if (wait_ms == 0) return true;
        }
        struct pollfd watch = {port.fd, POLLIN, 0};
        const int ready = poll(&watch, 1, wait_ms);
        if (ready < 0) {
            // Interrupted: the next round waits only for what is left of the limit.
            if (errno == EINTR) continue;
            return *received > 0;
        }
        if ((watch.revents & POLLNVAL) != 0) return *received > 0;
        polled_readable = ready > 0;
    }
}

}  // namespace

int SetSerialReadTimeout(SerialHandle handle, int32_t timeout) {
    OpenPort* port = FindPort(handle);
    if (port == nullptr || port->nullDevice) return 0;
    const uint32_t previous_ms = port->readLimitMs;
    // Milliseconds as an unsigned 32-bit count, as the Windows backend keeps them.
    port->readLimitMs = static_cast<uint32_t>(timeout) * 10u;
    return static_cast<int32_t>(previous_ms) / 10;
}

int PurgeSerialInput(SerialHandle handle) {
    OpenPort* port = FindPort(handle);
    // Linux keeps no line-error state that stops transfers, so there is
    // nothing to clear. The count of waiting bytes is right in raw mode.
    if (port != nullptr) {
        int waiting = 0;
        if (ioctl(port->fd, TIOCINQ, &waiting) == 0 && waiting == 0) return kSerialOk;
    }
    const int saved = SetSerialReadTimeout(handle, kPurgeReadLimit);
    bool failed = false;
    for (;;) {
        uint8_t discarded[kPurgeBlockSize];
        size_t received = 0;
        if (port == nullptr || !ReadWithLimit(*port, discarded, sizeof discarded, &received)) {
            failed = true;
            break;
        }
        if (received != sizeof discarded) break;
    }
    if (saved != 0) SetSerialReadTimeout(handle, saved);
    return failed ? kSerialPurgeFailed : kSerialOk;
}

int WriteSerialPort(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written_out) {
    OpenPort* port = FindPort(handle);
    if (port == nullptr || (buffer == nullptr && count != 0)) return kSerialCallFailed;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    bool failed = false;
    // Writes have no limit: when the output queue is full, wait until it takes more.
    while (written < count && !failed) {
        const ssize_t put = write(port->fd, bytes + written, count - written);
        if (put > 0) {
            written += static_cast<uint32_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd watch = {port->fd, POLLOUT, 0};
            if (poll(&watch, 1, -1) < 0) {
                failed = errno != EINTR;
            } else if ((watch.revents & POLLOUT) == 0) {
                failed = true;  // hung up or in error: it will take nothing more
            }
        } else {
            failed = true;
        }
    }
    if (failed && written == 0) return kSerialCallFailed;
    if (written_out != nullptr) *written_out = written;
    return written == count ? kSerialOk : kSerialShortWrite;
}

int ReadSerialExact(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out) {
    if (read_out != nullptr) *read_out = 0;
    OpenPort* port = FindPort(handle);
    if (port == nullptr || buffer == nullptr || count > kLargestRead) return kSerialCallFailed;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t total = 0;
    // The first read is always made: a count of 0 reads nothing and fails.
    do {
        size_t received = 0;
        if (!ReadWithLimit(*port, bytes + total, count - total, &received) || received == 0) {
            return kSerialCallFailed;
        }
        total += static_cast<uint32_t>(received);
        if (read_out != nullptr) *read_out = total;
    } while (total < count);
    return kSerialOk;
}

// ---------------------------------------------------------------------------
// 6. Break
// ---------------------------------------------------------------------------
int SendSerialBreak(uint32_t duration, SerialHandle handle) {
    const OpenPort* port = FindPort(handle);
    if (port != nullptr) ioctl(port->fd, TIOCSBRK);
    SleepMilliseconds(duration);
    if (port != nullptr) ioctl(port->fd, TIOCCBRK);
    return kSerialOk;
}

int SerialSleep(uint32_t duration) {
    SleepMilliseconds(duration);
    return kSerialOk;
}
