// The console in the browser, built into the bridge: its files, embedded at
// build time from tools/tz52/bridge/http/console/ (nothing is fetched at run
// time), and the routes that serve them: GET / the page, GET /console/NAME
// its scripts and styles. Nothing else is served as a file.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_CONSOLE_CONSOLE_FILES_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_CONSOLE_CONSOLE_FILES_H

#include <cstddef>

class HttpRouter;

struct ConsoleFile {
    const char* name;         // "index.html", "console.js"
    const char* contentType;
    const unsigned char* bytes;
    size_t size;
};

extern const ConsoleFile kConsoleFiles[];
extern const size_t kConsoleFileCount;
extern const size_t kConsoleBytes;

// GET / (index.html) and GET /console/NAME for every other file; each
// answer may be kept by the browser only if it asks again first, so that a
// new bridge's console is taken at once.
void AddConsolePaths(HttpRouter* router);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_CONSOLE_CONSOLE_FILES_H
