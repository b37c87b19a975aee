// Internals of the Windows serial backend, kept apart so that tests can check
// them directly: the line settings and the DTR and RTS control that an open
// writes into the device's DCB.
#ifndef TZ52DRV_SERIAL_SERIAL_WIN32_LINE_H
#define TZ52DRV_SERIAL_SERIAL_WIN32_LINE_H

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdint.h>

#include "driver/driver_api.h"

// The replacement byte for characters with a parity error; inactive, since
// fErrorChar is off.
constexpr BYTE kParityReplacementByte = 0xFC;

// Changes the fields of `dcb` that an open sets: the rate, the low bytes of
// data bits, parity and stop bits, raw 8-bit transfer (binary, parity
// checking on, no error replacement, NUL bytes kept, no abort on error), no
// XON/XOFF, no CTS/DSR gating or DSR sensitivity, DTR and RTS control from
// `options`. Every other field keeps the value read from the device.
void ApplyLineSettings(DCB* dcb, const LineSettings& line, uint16_t options);

#endif  // _WIN32

#endif  // TZ52DRV_SERIAL_SERIAL_WIN32_LINE_H
