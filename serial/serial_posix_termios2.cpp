// Line speeds without a termios constant (14400, 28800, 56000, ...), set
// through the Linux termios2 interface. This file stands alone because
// <asm/termbits.h> defines its own struct termios, which clashes with the one
// of <termios.h>.
#include "serial/serial_posix_line.h"

#if defined(__linux__)

#include <asm/termbits.h>
#include <sys/ioctl.h>

int SetCustomLineSpeed(int fd, uint32_t rate) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
    // BOTHER takes the exact rate from c_ospeed; clearing the input speed
    // field makes input follow output.
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER;
    settings.c_ospeed = rate;
    settings.c_ispeed = rate;
    if (ioctl(fd, TCSETS2, &settings) != 0) return -1;
    // The call succeeds when any part of the change took; only the read-back
    // shows whether the driver kept the rate.
    struct termios2 applied;
    if (ioctl(fd, TCGETS2, &applied) != 0) return -1;
    return applied.c_ospeed == rate ? 0 : -1;
}

#else

int SetCustomLineSpeed(int, uint32_t) { return -1; }

#endif
