// Feeds arbitrary requests to the HTTP face's own routes, on a line of two
// polled points with no owner running and no sockets, and plays the owner:
// every write the face queued is judged with the driver over the fake line
// and completed with a made-up outcome, and every question for the driver
// is answered. Checks:
//   - it never throws or crashes, and every answer (at once, or later
//     through the queue or the questions) has a status from 100 to 599,
//     the security headers (the router's; the server adds them to later
//     ones), and a JSON body that is JSON;
//   - nothing is queued for the line but a write that came as PUT from a
//     logged-in operator with the session's CSRF token, or by HTTP Basic;
//   - a judged write is of a point --allow-write names, with a value its
//     type holds; a 200 to a write only follows a write the owner said it
//     carried out;
//   - on an address other than loopback without TLS, nothing is queued.
// Input: two bytes of flags, then the request's parts separated by NUL
// bytes: method, path, query (NAME=VALUE&...), headers (NAME: VALUE lines),
// cookies (NAME=VALUE; ...), body. First byte: bit 0 listen on 0.0.0.0,
// bit 1 TLS, bit 2 login required, bit 3 the operator's session cookie,
// bit 4 the viewer's, bit 5 the session's CSRF token, bit 6 HTTP Basic as
// the operator. Second byte: the outcome the owner gives a write (bits 0-1:
// written, station silent, sent with another failure, invalid address) and
// the client's address (bits 2-7), so that the login limiter does not stop
// every attempt.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_api.h"
#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/http/http_face.h"
#include "tools/tz52/host/point_types.h"

namespace {

// bcrypt of "secret" at the lowest cost, so that each login costs little.
const char kHash[] = "$2b$05$PRTbdYr2UvH1JQqPIlIGb.mw5aWUUBUGdNtIezNgX39Go40V3SrNe";
const char kPassword[] = "secret";

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

// An answer from the router carries the security headers; one that comes
// later gets them from the server as it resumes the connection.
void RequireSound(const HttpResponse& response, bool fromRouter) {
    Require(response.status >= 100 && response.status <= 599, "a status outside 100 to 599");
    for (const char* name : {"Content-Security-Policy", "X-Content-Type-Options", "X-Frame-Options", "Referrer-Policy"}) {
        Require(!fromRouter || FindHttpField(response.headers, name) != nullptr, "a security header missing");
    }
    const std::string* type = FindHttpField(response.headers, "Content-Type");
    if (!response.stream && !response.later && type != nullptr && *type == "application/json") {
        Require(Json::accept(response.body), "a JSON body that is not JSON");
    }
}

// One face on one line for each kind of listening (loopback or not, TLS or
// not, login required or not), with an operator and a viewer logged in.
struct Setup {
    std::unique_ptr<Line> line;
    std::unique_ptr<HttpFace> face;
    std::string operatorCookie, operatorCsrf, viewerCookie, viewerCsrf;
    bool loginsAllowed = true;
};

Setup* SetupFor(uint8_t flags) {
    static std::unique_ptr<Setup> setups[8];
    std::unique_ptr<Setup>& setup = setups[flags & 7];
    if (setup) return setup.get();
    setup = std::make_unique<Setup>();
    LinePlan plan;
    plan.allowed = {"001M025", "001C001"};
    setup->line = std::make_unique<Line>(plan, "fuzz");
    for (const char* name : {"001M025", "001C001", "001A001"}) {
        tz52line::PointRef point;
        std::string error;
        tz52line::ParsePoint(name, &point, &error);
        setup->line->state.Polled(point, 100);
        setup->line->state.RecordRead(point, 0, 1, "", false, 1);
    }
    auto users = std::make_shared<HttpUsers>();
    std::vector<std::string> warnings;
    std::string error;
    const auto anyHash = [](const std::string&) { return std::string(); };
    Require(users->Parse({std::string("anna:operator:") + kHash, std::string("vera:viewer:") + kHash}, "users", anyHash,
                         &warnings, &error),
            "the fuzz target's users file does not parse");
    HttpFaceSettings settings;
    settings.listen = (flags & 1) ? "0.0.0.0:8080" : "8080";
    if (flags & 2) settings.tlsCertificate = settings.tlsKey = "PEM";
    settings.requireLogin = (flags & 4) != 0;
    settings.users = users;
    setup->face = std::make_unique<HttpFace>(settings, PortSetup{}, setup->line.get());
    setup->loginsAllowed = (flags & 1) == 0 || (flags & 2) != 0;
    for (const char* user : {"anna", "vera"}) {
        HttpRequest login;
        login.method = "POST";
        login.path = "/api/v1/login";
        login.body = std::string("{\"user\": \"") + user + "\", \"password\": \"" + kPassword + "\"}";
        login.peer = "127.0.0.1:1";
        login.tls = (flags & 2) != 0;
        const HttpResponse response = setup->face->Router().Handle(login);
        if (response.status != 200) continue;
        const Json body = Json::parse(response.body);
        const std::string* cookie = FindHttpField(response.headers, "Set-Cookie");
        const std::string token = cookie->substr(0, cookie->find(';')).substr(cookie->find('=') + 1);
        (std::string(user) == "anna" ? setup->operatorCookie : setup->viewerCookie) = token;
        (std::string(user) == "anna" ? setup->operatorCsrf : setup->viewerCsrf) = body["csrfToken"];
    }
    Require(setup->loginsAllowed == !setup->operatorCookie.empty(), "a login where none is allowed, or none where it is");
    return setup.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const uint8_t outcome = data[1];
    Setup* setup = SetupFor(flags);
    const std::vector<std::string> parts =
        Split(std::string(reinterpret_cast<const char*>(data + 2), size - 2), std::string(1, '\0'));
    const auto part = [&parts](size_t i) { return i < parts.size() ? parts[i] : std::string(); };
    HttpRequest request;
    request.method = part(0);
    request.path = part(1);
    request.query = Fields(part(2), "&", '=');
    request.headers = Fields(part(3), "\n", ':');
    request.cookies = Fields(part(4), "; ", '=');
    request.body = part(5);
    request.peer = "10.0.0." + std::to_string(outcome >> 2) + ":40000";
    request.tls = (flags & 2) != 0;
    const bool asOperator = (flags & 8) != 0 && !setup->operatorCookie.empty();
    const bool asViewer = !asOperator && (flags & 16) != 0 && !setup->viewerCookie.empty();
    if (asOperator || asViewer) {
        request.cookies.insert(request.cookies.begin(),
                               {"tz52_session", asOperator ? setup->operatorCookie : setup->viewerCookie});
        if (flags & 32) request.headers.emplace_back("X-CSRF-Token", asOperator ? setup->operatorCsrf : setup->viewerCsrf);
    }
    if (flags & 64) {
        request.basic = true;
        request.basicUser = "anna";
        request.basicPassword = kPassword;
    }

    try {
        // Answers that come later: at once, through the queue or the
        // questions, or (a failed login) from the face's thread, which does
        // not run here.
        auto answers = std::make_shared<std::vector<HttpResponse>>();
        const HttpResponse response = setup->face->Router().Handle(request);
        RequireSound(response, true);
        if (response.later) response.later([answers](HttpResponse answer) { answers->push_back(std::move(answer)); });

        // The owner's part: each write judged and given its outcome.
        bool written = false;
        while (std::shared_ptr<WriteRequest> write = setup->line->queue.Take()) {
            Require(request.method == "PUT", "a write queued for another method");
            Require(setup->loginsAllowed, "a write queued where logins are not allowed");
            Require((asOperator && (flags & 32) != 0) || ((flags & 64) != 0 && !asViewer),
                    "a write queued without an operator's session and its token, or HTTP Basic");
            if (write->judge && !write->judged) {
                write->judged = true;
                WriteVerdict verdict = write->judge(&QmxMain);
                if (!verdict.write) {
                    write->refused = true;
                    write->refusal = verdict.message;
                } else {
                    write->points = std::move(verdict.points);
                    write->outcomes.assign(write->points.size(), PointWriteOutcome{});
                }
            }
            for (size_t i = 0; !write->refused && i < write->points.size(); ++i) {
                const std::string name = tz52line::FormatPoint(write->points[i].point);
                Require(setup->line->permission.Allows(name), "a write of a point not allowed");
                Require(IsWritableType(write->points[i].point.type), "a write of an input");
                PointWriteOutcome& done = write->outcomes[i];
                switch (outcome & 3) {
                    case 0:
                        done.result = 0;
                        done.written = done.sent = true;
                        done.readBackResult = 0;
                        done.readBackValue = write->points[i].value;
                        written = true;
                        break;
                    case 1: done.result = 2; done.sent = done.stationSilent = true; break;
                    case 2: done.result = 3; done.sent = true; break;
                    case 3: done.result = 1; done.invalidAddress = true; break;
                }
                done.message = "made up";
            }
            write->Complete();
        }
        setup->line->questions.AnswerAll(&QmxMain);
        for (const HttpResponse& answer : *answers) {
            RequireSound(answer, false);
            if (request.method == "PUT" && answer.status == 200) {
                Require(written, "a write answered 200 that the owner did not carry out");
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "http_face_fuzz: threw %s\n", error.what());
        std::abort();
    }
    return 0;
}
