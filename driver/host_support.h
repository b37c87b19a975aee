// The host support library's error report, imported from ZOLVAR. The driver
// calls it once, when Open fails; its result is ignored.
#ifndef TZ52DRV_DRIVER_HOST_SUPPORT_H
#define TZ52DRV_DRIVER_HOST_SUPPORT_H

#ifdef __cplusplus
extern "C" {
#endif

// cdecl and variadic, printf-style. On Linux the stand-in library gives this
// symbol a version of its own, so the reference binds to the host library and
// never to glibc's err(3), which would end the process.
int err(int level, const char* format, ...);

#ifdef __cplusplus
}
#endif

// Level of the Open failure report.
enum { kErrLevelOpenFailure = 32 };

#endif  // TZ52DRV_DRIVER_HOST_SUPPORT_H
