// Feeds arbitrary bytes as one HTTP request (method, path, query, headers
// and body, split at "\n" and at ": ") to the face's exchange over its base
// paths, and checks:
//   - every answer has a status from 100 to 599 and the security headers;
//   - a body or headers over their bound are refused (413, 431) before the
//     handler sees them;
//   - no header of an answer holds a CR or LF (no answer can be split).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/http/http_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // Line 1 method, 2 path, 3 query, then headers up to an empty line, then the body.
    const std::vector<std::string> lines = SplitLikeTextReader(bytes);
    HttpRequest request;
    size_t at = 0;
    if (at < lines.size()) request.method = lines[at++];
    if (at < lines.size()) request.path = lines[at++];
    if (at < lines.size()) request.query = lines[at++];
    for (; at < lines.size() && !lines[at].empty(); ++at) {
        const size_t colon = lines[at].find(": ");
        request.headers.emplace_back(lines[at].substr(0, colon),
                                     colon == std::string::npos ? "" : lines[at].substr(colon + 2));
    }
    for (++at; at < lines.size(); ++at) request.body += lines[at] + "\n";
    // Large requests without large inputs: a byte of the method repeats the body.
    if (!request.method.empty() && request.method[0] == 'R') request.body.append(20000, 'r');

    bool handlerCalled = false;
    const HttpResponse response = AnswerRequest(
        [&](const HttpRequest& seen) {
            handlerCalled = true;
            return AnswerBasePaths(seen);
        },
        request);
    Require(response.status >= 100 && response.status <= 599, "a status outside 100..599");
    size_t headerBytes = 0;
    for (const auto& header : request.headers) headerBytes += header.first.size() + header.second.size() + 4;
    if (request.body.size() > kMostRequestBodyBytes) {
        Require(response.status == 413 && !handlerCalled, "a body over the bound reached the handler");
    } else if (headerBytes > kMostRequestHeaderBytes) {
        Require(response.status == 431 && !handlerCalled, "headers over the bound reached the handler");
    }
    bool policy = false;
    bool nosniff = false;
    for (const auto& header : response.headers) {
        Require(header.first.find_first_of("\r\n") == std::string::npos &&
                    header.second.find_first_of("\r\n") == std::string::npos,
                "a header of the answer holds a line end");
        policy = policy || header.first == "Content-Security-Policy";
        nosniff = nosniff || (header.first == "X-Content-Type-Options" && header.second == "nosniff");
    }
    Require(policy && nosniff, "an answer without the security headers");
    return 0;
}
