// One HTTP exchange of the face without a socket: the request as the server
// took it, the answer the face's pure handler gives, and what every answer
// carries whatever the handler said (the bounds on a request, the security
// headers). The server (http_server.cpp) only moves these between
// libmicrohttpd and the handler, so a fuzz target drives all of the rest.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_EXCHANGE_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_EXCHANGE_H

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

constexpr size_t kMostRequestHeaderBytes = 16 * 1024;
constexpr size_t kMostRequestBodyBytes = 16 * 1024;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // the arguments after "?", decoded, as NAME=VALUE joined by "&"
    HttpHeaders headers;
    std::string body;
    bool bodyTooLarge = false;  // more than kMostRequestBodyBytes came; body holds none of it
    std::string clientAddress;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    HttpHeaders headers;
    std::string body;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// The face's own paths before any API: GET /healthz (200 "ok") and GET /
// (a page listing the API); 404 for any other path, 405 for another method.
HttpResponse AnswerBasePaths(const HttpRequest& request);

// The answer to `request`: refused when over a bound (413, 431), else the
// handler's; then the security headers on it.
HttpResponse AnswerRequest(const HttpHandler& handler, const HttpRequest& request);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_EXCHANGE_H
