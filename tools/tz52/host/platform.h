// What the command-line host needs from the operating system: loading the
// driver library as a host application does, the host support library's
// report read-back, the terminal, sleeping, and a closer look at a port that
// would not open. One implementation per platform: platform_posix.cpp
// (dlopen) and platform_win32.cpp (LoadLibrary).
#ifndef TZ52_TOOLS_TZ52_HOST_PLATFORM_H
#define TZ52_TOOLS_TZ52_HOST_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/driver_api.h"

typedef int32_t(QMX_CALL* QmxMainFunction)(DriverRequest* request);

// The file name of the driver library on this platform.
extern const char kDriverLibraryFileName[];

// The driver library beside the running executable.
std::string DefaultDriverLibraryPath();

// Loads the library at `path` and finds QmxMain. On failure returns false
// and says why in *error (the loader's own words).
bool LoadDriverLibrary(const std::string& path, QmxMainFunction* entry, std::string* error);

// The read-back of the host support library that the driver reports through
// (err). Every member is null when the loaded library has none.
struct HostReportAccess {
    int (*reportCount)();
    const char* (*lastMessage)();
    void (*setEcho)(int enabled);
};
HostReportAccess FindHostReport();

// True when `stream` is an interactive terminal that understands the cursor
// movements a redrawn table needs.
bool CanRedrawInPlace(FILE* stream);

// True when `stream` is an interactive terminal (a person may answer).
bool IsTerminal(FILE* stream);

// Puts what was written to `stream` on the disk, past the system's cache.
// False, with errno set, when the flush or the sync failed (a full disk);
// a pipe or a device that has no disk to sync to counts as done.
bool SyncToDisk(FILE* stream);

// Puts `from` in the place of `to` in one step, replacing a file there; on
// failure `to` is left as it was and errno says why.
bool ReplaceFileWith(const std::string& from, const std::string& to);

void SleepMilliseconds(int64_t milliseconds);

// Milliseconds from an arbitrary fixed point, never going back.
int64_t MonotonicMilliseconds();

// Opens the device the driver would open for `portName` (by the driver's own
// port-name rule) once more, as the driver opens it, only to learn why the
// driver could not: the device path and the system's reason, for a busy
// device that another program holds it (on Linux, which one, where its lock
// or its open descriptor shows it), or an empty text when the device opens
// and is a serial line. *systemError, when given, gets the errno of the
// failure (EBUSY for a lock another program holds; 0 when the device opens,
// or on Windows).
std::string DiagnosePortOpen(const std::string& portName, int* systemError = nullptr);

// The version of the driver library at `path` as its file says it
// (libtz52drv.so.1.0.0 on Linux, the version resource on Windows), or an
// empty text when the file does not say.
std::string DriverLibraryVersion(const std::string& path);

#endif  // TZ52_TOOLS_TZ52_HOST_PLATFORM_H
