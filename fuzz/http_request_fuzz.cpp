// Feeds arbitrary requests to the HTTP face's router, with routes like the
// face's, and checks:
//   - it never throws or crashes;
//   - every answer is 200, 400, 404, 405, 413 or 431, and carries each
//     security header once; one under /api/ or /metrics is not cached;
//   - headers or a body beyond 16 KiB are refused (431, 413) before any
//     handler sees them;
//   - a 405 says in Allow which methods the path has, never the one asked;
//   - every JSON body is JSON, whatever bytes the request held;
//   - a route's parameter is the path's segment, and reaches the handler
//     only for the method routed.
// Input: the request's parts separated by NUL bytes: method, path, query
// (NAME=VALUE&...), headers (NAME: VALUE lines), cookies (NAME=VALUE; ...),
// body. A method starting with "R" adds 20000 bytes to the body, so that
// short inputs reach the bound.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/http/http_request.h"

namespace {

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + separator.size();
    }
}

HttpFields Fields(const std::string& text, const std::string& separator, char between) {
    HttpFields fields;
    if (text.empty()) return fields;
    for (const std::string& part : Split(text, separator)) {
        const size_t at = part.find(between);
        fields.emplace_back(part.substr(0, at), at == std::string::npos ? "" : part.substr(at + 1));
    }
    return fields;
}

int FieldCount(const HttpFields& fields, const std::string& name) {
    int count = 0;
    for (const auto& field : fields) count += FindHttpField({field}, name) != nullptr;
    return count;
}

const HttpRouter& Router() {
    static const HttpRouter router = [] {
        HttpRouter built;
        const auto echo = [](const char* route) {
            return [route](const HttpRequest& request) {
                Json parameters = Json::object();
                for (const auto& parameter : request.pathParameters) parameters[parameter.first] = parameter.second;
                const std::string* cookie = request.Cookie("session");
                return JsonResponse(200, Json{{"route", route},
                                              {"method", request.method},
                                              {"parameters", parameters},
                                              {"session", cookie == nullptr ? "" : *cookie},
                                              {"body", request.body}});
            };
        };
        built.Add("GET", "/api/v1/points", echo("points"));
        built.Add("GET", "/api/v1/points/{address}", echo("point"));
        built.Add("PUT", "/api/v1/points/{address}", echo("write"));
        built.Add("GET", "/api/v1/points/{address}/history", echo("history"));
        built.Add("GET", "/metrics", [](const HttpRequest&) { return TextResponse(200, "text/plain", "up 1\n"); });
        AddBasePaths(&built);
        built.Add("GET", "/api/v1/stream", [](const HttpRequest&) { return StreamResponse([](auto) {}); });
        return built;
    }();
    return router;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = Split(std::string(reinterpret_cast<const char*>(data), size), std::string(1, '\0'));
    const auto part = [&parts](size_t i) { return i < parts.size() ? parts[i] : std::string(); };
    HttpRequest request;
    request.method = part(0);
    request.path = part(1);
    request.query = Fields(part(2), "&", '=');
    request.headers = Fields(part(3), "\n", ':');
    request.cookies = Fields(part(4), "; ", '=');
    request.body = part(5);
    if (!request.method.empty() && request.method[0] == 'R') request.body.append(20000, 'r');
    request.peer = "127.0.0.1:40000";

    const HttpResponse response = Router().Handle(request);
    const int status = response.status;
    Require(status == 200 || status == 400 || status == 404 || status == 405 || status == 413 || status == 431,
            "a status no route gives");
    if (HttpHeaderBytes(request) > kHttpMostHeaderBytes) {
        Require(status == 431, "headers beyond the bound were not refused");
    } else if (request.body.size() > kHttpMostBodyBytes) {
        Require(status == 413, "a body beyond the bound was not refused");
    }
    for (const char* name : {"Content-Security-Policy", "X-Content-Type-Options", "X-Frame-Options", "Referrer-Policy"}) {
        Require(FieldCount(response.headers, name) == 1, "a security header missing or given twice");
    }
    const std::string& path = request.path;
    if (path.rfind("/api/", 0) == 0 || path == "/metrics") {
        const std::string* cache = FindHttpField(response.headers, "Cache-Control");
        Require(cache != nullptr && *cache == "no-store", "an API answer that may be cached");
    }
    const std::string* allow = FindHttpField(response.headers, "Allow");
    Require((status == 405) == (allow != nullptr), "Allow without a 405, or a 405 without Allow");
    if (allow != nullptr) {
        const std::string asked = request.method == "HEAD" ? "GET" : request.method;
        for (const std::string& method : Split(*allow, ", ")) {
            Require(!method.empty() && method != asked, "Allow names the method refused");
        }
    }
    const std::string* type = FindHttpField(response.headers, "Content-Type");
    Require(type != nullptr, "an answer without its Content-Type");
    if (response.stream) {
        Require(status == 200 && *type == "text/event-stream" && path == "/api/v1/stream", "a stream not asked for");
        return 0;
    }
    if (*type != "application/json") return 0;
    Require(Json::accept(response.body), "a JSON body that is not JSON");
    if (status != 200) return 0;
    const Json body = Json::parse(response.body);
    const std::string method = body["method"];
    const std::string route = body["route"];
    Require((route == "write") == (method == "PUT"), "a write routed for another method");
    if (route == "point" || route == "write" || route == "history") {
        const std::string address = body["parameters"]["address"];
        const std::string segment = path.substr(std::string("/api/v1/points/").size());
        Require((!address.empty() && segment.rfind(address, 0) == 0) || address.find("\xEF\xBF\xBD") != std::string::npos,
                "a parameter that is not the path's segment");
    }
    return 0;
}
