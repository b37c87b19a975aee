/*
 * The host support library stand-in. err() is printf-style; it prints
 * "ZOLVAR err(level): message" to stderr and keeps the last report.
 */
#include "host/zolvar.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#define ZOLVAR_CDECL __cdecl
#else
#define ZOLVAR_CDECL
#endif

enum { kMessageSize = 512 };

static int g_reportCount;
static int g_lastLevel = -1;
static char g_lastMessage[kMessageSize];
static char g_lastFormat[kMessageSize];
static int g_echo = 1;

ZOLVAR_API int ZOLVAR_CDECL err(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(g_lastMessage, sizeof g_lastMessage, format ? format : "", args);
    va_end(args);
    snprintf(g_lastFormat, sizeof g_lastFormat, "%s", format ? format : "");
    g_lastLevel = level;
    ++g_reportCount;
    if (g_echo) {
        fprintf(stderr, "ZOLVAR err(%d): %s\n", level, g_lastMessage);
        fflush(stderr);
    }
    return 0;
}

int ZolvarReportCount(void) { return g_reportCount; }
int ZolvarLastLevel(void) { return g_lastLevel; }
const char* ZolvarLastMessage(void) { return g_lastMessage; }
const char* ZolvarLastFormat(void) { return g_lastFormat; }

void ZolvarReset(void) {
    g_reportCount = 0;
    g_lastLevel = -1;
    g_lastMessage[0] = '\0';
    g_lastFormat[0] = '\0';
}

void ZolvarSetEcho(int enabled) { g_echo = enabled; }
