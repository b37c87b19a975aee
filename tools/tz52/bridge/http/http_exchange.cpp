#include "tools/tz52/bridge/http/http_exchange.h"

namespace {

const char kApiListPage[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\"><head><meta charset=\"utf-8\"><title>tz52 bridge</title></head>\n"
    "<body><h1>tz52 bridge</h1>\n"
    "<p>The bridge's HTTP face. Paths:</p>\n"
    "<ul>\n"
    "<li><a href=\"/healthz\">/healthz</a>: 200 while the bridge runs</li>\n"
    "<li>/api/v1/: the points, the line and its events, as JSON</li>\n"
    "<li>/metrics: the Prometheus text format</li>\n"
    "</ul></body></html>\n";

HttpResponse Plain(int status, const std::string& text) {
    HttpResponse response;
    response.status = status;
    response.body = text + "\n";
    return response;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// What every answer carries: no script but the face's own, no sniffing of
// types, no framing, no referrer; answers of the API are never cached.
void AddSecurityHeaders(const HttpRequest& request, HttpResponse* response) {
    HttpHeaders& headers = response->headers;
    headers.emplace_back("Content-Security-Policy",
                         "default-src 'self'; script-src 'self'; style-src 'self'; object-src 'none'; "
                         "base-uri 'none'; frame-ancestors 'none'; form-action 'self'");
    headers.emplace_back("X-Content-Type-Options", "nosniff");
    headers.emplace_back("X-Frame-Options", "DENY");
    headers.emplace_back("Referrer-Policy", "no-referrer");
    if (StartsWith(request.path, "/api/")) headers.emplace_back("Cache-Control", "no-store");
}

size_t HeaderBytes(const HttpRequest& request) {
    size_t bytes = 0;
    for (const auto& header : request.headers) bytes += header.first.size() + header.second.size() + 4;
    return bytes;
}

}  // namespace

HttpResponse AnswerBasePaths(const HttpRequest& request) {
    const bool known = request.path == "/" || request.path == "/healthz";
    if (!known) return Plain(404, "not found");
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse response = Plain(405, "method not allowed");
        response.headers.emplace_back("Allow", "GET, HEAD");
        return response;
    }
    if (request.path == "/healthz") return Plain(200, "ok");
    HttpResponse page;
    page.contentType = "text/html; charset=utf-8";
    page.body = kApiListPage;
    return page;
}

HttpResponse AnswerRequest(const HttpHandler& handler, const HttpRequest& request) {
    HttpResponse response;
    if (request.bodyTooLarge || request.body.size() > kMostRequestBodyBytes) {
        response = Plain(413, "the body is larger than " + std::to_string(kMostRequestBodyBytes) + " bytes");
        response.headers.emplace_back("Connection", "close");
    } else if (HeaderBytes(request) > kMostRequestHeaderBytes) {
        response = Plain(431, "the headers are larger than " + std::to_string(kMostRequestHeaderBytes) + " bytes");
        response.headers.emplace_back("Connection", "close");
    } else {
        response = handler(request);
    }
    AddSecurityHeaders(request, &response);
    return response;
}
