/*
 * Stand-in for the host's support library (ZOLVAR). It provides err(), the
 * report the driver calls when Open fails, prints what it receives to stderr
 * and keeps the last report so that tests and tools can read it back.
 */
#ifndef TZ52DRV_HOST_ZOLVAR_H
#define TZ52DRV_HOST_ZOLVAR_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZOLVAR_API __declspec(dllexport)
#else
#define ZOLVAR_API __attribute__((visibility("default")))
#endif

/* Number of reports received since the last reset. */
ZOLVAR_API int ZolvarReportCount(void);
/* Level of the last report, or -1 when there is none. */
ZOLVAR_API int ZolvarLastLevel(void);
/* The last report, formatted; empty when there is none. */
ZOLVAR_API const char* ZolvarLastMessage(void);
/* The format string of the last report, as received; empty when none. */
ZOLVAR_API const char* ZolvarLastFormat(void);
/* Forgets every report. */
ZOLVAR_API void ZolvarReset(void);
/* 0 silences the stderr echo (tests that provoke many reports); 1 restores it. */
ZOLVAR_API void ZolvarSetEcho(int enabled);

#ifdef __cplusplus
}
#endif

#endif /* TZ52DRV_HOST_ZOLVAR_H */
