#include "tools/tz52/bridge/http/http_request.h"

#include <strings.h>

#include <algorithm>

namespace {

// No inline script or style, nothing from elsewhere, no framing: a page of
// the face can run only the face's own files.
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

const HttpFields kSecurityHeaders = {
    {"Content-Security-Policy", kContentSecurityPolicy},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

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

bool IsUncachedPath(const std::string& path) {
    return path.rfind("/api/", 0) == 0 || path == "/api" || path == "/metrics";
}

std::vector<std::string> Segments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        segments.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return segments;
}

bool IsParameter(const std::string& segment) {
    return segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
}

bool Matches(const std::vector<std::string>& pattern, const std::vector<std::string>& segments,
             std::map<std::string, std::string>* parameters) {
    if (pattern.size() != segments.size()) return false;
    std::map<std::string, std::string> found;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (IsParameter(pattern[i])) {
            if (segments[i].empty()) return false;
            found[pattern[i].substr(1, pattern[i].size() - 2)] = segments[i];
        } else if (pattern[i] != segments[i]) {
            return false;
        }
    }
    *parameters = std::move(found);
    return true;
}

}  // namespace

const std::string* FindHttpField(const HttpFields& fields, const std::string& name) {
    for (const auto& field : fields) {
        if (strcasecmp(field.first.c_str(), name.c_str()) == 0) return &field.second;
    }
    return nullptr;
}

// Cookie names are case-sensitive, unlike header names.
const std::string* HttpRequest::Cookie(const std::string& name) const {
    for (const auto& cookie : cookies) {
        if (cookie.first == name) return &cookie.second;
    }
    return nullptr;
}

HttpResponse JsonResponse(int status, const Json& document) {
    return TextResponse(status, "application/json", JsonText(document) + "\n");
}

HttpResponse ErrorResponse(int status, const std::string& message) {
    return JsonResponse(status, Json{{"error", message}});
}

HttpResponse TextResponse(int status, const std::string& contentType, std::string body) {
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Content-Type", contentType);
    response.body = std::move(body);
    return response;
}

HttpResponse LaterResponse(std::function<void(std::function<void(HttpResponse)>)> start) {
    HttpResponse response;
    response.later = std::move(start);
    return response;
}

HttpResponse StreamResponse(std::function<void(std::shared_ptr<HttpStream>)> start) {
    HttpResponse response;
    response.headers.emplace_back("Content-Type", "text/event-stream");
    response.stream = std::move(start);
    return response;
}

void AddSecurityHeaders(const std::string& path, HttpResponse* response) {
    for (const auto& header : kSecurityHeaders) {
        if (FindHttpField(response->headers, header.first) == nullptr) response->headers.push_back(header);
    }
    if (IsUncachedPath(path) && FindHttpField(response->headers, "Cache-Control") == nullptr) {
        response->headers.emplace_back("Cache-Control", "no-store");
    }
}

size_t HttpHeaderBytes(const HttpRequest& request) {
    size_t bytes = request.path.size();
    for (const auto& header : request.headers) bytes += header.first.size() + header.second.size() + 4;
    return bytes;
}

bool RefuseBeyondBounds(const HttpRequest& request, uint64_t bodyBytes, HttpResponse* refusal) {
    if (HttpHeaderBytes(request) > kHttpMostHeaderBytes) {
        *refusal = ErrorResponse(431, "the request's headers exceed 16 KiB");
    } else if (bodyBytes > kHttpMostBodyBytes || request.body.size() > kHttpMostBodyBytes) {
        *refusal = ErrorResponse(413, "the request's body exceeds 16 KiB");
    } else {
        return false;
    }
    refusal->headers.emplace_back("Connection", "close");
    AddSecurityHeaders(request.path, refusal);
    return true;
}

void AddBasePaths(HttpRouter* router) {
    router->Add("GET", "/healthz", [](const HttpRequest&) { return TextResponse(200, "text/plain; charset=utf-8", "ok\n"); });
    router->Add("GET", "/", [](const HttpRequest&) {
        return TextResponse(200, "text/html; charset=utf-8", kApiListPage);
    });
}

void HttpRouter::Add(const std::string& method, const std::string& pattern, HttpHandler handler) {
    routes_.push_back(Route{method, Segments(pattern), std::move(handler)});
}

HttpResponse HttpRouter::Handle(HttpRequest request) const {
    const std::string path = request.path;
    HttpResponse response;
    if (RefuseBeyondBounds(request, request.body.size(), &response)) return response;
    if (path.empty() || path.front() != '/') {
        response = ErrorResponse(400, "the path does not start with /");
        AddSecurityHeaders(path, &response);
        return response;
    }
    const std::vector<std::string> segments = Segments(path);
    const std::string& method = request.method == "HEAD" ? std::string("GET") : request.method;
    std::vector<std::string> allowed;
    const Route* chosen = nullptr;
    for (const Route& route : routes_) {
        std::map<std::string, std::string> parameters;
        if (!Matches(route.segments, segments, &parameters)) continue;
        if (route.method == method && chosen == nullptr) {
            chosen = &route;
            request.pathParameters = std::move(parameters);
        }
        if (std::find(allowed.begin(), allowed.end(), route.method) == allowed.end()) {
            allowed.push_back(route.method);
            if (route.method == "GET") allowed.push_back("HEAD");
        }
    }
    if (chosen != nullptr) {
        response = chosen->handler(request);
    } else if (allowed.empty()) {
        response = ErrorResponse(404, "no such resource");
    } else {
        std::string allow;
        for (const std::string& name : allowed) allow += (allow.empty() ? "" : ", ") + name;
        response = ErrorResponse(405, "the method is not allowed here; allowed: " + allow);
        response.headers.emplace_back("Allow", allow);
    }
    AddSecurityHeaders(path, &response);
    return response;
}
