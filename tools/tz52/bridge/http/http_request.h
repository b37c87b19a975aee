// The HTTP face's requests and answers without sockets: what a handler is
// given (HttpRequest), what it gives back (HttpResponse: a whole body, or a
// stream of Server-Sent Events), and the HttpRouter that finds the handler
// for a method and a path. The server (http_server.h) fills requests from
// the connections and sends the answers; everything here is pure, so that a
// fuzz target can drive it whole.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_REQUEST_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/tz52/output/json.h"

// Headers and a body beyond these are refused (431 and 413).
constexpr size_t kHttpMostHeaderBytes = 16 * 1024;
constexpr size_t kHttpMostBodyBytes = 16 * 1024;

using HttpFields = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named `name` (compared without case), or
// nullptr.
const std::string* FindHttpField(const HttpFields& fields, const std::string& name);

struct HttpRequest {
    std::string method;  // as sent: "GET", "PUT", ...
    std::string path;    // decoded, without the query
    HttpFields query;    // in the order sent
    HttpFields headers;
    HttpFields cookies;
    std::string body;
    std::string peer;    // "ADDRESS:PORT" or "[ADDRESS]:PORT"
    bool tls = false;    // came over HTTPS
    // HTTP Basic credentials, when the request carries them.
    bool basic = false;
    std::string basicUser;
    std::string basicPassword;
    // The {name} parts of the route's pattern, filled by the router.
    std::map<std::string, std::string> pathParameters;

    const std::string* Header(const std::string& name) const { return FindHttpField(headers, name); }
    const std::string* Query(const std::string& name) const { return FindHttpField(query, name); }
    const std::string* Cookie(const std::string& name) const;
};

class HttpStream;

struct HttpResponse {
    int status = 200;
    HttpFields headers;  // Content-Type among them
    std::string body;
    // Set for an event stream: the server answers text/event-stream and
    // hands the open stream to this once the client has it; `body` is
    // then unused.
    std::function<void(std::shared_ptr<HttpStream>)> stream;
    // Set for an answer that comes later (after a write, a login's check):
    // the server keeps the connection waiting and calls this at once with
    // the function that gives the answer, once, from any thread; `status`
    // and `body` are then unused.
    std::function<void(std::function<void(HttpResponse)> answer)> later;
};

// A JSON document as the body; text from outside in it never makes the
// writing throw (bytes that are not UTF-8 are replaced).
HttpResponse JsonResponse(int status, const Json& document);
// {"error": MESSAGE} with the status.
HttpResponse ErrorResponse(int status, const std::string& message);
HttpResponse TextResponse(int status, const std::string& contentType, std::string body);
// An answer that comes later (HttpResponse::later).
HttpResponse LaterResponse(std::function<void(std::function<void(HttpResponse)>)> start);
// An answer that is a stream of Server-Sent Events.
HttpResponse StreamResponse(std::function<void(std::shared_ptr<HttpStream>)> start);

// The headers every answer carries: no script but the face's own, no
// framing, no sniffing, no referrer, and nothing of the API or the
// metrics kept in a cache. Fields the handler set already are kept.
void AddSecurityHeaders(const std::string& path, HttpResponse* response);

// The bytes the bound on headers counts: the path and each header.
size_t HttpHeaderBytes(const HttpRequest& request);
// True, with the refusal in *refusal (431 for headers, 413 for a body;
// Connection: close and the security headers on it), when `request` or a
// body of `bodyBytes` (announced, before it comes) exceeds the bounds.
bool RefuseBeyondBounds(const HttpRequest& request, uint64_t bodyBytes, HttpResponse* refusal);

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// Routes by method and path pattern: "/api/v1/points/{address}" matches
// "/api/v1/points/M1" with the parameter address "M1" (a parameter is one
// whole, non-empty segment). A GET route answers HEAD too. A path no route
// has is 404; a path routed only for other methods is 405 with Allow.
class HttpRouter {
public:
    void Add(const std::string& method, const std::string& pattern, HttpHandler handler);
    // The handler's answer with the security headers added; a request
    // beyond the bounds is refused before any handler sees it.
    HttpResponse Handle(HttpRequest request) const;

private:
    struct Route {
        std::string method;
        std::vector<std::string> segments;
        HttpHandler handler;
    };
    std::vector<Route> routes_;
};

// The face's own paths before any API: GET /healthz (200 "ok") and GET /
// (a page listing the API).
void AddBasePaths(HttpRouter* router);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_REQUEST_H
