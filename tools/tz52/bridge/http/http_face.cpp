#include "tools/tz52/bridge/http/http_face.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/cli/version.h"
#include "tools/tz52/bridge/core/face_thread.h"
#include "tools/tz52/bridge/core/listen_address.h"
#include "tools/tz52/bridge/core/write_audit.h"
#include "tools/tz52/bridge/http/console/console_files.h"
#include "tools/tz52/bridge/http/passwords.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/point_types.h"

namespace {

constexpr char kSessionCookie[] = "tz52_session";
constexpr char kCsrfHeader[] = "X-CSRF-Token";
// Events a list gives at most, and by default.
constexpr size_t kMostEventsListed = 1000;
constexpr size_t kEventsListed = 200;
// Events taken from the journal at a time for a stream.
constexpr size_t kStreamEventsAtATime = 256;
// The face's thread looks at its timers and streams this often when the
// journal is quiet, and forgets the history of points no longer polled.
constexpr int64_t kQuietWaitMs = 100;
constexpr int64_t kForgetEveryMs = 10000;
// /healthz fails once the owner's loop has not turned for this long.
constexpr int64_t kLoopStalledMs = 5000;
// HTTP Basic credentials found right are taken again without a hash this
// long, for at most this many users.
constexpr int64_t kBasicHoldsMs = 60000;
constexpr size_t kMostBasicKept = 32;
// The points' document is written again after this long at the latest, so
// that its ages stay true to within it.
constexpr int64_t kPointsKeptMs = 100;

void Log(LogLevel level, const std::string& message) { LogLine(level, "bridge", "http: " + message); }

HttpResponse Refused(int status, const std::string& message) { return ErrorResponse(status, message); }

int64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long long pages = 0;
    long long resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return static_cast<int64_t>(resident) * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}

// A whole number from the query or a header; false for none or garbage.
bool NumberOf(const std::string* text, uint64_t most, uint64_t* number) {
    return text != nullptr && ParseWholeNumber(*text, most, number);
}

// The address of a peer ("ADDRESS:PORT" or "[ADDRESS]:PORT"): logins are
// limited per address, whatever port each connection comes from.
std::string PeerAddress(const std::string& peer) {
    const size_t colon = peer.rfind(':');
    if (colon == std::string::npos) return peer;
    if (peer.front() == '[' && colon > 0 && peer[colon - 1] == ']') return peer.substr(1, colon - 2);
    return peer.substr(0, colon);
}

std::string SessionCookie(const std::string& token, bool secure, bool ending) {
    return std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (secure ? "; Secure" : "") + (ending ? "; Max-Age=0" : "");
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
    in_addr four{};
    if (inet_pton(AF_INET, address.c_str(), &four) == 1) return (ntohl(four.s_addr) >> 24) == 127;
    in6_addr six{};
    if (inet_pton(AF_INET6, address.c_str(), &six) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&six)) return true;
        // ::ffff:127.x.x.x
        return IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127;
    }
    return false;
}

struct HttpFace::Caller {
    bool known = false;
    bool viaSession = false;
    std::string user;
    HttpRole role = HttpRole::kViewer;
    HttpSession session;
};

struct HttpFace::Stream {
    std::shared_ptr<HttpStream> stream;
    uint64_t after = 0;
    ReadsShown shown = ReadsShown::kChanged;
};

HttpFace::HttpFace(const HttpFaceSettings& settings, const PortSetup& setup, ::Line* line)
    : settings_(settings), setup_(setup), line_(line), tls_(!settings.tlsCertificate.empty()),
      sessions_(kMostSessions, settings.sessionIdleMs),
      history_(settings.history), backup_(line, setup) {
    router_ = Routes();
    startedMs_ = MonotonicMilliseconds();
    // Known before Start, so that the routes judge alike with and without
    // the server; Start says what is wrong with the address.
    int port = 0;
    std::string unused;
    if (ParseListenAddress("--http-listen", settings_.listen, &listenAddress_, &port, &unused)) {
        loopback_ = IsLoopbackAddress(listenAddress_);
    }
}

HttpFace::~HttpFace() { Stop(); }

bool HttpFace::Start(std::string* error) {
    HttpSettings server;
    int port = 0;
    if (!ParseListenAddress("--http-listen", settings_.listen, &server.address, &port, error)) return false;
    server.port = port;
    server.maxStreams = settings_.maxStreams;
    server.tlsCertificate = settings_.tlsCertificate;
    server.tlsKey = settings_.tlsKey;
    server_ = std::make_unique<HttpServer>(server, router_);
    if (!server_->Start(error)) {
        server_.reset();
        return false;
    }
    if (!LoginsAllowed()) {
        Log(LogLevel::kWarning, "plain HTTP on " + listenAddress_ +
                                    ", which is not loopback: the face serves reads only; logins and writes "
                                    "need HTTPS (--http-tls-cert, --http-tls-key)");
    } else if (!settings_.users) {
        Log(LogLevel::kInfo, "no users file (--http-users): nobody can log in, so the face serves reads only");
    }
    listener_ = line_->journal.Listen([this] {
        std::lock_guard<std::mutex> lock(mutex_);
        appended_ = true;
        changed_.notify_all();
    });
    thread_ = StartFaceThread([this] { Run(); });
    return true;
}

void HttpFace::Stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
        line_->journal.StopListening(listener_);
    }
    if (server_) server_->Stop();
}

std::string HttpFace::Status() const {
    if (!server_) return "";
    const size_t clients = server_->Connections();
    return std::to_string(clients) + (clients == 1 ? " HTTP client" : " HTTP clients");
}

Json HttpFace::Figures() const {
    if (!server_) return Json{{"clients", 0}, {"streams", 0}};
    return Json{{"clients", server_->Connections()}, {"streams", server_->Streams()}};
}

HttpRouter HttpFace::Routes() {
    HttpRouter router;
    router.Add("GET", "/healthz", [this](const HttpRequest& request) { return Health(request); });
    router.Add("GET", "/metrics", [this](const HttpRequest& request) { return Metrics(request); });
    router.Add("GET", "/api/v1/line", [this](const HttpRequest& request) { return LineDocument(request); });
    router.Add("GET", "/api/v1/points", [this](const HttpRequest& request) { return Points(request); });
    router.Add("GET", "/api/v1/points/{address}",
               [this](const HttpRequest& request) { return PointDocument(request, false); });
    router.Add("GET", "/api/v1/points/{address}/history",
               [this](const HttpRequest& request) { return PointDocument(request, true); });
    router.Add("PUT", "/api/v1/points/{address}", [this](const HttpRequest& request) { return Write(request); });
    router.Add("GET", "/api/v1/events", [this](const HttpRequest& request) { return Events(request); });
    router.Add("GET", "/api/v1/stream", [this](const HttpRequest& request) { return OpenStream(request); });
    router.Add("POST", "/api/v1/login", [this](const HttpRequest& request) { return Login(request); });
    router.Add("POST", "/api/v1/logout", [this](const HttpRequest& request) { return Logout(request); });
    router.Add("GET", "/api/v1/session", [this](const HttpRequest& request) { return Session(request); });
    backup_.AddRoutes(&router, [this](const HttpRequest& r, HttpResponse* refusal, std::string* who) {
        return AdmitOperator(r, refusal, who);
    });
    AddConsolePaths(&router);
    AddBasePaths(&router);
    return router;
}

// ---- who asks ---------------------------------------------------------------------------

HttpFace::Caller HttpFace::Identify(const HttpRequest& request, HttpResponse* refusal) {
    Caller caller;
    const int64_t now = MonotonicMilliseconds();
    if (const std::string* token = request.Cookie(kSessionCookie)) {
        HttpSession session;
        if (sessions_.Use(*token, now, &session)) {
            caller.known = caller.viaSession = true;
            caller.user = session.user;
            caller.role = session.role;
            caller.session = session;
        }
        return caller;
    }
    if (!request.basic) return caller;
    if (!LoginsAllowed()) {
        *refusal = Refused(403, "logins need HTTPS on this address");
        return caller;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto kept = basic_.find(request.basicUser);
        if (kept != basic_.end() && kept->second.untilMs > now &&
            ConstantTimeEqual(kept->second.password, request.basicPassword)) {
            caller.known = true;
            caller.user = request.basicUser;
            caller.role = kept->second.role;
            return caller;
        }
    }
    int64_t retryMs = 0;
    if (!limiter_.Admit(PeerAddress(request.peer), now, &retryMs)) {
        *refusal = Refused(429, "too many logins from this address; try again later");
        refusal->headers.emplace_back("Retry-After", std::to_string((retryMs + 999) / 1000));
        return caller;
    }
    const HttpUser* user =
        settings_.users ? settings_.users->Authenticate(request.basicUser, request.basicPassword) : nullptr;
    if (user == nullptr) {
        ReportLogin(request.basicUser, request.peer, "HTTP Basic login refused", true);
        HttpResponse wrong = Refused(401, "wrong user name or password");
        wrong.headers.emplace_back("WWW-Authenticate", "Basic realm=\"tz52\", charset=\"UTF-8\"");
        const int64_t at = limiter_.FailureAnswerAt(now);
        *refusal = LaterResponse([this, at, wrong](std::function<void(HttpResponse)> answer) {
            if (!AnswerAt(at, answer, wrong)) answer(Refused(503, "too many logins at once; try again later"));
        });
        return caller;
    }
    caller.known = true;
    caller.user = user->name;
    caller.role = user->role;
    std::lock_guard<std::mutex> lock(mutex_);
    if (basic_.size() >= kMostBasicKept && basic_.count(user->name) == 0) basic_.erase(basic_.begin());
    basic_[user->name] = CheckedBasic{request.basicPassword, user->role, now + kBasicHoldsMs};
    return caller;
}

bool HttpFace::RefuseRead(const HttpRequest&, const Caller& caller, HttpResponse* refusal) {
    if (!settings_.requireLogin || caller.known) return false;
    *refusal = Refused(401, "log in first (POST /api/v1/login, or HTTP Basic)");
    return true;
}

bool HttpFace::RefuseChange(const HttpRequest& request, const Caller& caller, bool operatorOnly,
                            HttpResponse* refusal) {
    if (!LoginsAllowed()) {
        *refusal = Refused(403, "writes need HTTPS on this address: the face listens on " + listenAddress_ +
                                    " without TLS");
        return true;
    }
    if (!caller.known) {
        *refusal = Refused(401, request.Cookie(kSessionCookie) != nullptr
                                    ? "the session has ended or expired; log in again"
                                    : "log in first (POST /api/v1/login, or HTTP Basic)");
        return true;
    }
    if (caller.viaSession) {
        const std::string* token = request.Header(kCsrfHeader);
        if (token == nullptr || !CsrfTokenMatches(caller.session, *token)) {
            *refusal = Refused(403, std::string("the ") + kCsrfHeader + " header is missing or wrong");
            return true;
        }
    }
    if (operatorOnly && caller.role != HttpRole::kOperator) {
        *refusal = Refused(403, "user " + caller.user + " is a viewer; writes need an operator");
        return true;
    }
    return false;
}

bool HttpFace::AdmitOperator(const HttpRequest& request, HttpResponse* refusal, std::string* who) {
    const Caller caller = Identify(request, refusal);
    if (refusal->status != 200 || refusal->later) return false;
    if (RefuseChange(request, caller, true, refusal)) return false;
    *who = "user " + caller.user + " from " + request.peer;
    return true;
}

void HttpFace::ReportLogin(const std::string& user, const std::string& peer, const std::string& what, bool warn) {
    const std::string who = "user " + Printable(user) + " from " + peer;
    Log(warn ? LogLevel::kWarning : LogLevel::kNotice, what + ": " + who);
    JournalEvent event;
    event.kind = JournalKind::kFaceReport;
    event.face = "http";
    event.who = "user " + user + " from " + peer;
    event.message = what;
    line_->journal.Append(std::move(event));
}

// ---- reads ----------------------------------------------------------------------------

LineFacts HttpFace::Facts() const {
    LineFacts facts;
    facts.version = TZ52DRV_VERSION;
    facts.uptimeSeconds = (MonotonicMilliseconds() - startedMs_) / 1000;
    facts.port = setup_.name;
    facts.portSettings = DescribeLine(setup_.line);
    facts.readTimeoutMs = setup_.readTimeout * 10;
    facts.writesWaiting = line_->queue.Waiting();
    for (const LineFace* face : line_->faces) facts.faces[face->Name()] = face->Figures();
    return facts;
}

bool HttpFace::Writable(const tz52line::PointRef& point) const {
    return IsWritableType(point.type) && line_->permission.Allows(tz52line::FormatPoint(point));
}

HttpResponse HttpFace::Health(const HttpRequest&) {
    if (MonotonicMilliseconds() - line_->loopTurnedMs.load() > kLoopStalledMs) {
        return TextResponse(503, "text/plain; charset=utf-8", "the polling loop has stalled\n");
    }
    return TextResponse(200, "text/plain; charset=utf-8", "ok\n");
}

HttpResponse HttpFace::LineDocument(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    const LineFacts facts = Facts();
    Json document;
    line_->state.Read([&](const LineSnapshot& state) { document = LineJson(state, facts, MonotonicMilliseconds()); });
    return JsonResponse(200, document);
}

HttpResponse HttpFace::Points(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    const int64_t now = MonotonicMilliseconds();
    const uint64_t permission = line_->permission.Version();
    std::lock_guard<std::mutex> kept(pointsMutex_);
    line_->state.Read([&](const LineSnapshot& state) {
        if (state.pointsVersion == pointsVersion_ && permission == pointsPermission_ && pointsMadeMs_ >= 0 &&
            now - pointsMadeMs_ < kPointsKeptMs) {
            return;
        }
        pointsText_ =
            PointsDocumentText(state, [this](const tz52line::PointRef& point) { return Writable(point); }, now);
        pointsText_.push_back('\n');
        pointsVersion_ = state.pointsVersion;
        pointsPermission_ = permission;
        pointsMadeMs_ = now;
    });
    return TextResponse(200, "application/json", pointsText_);
}

HttpResponse HttpFace::PointDocument(const HttpRequest& request, bool history) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    const std::string text = request.pathParameters.at("address");
    // The point's document, or null when nobody polls it.
    const auto answerFor = [this, history](const tz52line::PointRef& point) -> std::unique_ptr<HttpResponse> {
        std::unique_ptr<HttpResponse> response;
        const int64_t now = MonotonicMilliseconds();
        line_->state.Read([&](const LineSnapshot& state) {
            if (const PointState* found = state.Find(point)) {
                response = std::make_unique<HttpResponse>(JsonResponse(
                    200, history ? HistoryJson(tz52line::FormatPoint(point), history_.Of(point))
                                 : PointJson(*found, Writable(point), now)));
            }
        });
        return response;
    };
    tz52line::PointRef point;
    std::string ignored;
    if (tz52line::ParsePoint(text, &point, &ignored) && tz52line::FormatPoint(point) == text) {
        if (auto response = answerFor(point)) return *response;
    }
    // Not a polled point as the bridge spells it: the driver says whether
    // it is an address at all, on the owner's thread.
    return LaterResponse([this, text, answerFor](std::function<void(HttpResponse)> answer) {
        const bool asked = line_->questions.Ask([text, answerFor, answer](QmxMainFunction entry) {
            const CheckedAddress address = CheckAddress(entry, text);
            if (address.result != kResultOk) {
                answer(Refused(400, Quoted(text) + " is not a valid point address: " + AddressRefusalReason(address)));
                return;
            }
            if (auto response = answerFor(PointRefOf(address))) {
                answer(*response);
                return;
            }
            answer(Refused(404, CanonicalAddress(address) + " is not polled"));
        });
        if (!asked) {
            answer(Refused(503, "too many questions wait for the line; try again"));
            return;
        }
        line_->queue.Wake();
    });
}

HttpResponse HttpFace::Events(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    ReadsShown shown = ReadsShown::kNone;
    if (const std::string* reads = request.Query("reads")) {
        if (!ParseReadsShown(*reads, &shown)) return Refused(400, "reads is none, changed or all");
    }
    uint64_t limit = kEventsListed;
    if (request.Query("limit") != nullptr &&
        (!NumberOf(request.Query("limit"), kMostEventsListed, &limit) || limit == 0)) {
        return Refused(400, "limit is a number from 1 to " + std::to_string(kMostEventsListed));
    }
    uint64_t after = 0;
    const bool fromAfter = request.Query("after") != nullptr;
    if (fromAfter && !NumberOf(request.Query("after"), UINT64_MAX, &after)) {
        return Refused(400, "after is the sequence number of an event");
    }
    const uint64_t newest = line_->journal.ReadAfter(UINT64_MAX, 0).newest;
    const uint64_t capacity = Journal::kDefaultCapacity;
    Journal::Read read;
    if (fromAfter) {
        read = line_->journal.ReadAfter(after, static_cast<size_t>(capacity));
    } else {
        // The latest events: from the oldest the ring holds.
        const uint64_t from = newest > capacity ? newest - capacity : 0;
        read = line_->journal.ReadAfter(from, static_cast<size_t>(capacity));
        if (read.behind) read = line_->journal.ReadAfter(read.newest > capacity ? read.newest - capacity : 0,
                                                         static_cast<size_t>(capacity));
    }
    std::vector<const JournalEvent*> chosen;
    for (const auto& event : read.events) {
        if (!EventShown(*event, shown)) continue;
        chosen.push_back(event.get());
        if (fromAfter && chosen.size() == limit) break;
    }
    if (!fromAfter && chosen.size() > limit) chosen.erase(chosen.begin(), chosen.end() - static_cast<long>(limit));
    Json events = Json::array();
    for (const JournalEvent* event : chosen) events.push_back(EventJson(*event));
    return JsonResponse(200, Json{{"events", events}, {"newest", read.newest}, {"behind", fromAfter && read.behind}});
}

HttpResponse HttpFace::Metrics(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    const LineFacts facts = Facts();
    std::string text;
    line_->state.Read([&](const LineSnapshot& state) { text = MetricsDocument(state, facts, ResidentBytes()); });
    return TextResponse(200, "text/plain; version=0.0.4; charset=utf-8", std::move(text));
}

HttpResponse HttpFace::Session(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    Json document = {{"loggedIn", caller.known}, {"loginsAllowed", LoginsAllowed() && settings_.users != nullptr},
                     {"loginRequired", settings_.requireLogin}};
    if (caller.known) {
        document["user"] = caller.user;
        document["role"] = HttpRoleName(caller.role);
        if (caller.viaSession) document["csrfToken"] = caller.session.csrfToken;
    }
    return JsonResponse(200, document);
}

// ---- the stream -----------------------------------------------------------------------

HttpResponse HttpFace::OpenStream(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseRead(request, caller, &refusal)) return refusal;
    ReadsShown shown = ReadsShown::kChanged;
    if (const std::string* reads = request.Query("reads")) {
        if (!ParseReadsShown(*reads, &shown)) return Refused(400, "reads is none, changed or all");
    }
    // A browser that reconnects says the last event it saw; a new stream
    // starts with what comes next.
    uint64_t after = line_->journal.ReadAfter(UINT64_MAX, 0).newest;
    const std::string* last = request.Header("Last-Event-ID");
    if (last == nullptr) last = request.Query("after");
    if (last != nullptr && !NumberOf(last, UINT64_MAX, &after)) {
        return Refused(400, "Last-Event-ID is the sequence number of an event");
    }
    return StreamResponse([this, after, shown](std::shared_ptr<HttpStream> stream) {
        stream->Send("retry: 2000\n\n");
        auto follower = std::make_shared<Stream>();
        follower->stream = std::move(stream);
        follower->after = after;
        follower->shown = shown;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streams_.push_back(follower);
            appended_ = true;
        }
        changed_.notify_all();
    });
}

void HttpFace::FeedStreams() {
    std::vector<std::shared_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                      [](const std::shared_ptr<Stream>& s) { return s->stream->Closed(); }),
                       streams_.end());
        streams = streams_;
    }
    for (const auto& follower : streams) {
        for (bool more = true; more;) {
            const Journal::Read read = line_->journal.ReadAfter(follower->after, kStreamEventsAtATime);
            std::string text;
            if (read.behind) {
                // What it missed is gone from the ring: the client takes
                // the state afresh and goes on from here.
                text = StreamResyncText(read.newest);
                follower->after = read.newest;
            }
            for (const auto& event : read.events) {
                follower->after = event->sequence;
                if (EventShown(*event, follower->shown)) text += StreamEventText(*event);
            }
            more = read.events.size() == kStreamEventsAtATime;
            if (!text.empty() && !follower->stream->Send(text)) break;
        }
    }
}

// ---- writes ----------------------------------------------------------------------------

HttpResponse HttpFace::Write(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseChange(request, caller, true, &refusal)) return refusal;
    const std::string text = request.pathParameters.at("address");
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("value") || !body["value"].is_number_integer()) {
        return Refused(400, "the body is a JSON object with a whole number: {\"value\": 42}");
    }
    const int64_t value = body["value"].is_number_unsigned()
                              ? static_cast<int64_t>(std::min<uint64_t>(body["value"].get<uint64_t>(), INT64_MAX))
                              : body["value"].get<int64_t>();
    const std::string who = "user " + caller.user + " from " + request.peer;
    // What the judgement on the owner's thread found, for the answer.
    struct Judged {
        int status = 200;
        std::string point;
        std::string message;
    };
    auto judged = std::make_shared<Judged>();
    judged->point = text;
    return LaterResponse([this, text, value, who, judged](std::function<void(HttpResponse)> answer) {
        const auto finish = [text, value, who, judged, answer](const WriteRequest& done) {
            int status = judged->status;
            int result = kResultRefused;
            std::string message = judged->message;
            Json readBack = nullptr;
            if (const PointWriteOutcome* outcome = done.refused ? nullptr : done.Last()) {
                result = outcome->result;
                message = outcome->message;
                if (outcome->written) {
                    status = 200;
                    readBack = Json{{"result", outcome->readBackResult},
                                    {"value", outcome->readBackResult == kResultOk ? Json(outcome->readBackValue)
                                                                                   : Json(nullptr)}};
                } else if (outcome->invalidAddress) {
                    status = 400;
                } else if (outcome->sent) {
                    status = outcome->stationSilent ? 504 : 502;
                } else {
                    status = 503;
                    message += "; nothing was sent";
                }
            }
            LogWrite(judged->point, Json(value), "http", who, result, message);
            Json document = {{"address", judged->point}, {"value", value}, {"result", result}, {"message", message}};
            if (status == 200) {
                document["readBack"] = readBack;
                answer(JsonResponse(200, document));
            } else {
                document["error"] = message;
                answer(JsonResponse(status, document));
            }
        };
        auto write = std::make_shared<WriteRequest>(std::vector<JournalWrittenPoint>{}, "http", who, finish);
        write->readBackAtOnce = true;
        write->judge = [this, text, value, judged](QmxMainFunction entry) {
            WriteVerdict verdict;
            const auto refuse = [&](int status, const std::string& message) {
                judged->status = status;
                judged->message = message + "; nothing was sent";
                verdict.message = judged->message;
                return verdict;
            };
            // What was asked, for the journal, once the address is known.
            const auto asked = [&](const CheckedAddress& address) {
                if (value >= 0 && value <= UINT16_MAX) {
                    verdict.points.push_back({PointRefOf(address), static_cast<uint16_t>(value)});
                }
            };
            const CheckedAddress address = CheckAddress(entry, text);
            if (address.result != kResultOk) {
                return refuse(400, Quoted(text) + " is not a valid point address: " + AddressRefusalReason(address));
            }
            const std::string name = CanonicalAddress(address);
            judged->point = name;
            asked(address);
            const char type = PointTypeLetter(address.pointType);
            if (!IsWritableType(address.pointType)) {
                return refuse(403, std::string("points of type ") + type +
                                       " are inputs; only C, M, O and S points can be written");
            }
            if (!line_->permission.Allows(name)) {
                return refuse(403, "writes to " + name + " are not allowed (the bridge's --allow-write does not name it)");
            }
            const int64_t largest = LargestPointValue(address.pointType);
            if (value < 0 || value > largest) {
                return refuse(400, "the value is outside 0 to " + std::to_string(largest) + " for type " + type);
            }
            verdict.write = true;
            return verdict;
        };
        if (line_->queue.Push(write)) return;
        const std::string why = "more than " + std::to_string(WriteQueue::kMostWaiting) +
                                " writes are waiting for the line; nothing was sent";
        LogWrite(text, Json(value), "http", who, kResultPortFailure, why);
        HttpResponse busy = JsonResponse(503, Json{{"address", text}, {"value", value}, {"result", kResultPortFailure},
                                                   {"message", why}, {"error", why}});
        busy.headers.emplace_back("Retry-After", "1");
        answer(busy);
    });
}

// ---- logins ----------------------------------------------------------------------------

HttpResponse HttpFace::Login(const HttpRequest& request) {
    if (!LoginsAllowed()) return Refused(403, "logins need HTTPS on this address");
    if (!settings_.users) return Refused(403, "the bridge has no users file (--http-users): nobody can log in");
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("user") || !body["user"].is_string() || !body.contains("password") ||
        !body["password"].is_string()) {
        return Refused(400, "the body is a JSON object with user and password");
    }
    const std::string name = body["user"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    const int64_t now = MonotonicMilliseconds();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (delayed_.size() >= kMostDelayedAnswers) return Refused(503, "too many logins at once; try again later");
    }
    int64_t retryMs = 0;
    if (!limiter_.Admit(PeerAddress(request.peer), now, &retryMs)) {
        ReportLogin(name, request.peer, "login refused: too many attempts", true);
        HttpResponse refusal = Refused(429, "too many logins from this address; try again later");
        refusal.headers.emplace_back("Retry-After", std::to_string((retryMs + 999) / 1000));
        return refusal;
    }
    const HttpUser* user = settings_.users->Authenticate(name, password);
    if (user == nullptr) {
        ReportLogin(name, request.peer, "login refused", true);
        const int64_t at = limiter_.FailureAnswerAt(now);
        return LaterResponse([this, at](std::function<void(HttpResponse)> answer) {
            if (!AnswerAt(at, answer, Refused(401, "wrong user name or password"))) {
                answer(Refused(503, "too many logins at once; try again later"));
            }
        });
    }
    HttpSession session;
    if (!sessions_.Open(user->name, user->role, request.peer, now, &session)) {
        return Refused(503, "no session can be made now");
    }
    ReportLogin(user->name, request.peer, "logged in as " + std::string(HttpRoleName(user->role)), false);
    HttpResponse response = JsonResponse(
        200, Json{{"user", user->name}, {"role", HttpRoleName(user->role)}, {"csrfToken", session.csrfToken}});
    response.headers.emplace_back("Set-Cookie", SessionCookie(session.token, tls_, false));
    return response;
}

HttpResponse HttpFace::Logout(const HttpRequest& request) {
    HttpResponse refusal;
    const Caller caller = Identify(request, &refusal);
    if (refusal.status != 200 || refusal.later) return refusal;
    if (RefuseChange(request, caller, false, &refusal)) return refusal;
    if (caller.viaSession) sessions_.Close(caller.session.token);
    ReportLogin(caller.user, request.peer, "logged out", false);
    HttpResponse response = JsonResponse(200, Json{{"loggedIn", false}});
    response.headers.emplace_back("Set-Cookie", SessionCookie("", tls_, true));
    return response;
}

bool HttpFace::AnswerAt(int64_t atMs, std::function<void(HttpResponse)> answer, HttpResponse response) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (delayed_.size() >= kMostDelayedAnswers) return false;
        delayed_.emplace(atMs, std::make_pair(std::move(answer), std::move(response)));
    }
    changed_.notify_all();
    return true;
}

// ---- the face's thread -----------------------------------------------------------------

void HttpFace::Run() {
    int64_t nextForgetMs = MonotonicMilliseconds() + kForgetEveryMs;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const int64_t now = MonotonicMilliseconds();
        int64_t wait = kQuietWaitMs;
        if (!delayed_.empty()) wait = std::min(wait, std::max<int64_t>(0, delayed_.begin()->first - now));
        changed_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return stopping_ || appended_; });
        appended_ = false;
        std::vector<std::pair<std::function<void(HttpResponse)>, HttpResponse>> due;
        const int64_t at = MonotonicMilliseconds();
        while (!delayed_.empty() && delayed_.begin()->first <= at) {
            due.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        lock.unlock();
        for (auto& answer : due) answer.first(std::move(answer.second));
        Follow();
        FeedStreams();
        if (at >= nextForgetMs) {
            nextForgetMs = at + kForgetEveryMs;
            line_->state.Read([this](const LineSnapshot& state) { history_.KeepOnly(state); });
        }
        lock.lock();
    }
    // Failed logins still waiting are answered now: the face stops.
    for (auto& entry : delayed_) entry.second.first(std::move(entry.second.second));
    delayed_.clear();
}

void HttpFace::Follow() {
    for (;;) {
        const Journal::Read read = line_->journal.ReadAfter(following_, kStreamEventsAtATime);
        if (read.behind) {
            // Reads were lost to the history: it goes on from here.
            following_ = read.newest;
            continue;
        }
        for (const auto& event : read.events) {
            following_ = event->sequence;
            if (event->kind == JournalKind::kPointRead) {
                history_.Add(event->point, HistoryRead{event->wallMs, event->result, event->value});
            }
        }
        if (read.events.size() < kStreamEventsAtATime) return;
    }
}
