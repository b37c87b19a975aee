// Internals of the POSIX serial backend, kept apart so that tests can check
// them directly: the line-settings mapping to termios,
// the choice of modem lines, the read-deadline arithmetic and the line speeds
// that termios has no constant for.
//
// No <termios.h> here: serial_posix_termios2.cpp includes this header next
// to <asm/termbits.h>, whose struct termios clashes with the C library's.
#ifndef TZ52DRV_SERIAL_SERIAL_POSIX_LINE_H
#define TZ52DRV_SERIAL_SERIAL_POSIX_LINE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "driver/driver_api.h"
#include "serial/port_names.h"

struct termios;

// How many ports may be open at once; an open beyond that fails with 1.
constexpr int kMaxOpenSerialPorts = 32;

// The value a failed open stores in its handle out-parameter: all bits set,
// as the Windows invalid handle.
constexpr uintptr_t kInvalidSerialHandleValue = UINTPTR_MAX;

// Makes `tio` raw (no echo, no line editing, no translation, VMIN = VTIME = 0,
// reads return at once) and sets the line fields: data bits 5 to 8, parity
// none/odd/even/mark/space, one or two stop bits (one and a half only with
// 5 data bits, where the UART sends one and a half for the two-stop setting),
// no XON/XOFF, no CTS gating, parity errors delivered as received.
// A standard rate is set with cfset*speed and *custom_rate becomes 0; any other
// rate is left to SetCustomLineSpeed and stored in *custom_rate.
// Returns 0, or 5 (kSerialSettingsRefused) for a rate of 0 or a field out of
// range; then `tio` may be partly changed.
int TermiosFromLineSettings(const LineSettings* line, struct termios* tio, uint32_t* custom_rate);

// The modem lines a port gets from its option word: bits of TIOCM_DTR and
// TIOCM_RTS to raise and to lower, and whether RTS should follow the
// transmitter (RS-485 mode). See serial.h for the nearest-behaviour rules.
struct ModemLineChoice {
    int raise;
    int lower;
    bool rtsToggle;
};
ModemLineChoice ModemLinesFromOptions(uint16_t options);

// The moment `limit_ms` milliseconds after `start`: the deadline of a read
// with that total limit, or the end of a sleep.
struct timespec DeadlineAfter(const struct timespec& start, uint32_t limit_ms);

// Milliseconds left until `deadline` as a poll timeout: rounded up, so a wait
// never ends early; 0 once the deadline has passed; at most INT32_MAX.
int RemainingPollMilliseconds(const struct timespec& deadline, const struct timespec& now);

// Sets input and output speed to `rate` through the Linux termios2 interface
// and reads it back. Returns 0, or -1 when the line refuses the rate or the
// platform has no such interface.
int SetCustomLineSpeed(int fd, uint32_t rate);

#endif  // TZ52DRV_SERIAL_SERIAL_POSIX_LINE_H
