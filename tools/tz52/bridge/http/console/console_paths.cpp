#include <string>

#include "tools/tz52/bridge/http/console/console_files.h"
#include "tools/tz52/bridge/http/http_request.h"

void AddConsolePaths(HttpRouter* router) {
    for (size_t i = 0; i < kConsoleFileCount; ++i) {
        const ConsoleFile& file = kConsoleFiles[i];
        const std::string name = file.name;
        const std::string path = name == "index.html" ? "/" : "/console/" + name;
        router->Add("GET", path, [&file](const HttpRequest&) {
            HttpResponse response = TextResponse(200, file.contentType,
                                                 std::string(reinterpret_cast<const char*>(file.bytes), file.size));
            response.headers.emplace_back("Cache-Control", "no-cache");
            return response;
        });
    }
}
