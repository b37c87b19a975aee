// The bridge's HTTP face: the REST API under /api/v1/, the journal as a
// stream of Server-Sent Events, Prometheus metrics and logins, on the line's
// state, journal and queue of writes alone.
//
// Reading is open to whoever reaches the port unless login is required;
// writing needs a logged-in operator: a session cookie from POST
// /api/v1/login with its CSRF token on every state-changing request, or
// HTTP Basic for scripts. Logins and writes need HTTPS on an address other
// than loopback. A thread of the face's own follows the journal: it keeps
// each point's history, feeds the streams and answers failed logins after
// their delay.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/http/http_api.h"
#include "tools/tz52/bridge/http/http_backup.h"
#include "tools/tz52/bridge/http/http_face_settings.h"
#include "tools/tz52/bridge/http/http_server.h"
#include "tools/tz52/bridge/http/http_users.h"
#include "tools/tz52/bridge/http/login_limiter.h"
#include "tools/tz52/bridge/http/point_history.h"
#include "tools/tz52/bridge/http/sessions.h"

// Whether `address` (as ParseListenAddress gives it) is a loopback address,
// where plain HTTP may carry logins.
bool IsLoopbackAddress(const std::string& address);

class HttpFace : public LineFace {
public:
    static constexpr size_t kMostSessions = 256;
    // Failed logins waiting for their answer, at most.
    static constexpr size_t kMostDelayedAnswers = 256;

    HttpFace(const HttpFaceSettings& settings, const PortSetup& setup, Line* line);
    ~HttpFace() override;
    HttpFace(const HttpFace&) = delete;
    HttpFace& operator=(const HttpFace&) = delete;

    // Listens and starts the face's threads; false with the reason.
    bool Start(std::string* error);
    void Stop();
    int Port() const { return server_ ? server_->Port() : 0; }
    // The face's routes, for a caller without sockets (the fuzz target):
    // answers that come later come through the line's queue of writes and
    // its questions for the driver, as with the server.
    const HttpRouter& Router() const { return router_; }

    const char* Name() const override { return "http"; }
    std::string Status() const override;
    Json Figures() const override;

private:
    struct Caller;
    struct Stream;

    HttpRouter Routes();
    // Who sent `request`: a session, HTTP Basic, or nobody. *refusal is
    // set when the credentials given are wrong or not allowed here.
    Caller Identify(const HttpRequest& request, HttpResponse* refusal);
    // The refusal of a read when login is required and `caller` is nobody.
    bool RefuseRead(const HttpRequest& request, const Caller& caller, HttpResponse* refusal);
    // The refusal of a state-changing request: not an operator, no HTTPS,
    // a CSRF token missing or wrong.
    bool RefuseChange(const HttpRequest& request, const Caller& caller, bool operatorOnly, HttpResponse* refusal);
    // An operator's state-changing request let through, *who naming the
    // caller as the journal does; false with the refusal.
    bool AdmitOperator(const HttpRequest& request, HttpResponse* refusal, std::string* who);

    HttpResponse LineDocument(const HttpRequest& request);
    HttpResponse Points(const HttpRequest& request);
    HttpResponse PointDocument(const HttpRequest& request, bool history);
    HttpResponse Write(const HttpRequest& request);
    HttpResponse Events(const HttpRequest& request);
    HttpResponse OpenStream(const HttpRequest& request);
    HttpResponse Metrics(const HttpRequest& request);
    HttpResponse Login(const HttpRequest& request);
    HttpResponse Logout(const HttpRequest& request);
    HttpResponse Session(const HttpRequest& request);
    HttpResponse Health(const HttpRequest& request);

    LineFacts Facts() const;
    bool Writable(const tz52line::PointRef& point) const;
    // Reports a login, a failure or a logout to the log and the journal.
    void ReportLogin(const std::string& user, const std::string& peer, const std::string& what, bool warn);
    // Answers `answer` with `response` at `atMs` (monotonic), from the
    // face's thread; false when too many wait.
    bool AnswerAt(int64_t atMs, std::function<void(HttpResponse)> answer, HttpResponse response);

    void Run();
    void Follow();
    void FeedStreams();

    const HttpFaceSettings settings_;
    const PortSetup setup_;
    ::Line* line_;
    std::string listenAddress_;
    bool loopback_ = true;
    bool tls_ = false;
    bool LoginsAllowed() const { return tls_ || loopback_; }
    int64_t startedMs_ = 0;
    HttpRouter router_;
    std::unique_ptr<HttpServer> server_;
    SessionStore sessions_;
    LoginLimiter limiter_;
    PointHistory history_;
    HttpBackup backup_;

    std::thread thread_;
    uint64_t listener_ = 0;
    mutable std::mutex mutex_;  // what follows
    std::condition_variable changed_;
    bool stopping_ = false;
    bool appended_ = false;
    uint64_t following_ = 0;  // the last journal event the history took
    std::vector<std::shared_ptr<Stream>> streams_;
    std::multimap<int64_t, std::pair<std::function<void(HttpResponse)>, HttpResponse>> delayed_;
    // HTTP Basic credentials checked lately, so that a script's every
    // request does not cost a password hash: by user, the password and
    // until when it holds.
    struct CheckedBasic {
        std::string password;
        HttpRole role = HttpRole::kViewer;
        int64_t untilMs = 0;
    };
    std::map<std::string, CheckedBasic> basic_;

    // The points' document last written, kept while nothing it shows has
    // changed and for at most kPointsKeptMs (its ages): many clients asking
    // for a full station cost one document.
    std::mutex pointsMutex_;
    std::string pointsText_;
    uint64_t pointsVersion_ = 0;
    uint64_t pointsPermission_ = 0;
    int64_t pointsMadeMs_ = -1;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_H
