// Which device a port name opens. Each platform has one rule, kept here and
// nowhere else: the platform's serial backend opens the device it names, and
// the tools show and open the same device when they explain a failed open.
// Both rules are plain string work without platform calls, so both compile,
// and are tested, on every platform.
#ifndef TZ52DRV_SERIAL_PORT_NAMES_H
#define TZ52DRV_SERIAL_PORT_NAMES_H

#include <stddef.h>

// Room for the device path of any name a PortSettings block holds, under
// either rule, terminator included.
constexpr size_t kDevicePathSize = 64;

// The POSIX rule:
//   any spelling of "nul"           -> /dev/null
//   "COMn", n from 1, any case      -> /dev/ttyS(n-1)
//   a name starting with '/' or '.' -> the name itself, as a path
//   any other name                  -> /dev/<name>  ("ttyUSB0", "pts/7")
// Writes the path into `path`. Returns 0, or -1 for a null or empty name or
// one whose path does not fit `path_size`.
int PosixDevicePath(const char* name, char* path, size_t path_size);

// The Windows rule: "COMn" with n of 10 or more (any letter case, no leading
// zeros) -> \\.\COMn, since Windows opens those only through the device
// namespace; any other name as it stands. Returns as PosixDevicePath.
int WindowsDevicePath(const char* name, char* path, size_t path_size);

#endif  // TZ52DRV_SERIAL_PORT_NAMES_H
