#include "tools/common/posix/line_ports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/common/posix/system_error.h"

namespace tz52line {

namespace {

struct BaudConstant {
    uint32_t rate;
    speed_t constant;
};

constexpr BaudConstant kBaudConstants[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
};

void CloseDescriptor(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

int BitsPerCharacter(const LineFormat& format) {
    return 1 + format.dataBits + (format.parity == 'N' ? 0 : 1) + format.stopBits;
}

bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error) {
    PseudoTerminal made;
    made.controlFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (made.controlFd < 0) {
        *error = SystemError("posix_openpt", "O_RDWR");
        return false;
    }
    char name[128];
    if (grantpt(made.controlFd) != 0 || unlockpt(made.controlFd) != 0 ||
        ptsname_r(made.controlFd, name, sizeof name) != 0) {
        *error = SystemError("grantpt/unlockpt/ptsname_r", "pseudo-terminal");
        ClosePseudoTerminal(&made);
        return false;
    }
    made.path = name;
    made.portName = made.path.compare(0, 5, "/dev/") == 0 ? made.path.substr(5) : made.path;
    made.terminalFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    bool ok = made.terminalFd >= 0;
    if (!ok) *error = SystemError("open", made.path);
    if (ok && tcgetattr(made.terminalFd, &settings) != 0) {
        *error = SystemError("tcgetattr", made.path);
        ok = false;
    }
    if (ok) {
        cfmakeraw(&settings);
        if (tcsetattr(made.terminalFd, TCSANOW, &settings) != 0) {
            *error = SystemError("tcsetattr", made.path);
            ok = false;
        }
    }
    const int flags = ok ? fcntl(made.controlFd, F_GETFL) : -1;
    if (ok && (flags < 0 || fcntl(made.controlFd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        *error = SystemError("fcntl", "O_NONBLOCK");
        ok = false;
    }
    if (!ok) {
        ClosePseudoTerminal(&made);
        return false;
    }
    *terminal = made;
    return true;
}

void ClosePseudoTerminal(PseudoTerminal* terminal) {
    CloseDescriptor(&terminal->controlFd);
    CloseDescriptor(&terminal->terminalFd);
}

bool OpenRawDevice(const std::string& path, uint32_t baud, const LineFormat& format, int* fd,
                   std::string* error) {
    speed_t speed = 0;
    bool known = false;
    for (const BaudConstant& entry : kBaudConstants) {
        if (entry.rate == baud) {
            speed = entry.constant;
            known = true;
        }
    }
    if (!known) {
        *error = "--baud " + std::to_string(baud) +
                 ": a device takes a standard rate (300 to 230400)";
        return false;
    }
    const int opened = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) {
        *error = SystemError("open", path);
        return false;
    }
    termios settings{};
    if (tcgetattr(opened, &settings) != 0) {
        *error = SystemError("tcgetattr", path) + " (not a serial device?)";
        close(opened);
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS));
    const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= kSizes[format.dataBits - 5] | CREAD | CLOCAL;
    switch (format.parity) {
        case 'E': settings.c_cflag |= PARENB; break;
        case 'O': settings.c_cflag |= PARENB | PARODD; break;
        case 'M': settings.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 'S': settings.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (format.stopBits == 2) settings.c_cflag |= CSTOPB;
    settings.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | IXANY | INPCK));
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(opened, TCSANOW, &settings) != 0) {
        *error = SystemError("tcsetattr", path);
        close(opened);
        return false;
    }
    tcflush(opened, TCIOFLUSH);
    *fd = opened;
    return true;
}

bool MakeLink(const std::string& link, const std::string& target, const std::string& option,
              std::string* error) {
    struct stat existing {};
    if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        *error = option + " " + link + ": exists and is not a symlink; not replacing it";
        return false;
    }
    // Made under a temporary name and renamed, so a host never finds the
    // link missing while it moves from an earlier program to this one.
    const std::string temporary = link + ".tz52link." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        *error = SystemError("symlink", temporary);
        return false;
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        *error = SystemError("rename", link);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void RemoveLinkIfOurs(const std::string& link, const std::string& target) {
    char pointsAt[4096];
    const ssize_t length = readlink(link.c_str(), pointsAt, sizeof pointsAt - 1);
    if (length < 0) return;
    pointsAt[length] = '\0';
    if (target == pointsAt) unlink(link.c_str());
}

}  // namespace tz52line
