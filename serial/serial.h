// Serial port access: the only code that touches a serial device.
//
// One backend per platform implements these routines (serial_posix.cpp with
// termios, serial_win32.cpp with the KERNEL32 communications calls); the
// tests link a fake line in their place. Which device a port name opens is
// the platform's rule in port_names.h, which the tools use as well. The routines are synchronous, keep
// no state of their own beyond the open device, and return a status code
// (0 success) except SetSerialReadTimeout, which returns a time.
//
// Every open device carries a total read limit: a read of n bytes returns as
// soon as n bytes have arrived, or when the limit, counted from the start of
// that read, has run out, with whatever arrived. A limit of 0 waits without
// limit. Right after opening the limit is 1000 ms. Writes have no limit.
#ifndef TZ52DRV_SERIAL_SERIAL_H
#define TZ52DRV_SERIAL_SERIAL_H

#include <cstdint>

#include "driver/driver_api.h"

// Names an open device. Null means no port. On Windows it is the handle of
// CreateFileA; on POSIX a value that names a slot of the backend's fixed table
// of open ports.
typedef void* SerialHandle;

// Status codes of the serial routines.
enum SerialResult {
    kSerialOk = 0,
    kSerialOpenFailed = 1,       // OpenSerialPort: cannot open, or cannot set the time limits
    kSerialPurgeFailed = 1,      // PurgeSerialInput: the last discarding read failed
    kSerialShortWrite = 2,       // WriteSerialPort: the call took fewer bytes than asked
    kSerialNotSerial = 4,        // OpenSerialPort: line settings cannot be read
    kSerialSettingsRefused = 5,  // OpenSerialPort: line settings cannot be applied
    kSerialCallFailed = 7        // the platform call failed; ReadSerialExact: also a limit passed with no byte
};

// Option word bits that select DTR and RTS control; each line takes the
// first matching row.
//   DTR: 0x0101 on; else 0x8000 handshake; else off.
//   RTS: 0x0202 on; else 0x1000 handshake; else 0x2000 toggle; else off.
// Linux has no DTR flow control, and its RTS flow control would also make
// sending wait for CTS, so the POSIX backend does the nearest: handshake
// keeps the line raised (always ready to receive). Toggle puts the port in
// RS-485 mode, RTS raised while sending, where the driver offers it; on other
// ports RTS is held low. Devices without modem lines (pseudo-terminals) open
// all the same.
enum SerialLineControl {
    kLineControlOff = 0,
    kLineControlOn = 1,
    kLineControlHandshake = 2,
    kLineControlToggle = 3  // RTS only: raised while bytes are being sent
};
SerialLineControl DtrControlFromOptions(uint16_t options);
SerialLineControl RtsControlFromOptions(uint16_t options);

// Opens the device `name` for exclusive use and configures it: raw 8-bit
// transfer, the line fields of `line` (baud rate; low bytes of data bits,
// stop-bits code and parity code), no XON/XOFF, no CTS/DSR output gating,
// DTR and RTS from `options`, a total read limit of 1000 ms. The handle is
// stored in *handle_out at once, also the invalid value when the open fails;
// after a non-zero result it must not be used (the device is closed again).
// The exact name "NUL" opens the null device and applies nothing.
// Returns 0; 1 cannot open (missing, or held by another opener), a null
// name, line or handle_out, or the time limits cannot be set; 4 the line
// settings cannot be read (not a serial line); 5 the line settings cannot be
// applied: the line cannot have them (data bits outside 5 to 8, one and a half
// stop bits with 6 to 8 data bits, two with 5, ...) or the device does not
// hold the rate or the raw transfer asked for. On POSIX a device that keeps a
// character format of its own (a pseudo-terminal) is not refused for it.
int OpenSerialPort(const char* name, const LineSettings* line, uint16_t options,
                   SerialHandle* handle_out);

// Closes the device. Returns 0, or 7 when the platform refuses (the caller
// keeps the handle).
int CloseSerialPort(SerialHandle handle);

// Sets the total read limit to `timeout` x 10 ms (applied only when it
// differs). Returns the previous limit in units of 10 ms, truncated; 0 on
// failure (indistinguishable from a previous limit below 10 ms).
int SetSerialReadTimeout(SerialHandle handle, int32_t timeout);

// Drops pending input. When the device reports nothing waiting, returns 0 at
// once. Otherwise lowers the read limit to 50 ms, reads and drops 512-byte
// blocks until a read fails or delivers fewer than 512, and puts the previous
// limit back unless it was below 10 ms. Returns 1 if the last read failed,
// else 0.
int PurgeSerialInput(SerialHandle handle);

// Writes `count` bytes with one call. Stores the number written in
// *written_out when it is not null. Returns 0 when all were taken, 2 when
// fewer were, 7 when the call failed (written_out untouched).
int WriteSerialPort(SerialHandle handle, const void* buffer, uint32_t count,
                    uint32_t* written_out);

// Reads exactly `count` bytes (at most 65535), each underlying read waiting at
// most one whole read limit. *read_out (when not null) holds the number of
// bytes received so far. Returns 0 when all arrived; 7 when a read failed or a
// whole limit passed without a byte (the bytes that came stay in the buffer
// and are counted). A count of 0 makes one empty read and returns 7.
int ReadSerialExact(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out);

// Holds the line in the break state for `duration` ms. Returns 0.
int SendSerialBreak(uint32_t duration, SerialHandle handle);

// Waits `duration` ms. Returns 0.
int SerialSleep(uint32_t duration);

#endif  // TZ52DRV_SERIAL_SERIAL_H
