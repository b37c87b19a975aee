// tz52 bridge's HTTP face between the simulator on a pseudo-terminal and
// real clients as a user types them: curl for the REST API, the logins and
// the event stream (over plain HTTP, and over HTTPS with a certificate the
// test makes with openssl), promtool and a real Prometheus server for
// /metrics, a broker and mbpoll beside it for writes from every face. Each
// route answers with its cause, only an operator writes, the streams are
// bounded and resume, and no client holds up the others.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/bridge_test_support.h"

namespace {

using bridgetest::Bridge;
using bridgetest::FreeLoopbackPort;
using bridgetest::Is;
using bridgetest::kHost;
using bridgetest::Listening;
using bridgetest::Occurrences;
using bridgetest::Parsed;
using bridgetest::ReadFile;
using bridgetest::Spawn;
using bridgetest::WaitExit;
using bridgetest::Watcher;
using simline::Clock;
using simline::MillisecondsSince;
using simline::Point;
using Json = nlohmann::json;

const char kCurl[] = TZ52_CURL_PATH;
const char kOpenssl[] = TZ52_OPENSSL_PATH;
const char kPromtool[] = TZ52_PROMTOOL_PATH;
const char kPrometheus[] = TZ52_PROMETHEUS_PATH;
const char kMbpoll[] = TZ52_MBPOLL_PATH;

// Every user's password is "secret" (mkpasswd -m yescrypt made the hash).
const char kPassword[] = "secret";
const char kHash[] = "$y$j9T$lOY7pLxlUzce2V1Bm3UEt0$EhV0ylxliCCPc6yfkaBPYUznQdwSXPcVo0LMUiFMPLD";

// What curl got.
struct Answer {
    int status = 0;     // 0: no answer (exitCode says why)
    int exitCode = -1;  // curl's
    std::string headers;
    std::string body;
    std::string log;    // curl's complaints
    Json json() const { return Parsed(body); }
    bool Has(const std::string& text) const { return body.find(text) != std::string::npos; }
};

std::ostream& operator<<(std::ostream& out, const Answer& answer) {
    return out << "status " << answer.status << " (curl " << answer.exitCode << ": " << answer.log << ")\n"
               << answer.headers << answer.body;
}

// The status of the last answer in curl's -D file (a 100 Continue may
// come first).
int LastStatus(const std::string& headers) {
    int status = 0;
    std::istringstream lines(headers);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("HTTP/", 0) == 0 && line.find(' ') != std::string::npos) {
            status = std::atoi(line.c_str() + line.find(' ') + 1);
        }
    }
    return status;
}

// The ids of the events in a stream's text, in order.
std::vector<uint64_t> EventIds(const std::string& text) {
    std::vector<uint64_t> ids;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("id: ", 0) == 0) ids.push_back(std::stoull(line.substr(4)));
    }
    return ids;
}

// The resident memory of process `pid`, in KiB.
long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// A TCP connection to 127.0.0.1:port that the test drives byte by byte
// (a client that never reads, a request that never ends); the receive
// buffer is kept small so that what is not read stays on the bridge.
class RawConnection {
public:
    explicit RawConnection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    bool connected() const { return connected_; }
    bool Send(const std::string& text) { return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size()); }
    // Whether the bridge closed the connection within `seconds` (what it
    // sent before is read and dropped).
    bool ClosedWithin(int seconds) {
        const auto start = Clock::now();
        while (MillisecondsSince(start) < seconds * 1000) {
            pollfd readable = {fd_, POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0) continue;
            char buffer[4096];
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class HttpFace : public Bridge {
protected:
    HttpFace() { timeout_ = "100ms"; }

    void SetUp() override {
        if (kCurl[0] == '\0') GTEST_SKIP() << "curl is not installed";
        Bridge::SetUp();
        std::ofstream(directory_ + "/users") << "anna:operator:" << kHash << "\nvera:viewer:" << kHash << "\n";
        std::ofstream(directory_ + "/points") << "001M025 every 100ms\n001C001 every 100ms\n";
    }

    // The bridge with its HTTP face on `listen` (a free loopback port when
    // empty), the users file, the points file and the broker; waits until
    // it listens.
    void StartFace(const std::vector<std::string>& extra, const std::string& listen = "") {
        httpPort_ = FreeLoopbackPort();
        std::vector<std::string> arguments = {
            kHost, "bridge", "--port", simulator_->PortName(), "--timeout", timeout_, "--every", "50ms",
            "--topic-prefix", "tz52", "--http-listen",
            listen.empty() ? std::to_string(httpPort_) : listen + ":" + std::to_string(httpPort_),
            "--http-users", directory_ + "/users", "--points", directory_ + "/points"};
        if (std::find(extra.begin(), extra.end(), "--no-mqtt") == extra.end()) {
            arguments.insert(arguments.end(), {"--mqtt-host", "127.0.0.1", "--mqtt-port", std::to_string(broker_->port())});
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        scheme_ = std::find(extra.begin(), extra.end(), "--http-tls-cert") != extra.end() ? "https" : "http";
        bridge_ = Spawn(arguments, log(), environment_);
        const auto start = Clock::now();
        while (BridgeLog().find("http: listening on ") == std::string::npos && MillisecondsSince(start) < 10000) {
            if (WaitExit(bridge_, 0) >= 0) {
                bridge_ = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_NE(BridgeLog().find("http: listening on "), std::string::npos) << BridgeLog();
    }
    void Restart(const std::vector<std::string>& extra, const std::string& listen = "") {
        if (bridge_ != 0) StopBridge();
        std::remove(log().c_str());
        ASSERT_NO_FATAL_FAILURE(StartFace(extra, listen));
    }

    std::string Url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(httpPort_) + path;
    }

    // curl `arguments` `Url(path)`, as a user types it (-sS), with the
    // certificate the test made when the face speaks HTTPS.
    std::vector<std::string> CurlArguments(const std::string& path, const std::vector<std::string>& arguments,
                                           const std::string& name) {
        std::vector<std::string> all = {kCurl, "-sS", "--max-time", "20", "-o", directory_ + "/" + name + ".body",
                                        "-D", directory_ + "/" + name + ".headers"};
        if (scheme_ == "https") all.insert(all.end(), {"--cacert", directory_ + "/cert.pem"});
        all.insert(all.end(), arguments.begin(), arguments.end());
        all.push_back(Url(path));
        return all;
    }
    Answer Collect(pid_t pid, const std::string& name, int seconds = 30) {
        Answer answer;
        answer.exitCode = WaitExit(pid, seconds);
        if (answer.exitCode < 0) {
            kill(pid, SIGKILL);
            WaitExit(pid, 5);
        }
        answer.headers = ReadFile(directory_ + "/" + name + ".headers");
        answer.body = ReadFile(directory_ + "/" + name + ".body");
        answer.log = ReadFile(directory_ + "/" + name + ".log");
        answer.status = LastStatus(answer.headers);
        for (const char* suffix : {".headers", ".body", ".log"}) std::remove((directory_ + "/" + name + suffix).c_str());
        return answer;
    }
    pid_t Start(const std::string& path, const std::vector<std::string>& arguments, const std::string& name) {
        return Spawn(CurlArguments(path, arguments, name), directory_ + "/" + name + ".log");
    }
    Answer Curl(const std::string& path, const std::vector<std::string>& arguments = {}) {
        return Collect(Start(path, arguments, "curl"), "curl");
    }

    // A session: curl's cookie jar and the CSRF token the login gave.
    struct Session {
        std::string jar;
        std::string csrf;
        Answer answer;
    };
    Session Login(const std::string& user, const std::vector<std::string>& extra = {}) {
        Session session;
        session.jar = directory_ + "/" + user + ".cookies";
        std::vector<std::string> arguments = {"-c", session.jar, "-H", "Content-Type: application/json", "-d",
                                              "{\"user\": \"" + user + "\", \"password\": \"" + kPassword + "\"}"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        session.answer = Curl("/api/v1/login", arguments);
        const Json body = session.answer.json();
        if (body.is_object() && body.contains("csrfToken")) session.csrf = body["csrfToken"];
        return session;
    }
    // A PUT of {"value": N} with the session's cookie and token.
    Answer Put(const std::string& point, const std::string& body, const std::vector<std::string>& who) {
        std::vector<std::string> arguments = {"-X", "PUT", "-H", "Content-Type: application/json", "-d", body};
        arguments.insert(arguments.end(), who.begin(), who.end());
        return Curl("/api/v1/points/" + point, arguments);
    }
    static std::vector<std::string> With(const Session& session) {
        return {"-b", session.jar, "-H", "X-CSRF-Token: " + session.csrf};
    }

    // Waits until `accept` takes the answer to GET `path`; the last answer.
    Answer WaitUntil(const std::string& path, const std::function<bool(const Answer&)>& accept, int seconds = 10) {
        Answer answer;
        for (const auto start = Clock::now(); MillisecondsSince(start) < seconds * 1000;) {
            answer = Curl(path);
            if (accept(answer)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return answer;
    }
    // The events of the journal that are writes (done or refused).
    std::vector<Json> Writes() {
        std::vector<Json> writes;
        const Json events = Curl("/api/v1/events?limit=1000").json();
        if (!events.is_object()) return writes;
        for (const Json& event : events["events"]) {
            if (event["kind"].get<std::string>().rfind("write", 0) == 0) writes.push_back(event);
        }
        return writes;
    }

    // A self-signed certificate for 127.0.0.1 and its key, made by openssl.
    void MakeCertificate() {
        const std::string log = directory_ + "/openssl.log";
        const pid_t pid = Spawn({kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                 "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                                 directory_ + "/key.pem", "-out", directory_ + "/cert.pem"},
                                log);
        ASSERT_EQ(WaitExit(pid, 60), 0) << ReadFile(log);
    }

    // A busy line: forty points read every 50 ms, so that the journal fills.
    void BusyPoints() {
        std::ofstream points(directory_ + "/points", std::ios::trunc);
        for (int index = 1; index <= 40; ++index) points << "001M" << (index < 10 ? "00" : "0") << index << " every 50ms\n";
    }

    int httpPort_ = 0;
    std::string scheme_ = "http";
};

// ---- the routes and their statuses ---------------------------------------------------------

// One bridge on loopback, an operator (anna) and a viewer (vera) logged in;
// each row a request as curl sends it and the status with its cause. The
// rows run in order: the last ones log out.
TEST_F(HttpFace, EachRouteAnswersWithItsCause) {
    StartSimulator({"001M025=1234"});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt", "--allow-write", "001C001,001M025,002M001"}));
    WaitUntil("/api/v1/points/001M025", [](const Answer& a) { return a.Has("\"value\":1234"); });
    const Session anna = Login("anna");
    ASSERT_EQ(anna.answer.status, 200) << anna.answer;
    EXPECT_FALSE(anna.csrf.empty());
    const std::string cookie = bridgetest::ReadFile(anna.jar);
    EXPECT_NE(cookie.find("#HttpOnly_127.0.0.1"), std::string::npos) << cookie;
    EXPECT_EQ(anna.answer.headers.find("; Secure"), std::string::npos) << anna.answer;
    const Session vera = Login("vera");
    ASSERT_EQ(vera.answer.status, 200) << vera.answer;
    Session forged = anna;
    forged.csrf = std::string(anna.csrf.size(), 'a');
    const std::vector<std::string> nobody, noCsrf = {"-b", anna.jar};
    const std::vector<std::string> basic = {"-u", std::string("anna:") + kPassword};
    const std::vector<std::string> wrongBasic = {"-u", "anna:guess"};

    const struct {
        const char* cause;
        std::vector<std::string> who;  // curl's arguments for it
        const char* method;
        const char* path;
        const char* body;  // for a PUT or a POST
        int status;
        const char* text;  // in the body
    } rows[] = {
        {"health", nobody, "GET", "/healthz", "", 200, "ok\n"},
        {"the console", nobody, "GET", "/", "", 200, "<title>tz52 bridge</title>"},
        {"the line", nobody, "GET", "/api/v1/line", "", 200, "\"readTimeoutMs\":100"},
        {"every point", nobody, "GET", "/api/v1/points", "", 200, "\"address\":\"001C001\""},
        {"one point", nobody, "GET", "/api/v1/points/001M025", "", 200, "\"hex\""},
        {"a point's history", nobody, "GET", "/api/v1/points/001M025/history", "", 200, "\"value\":1234}"},
        {"a bad address", nobody, "GET", "/api/v1/points/001X001", "", 400,
         "\\\"001X001\\\" is not a valid point address: "},
        {"a point not polled", nobody, "GET", "/api/v1/points/001M099", "", 404, "001M099 is not polled"},
        {"the journal", nobody, "GET", "/api/v1/events?after=0&reads=all", "", 200, "\"kind\":\"pointRead\""},
        {"a bad limit", nobody, "GET", "/api/v1/events?limit=0", "", 400, "limit is a number from 1 to 1000"},
        {"the metrics", nobody, "GET", "/metrics", "", 200, "tz52_exchanges_total{result=\"0\"}"},
        {"no such path", nobody, "GET", "/api/v2/points", "", 404, ""},
        {"a method the path lacks", nobody, "DELETE", "/api/v1/points/001M025", "", 405, ""},
        {"nobody's session", nobody, "GET", "/api/v1/session", "", 200, "\"loggedIn\":false"},
        {"the operator's session", With(anna), "GET", "/api/v1/session", "", 200, "\"role\":\"operator\""},
        {"a write without a login", nobody, "PUT", "/api/v1/points/001M025", "{\"value\": 7}", 401, "log in first"},
        {"a write without the CSRF token", noCsrf, "PUT", "/api/v1/points/001M025", "{\"value\": 7}", 403,
         "the X-CSRF-Token header is missing or wrong"},
        {"a write with a wrong CSRF token", With(forged), "PUT", "/api/v1/points/001M025", "{\"value\": 7}", 403,
         "the X-CSRF-Token header is missing or wrong"},
        {"a viewer's write", With(vera), "PUT", "/api/v1/points/001M025", "{\"value\": 7}", 403,
         "user vera is a viewer; writes need an operator"},
        {"a point --allow-write does not name", With(anna), "PUT", "/api/v1/points/001M030", "{\"value\": 7}", 403,
         "writes to 001M030 are not allowed"},
        {"an input", With(anna), "PUT", "/api/v1/points/001A009", "{\"value\": 7}", 403, "are inputs"},
        {"a value the point cannot hold", With(anna), "PUT", "/api/v1/points/001C001", "{\"value\": 70000}", 400,
         "the value is outside 0 to 65535 for type C"},
        {"a value that is no number", With(anna), "PUT", "/api/v1/points/001M025", "{\"value\": \"7\"}", 400,
         "a whole number"},
        {"a bad address written", With(anna), "PUT", "/api/v1/points/001X001", "{\"value\": 7}", 400,
         "is not a valid point address: "},
        {"an operator's write", With(anna), "PUT", "/api/v1/points/001M025", "{\"value\": 77}", 200,
         "\"readBack\":{\"result\":0,\"value\":77}"},
        {"HTTP Basic", basic, "PUT", "/api/v1/points/001C001", "{\"value\": 1}", 200, "\"readBack\":{\"result\":0,"},
        {"HTTP Basic with a wrong password", wrongBasic, "GET", "/api/v1/points", "", 401,
         "wrong user name or password"},
        {"a silent station", With(anna), "PUT", "/api/v1/points/002M001", "{\"value\": 5}", 504, "\"error\""},
        {"a logout without the CSRF token", noCsrf, "POST", "/api/v1/logout", "", 403, "X-CSRF-Token"},
        {"a logout", With(anna), "POST", "/api/v1/logout", "", 200, "\"loggedIn\":false"},
        {"a write after the logout", With(anna), "PUT", "/api/v1/points/001M025", "{\"value\": 8}", 401,
         "the session has ended or expired"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        std::vector<std::string> arguments = {"-X", row.method};
        if (std::string(row.method) == "PUT" || std::string(row.method) == "POST") {
            arguments.insert(arguments.end(), {"-H", "Content-Type: application/json", "-d", row.body});
        }
        arguments.insert(arguments.end(), row.who.begin(), row.who.end());
        const Answer answer = Curl(row.path, arguments);
        EXPECT_EQ(answer.status, row.status) << answer;
        EXPECT_TRUE(answer.Has(row.text)) << row.text << "\n" << answer;
        // The security headers on every answer, whatever its status.
        for (const char* header : {"Content-Security-Policy: ", "X-Content-Type-Options: nosniff",
                                   "X-Frame-Options: DENY", "Referrer-Policy: no-referrer"}) {
            EXPECT_NE(answer.headers.find(header), std::string::npos) << header << "\n" << answer;
        }
    }
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'M', 25)), 77);
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 1);
    // The writes carried out are in the journal with who asked and from where.
    const std::vector<Json> writes = Writes();
    const auto written = std::count_if(writes.begin(), writes.end(), [](const Json& event) {
        return event["kind"] == "writeDone" && event["result"] == 0 && event["who"].get<std::string>().rfind("user anna from 127.0.0.1:", 0) == 0;
    });
    EXPECT_EQ(written, 2) << Curl("/api/v1/events?limit=1000").body;
    EXPECT_NE(BridgeLog().find("logged in as operator: user anna from 127.0.0.1:"), std::string::npos) << BridgeLog();
}

// Where the face listens and how decides who may log in: plain HTTP on an
// address other than loopback serves reads alone; HTTPS there takes logins,
// with a Secure cookie, and curl -u; --http-require-login closes reads to
// nobody; a session unused longer than --http-session-idle has ended.
TEST_F(HttpFace, WhereAndHowItListensDecidesWhoLogsIn) {
    if (kOpenssl[0] == '\0') GTEST_SKIP() << "openssl is not installed";
    ASSERT_NO_FATAL_FAILURE(MakeCertificate());
    StartSimulator({"001M025=1234"});
    const std::vector<std::string> tls = {"--http-tls-cert", directory_ + "/cert.pem", "--http-tls-key",
                                          directory_ + "/key.pem"};
    // A step: a login (method LOGIN, the user as the path), or a request
    // by nobody, by the last login's session, or by HTTP Basic.
    enum class Who { kNobody, kSession, kBasic };
    struct Step {
        const char* method;
        const char* path;
        Who who;
        int status;
        const char* text;       // in the body
        const char* header;     // in the headers
        int pauseMs;            // before the step
    };
    const struct {
        const char* cause;
        std::vector<std::string> arguments;
        const char* listen;
        std::vector<Step> steps;
        const char* logged;
    } rows[] = {
        {"plain HTTP on 0.0.0.0", {"--allow-write", "001M025"}, "0.0.0.0",
         {{"GET", "/api/v1/points/001M025", Who::kNobody, 200, "\"value\":1234", "", 0},
          {"LOGIN", "anna", Who::kNobody, 403, "logins need HTTPS on this address", "", 0},
          {"PUT", "/api/v1/points/001M025", Who::kBasic, 403, "logins need HTTPS on this address", "", 0},
          {"GET", "/api/v1/session", Who::kNobody, 200, "\"loginsAllowed\":false", "", 0}},
         "the face serves reads only; logins and writes need HTTPS"},
        {"HTTPS on 0.0.0.0", {"--allow-write", "001M025"}, "0.0.0.0",
         {{"LOGIN", "anna", Who::kNobody, 200, "\"role\":\"operator\"", "; Secure", 0},
          {"PUT", "/api/v1/points/001M025", Who::kSession, 200, "\"value\":11}", "", 0},
          {"PUT", "/api/v1/points/001M025", Who::kBasic, 200, "\"value\":11}", "", 0}},
         "listening on https://0.0.0.0:"},
        {"--http-require-login", {"--http-require-login"}, "",
         {{"GET", "/api/v1/points", Who::kNobody, 401, "log in first", "", 0},
          {"GET", "/metrics", Who::kNobody, 401, "log in first", "", 0},
          {"GET", "/api/v1/stream", Who::kNobody, 401, "log in first", "", 0},
          {"GET", "/healthz", Who::kNobody, 200, "ok", "", 0},
          {"GET", "/api/v1/points", Who::kBasic, 200, "\"001M025\"", "", 0},
          {"LOGIN", "vera", Who::kNobody, 200, "\"role\":\"viewer\"", "", 0},
          {"GET", "/api/v1/points", Who::kSession, 200, "\"001M025\"", "", 0}},
         ""},
        {"a session that expired", {"--http-session-idle", "1s", "--allow-write", "001M025"}, "",
         {{"LOGIN", "anna", Who::kNobody, 200, "", "", 0},
          {"PUT", "/api/v1/points/001M025", Who::kSession, 200, "", "", 0},
          {"PUT", "/api/v1/points/001M025", Who::kSession, 401, "the session has ended or expired", "", 1500}},
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        std::vector<std::string> arguments = row.arguments;
        arguments.push_back("--no-mqtt");
        if (std::string(row.cause).rfind("HTTPS", 0) == 0) arguments.insert(arguments.end(), tls.begin(), tls.end());
        ASSERT_NO_FATAL_FAILURE(Restart(arguments, row.listen));
        Session session;
        for (const Step& step : row.steps) {
            SCOPED_TRACE(std::string(step.method) + " " + step.path);
            std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
            Answer answer;
            if (std::string(step.method) == "LOGIN") {
                session = Login(step.path);
                answer = session.answer;
            } else {
                std::vector<std::string> who;
                if (step.who == Who::kSession) who = With(session);
                if (step.who == Who::kBasic) who = {"-u", std::string(row.cause) == "--http-require-login"
                                                              ? std::string("vera:") + kPassword
                                                              : std::string("anna:") + kPassword};
                if (std::string(step.method) == "PUT") {
                    answer = Put(std::string(step.path).substr(std::string("/api/v1/points/").size()),
                                 "{\"value\": 11}", who);
                } else {
                    answer = Curl(step.path, who);
                }
            }
            EXPECT_EQ(answer.status, step.status) << answer;
            EXPECT_TRUE(answer.Has(step.text)) << step.text << "\n" << answer;
            EXPECT_NE(answer.headers.find(step.header), std::string::npos) << step.header << "\n" << answer;
        }
        EXPECT_NE(BridgeLog().find(row.logged), std::string::npos) << row.logged << "\n" << BridgeLog();
    }
}

// At most five logins a minute from one address, whatever port each comes
// from: the sixth is 429 with Retry-After, while another address still
// logs in. The refusals are in the journal.
TEST_F(HttpFace, LoginsAreLimitedPerAddress) {
    StartSimulator({});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt"}));
    // Five wrong passwords at once from 127.0.0.5, each on a connection
    // (and so a port) of its own; each answered 401 after its delay.
    const std::string wrong = "{\"user\": \"anna\", \"password\": \"guess\"}";
    std::vector<pid_t> guesses;
    for (int i = 0; i < 5; ++i) {
        guesses.push_back(Start("/api/v1/login", {"--interface", "127.0.0.5", "-d", wrong}, "guess" + std::to_string(i)));
    }
    for (int i = 0; i < 5; ++i) {
        const Answer answer = Collect(guesses[static_cast<size_t>(i)], "guess" + std::to_string(i));
        EXPECT_EQ(answer.status, 401) << answer;
    }
    const Session limited = Login("anna", {"--interface", "127.0.0.5"});
    EXPECT_EQ(limited.answer.status, 429) << limited.answer;
    EXPECT_TRUE(limited.answer.Has("too many logins from this address")) << limited.answer;
    EXPECT_NE(limited.answer.headers.find("Retry-After: "), std::string::npos) << limited.answer;
    const Session elsewhere = Login("anna", {"--interface", "127.0.0.6"});
    EXPECT_EQ(elsewhere.answer.status, 200) << elsewhere.answer;
    const std::string events = Curl("/api/v1/events?limit=1000").body;
    EXPECT_EQ(Occurrences(events, "\"message\":\"login refused\""), 5u) << events;
    EXPECT_EQ(Occurrences(events, "\"message\":\"login refused: too many attempts\""), 1u) << events;
}

// ---- the stream ----------------------------------------------------------------------------

// curl -N reads the journal live: a write's event comes with its id; a
// client that comes back with Last-Event-ID gets what followed that event
// and nothing before; one with an id the ring no longer holds is told to
// resync.
TEST_F(HttpFace, StreamResumesFromLastEventId) {
    StartSimulator({"001M025=1"});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt", "--allow-write", "001M025"}));
    const pid_t reader = Start("/api/v1/stream", {"-N", "--max-time", "3"}, "stream");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(Put("001M025", "{\"value\": 42}", {"-u", std::string("anna:") + kPassword}).status, 200);
    const Answer live = Collect(reader, "stream");
    EXPECT_EQ(live.status, 200) << live;
    EXPECT_NE(live.headers.find("Content-Type: text/event-stream"), std::string::npos) << live;
    EXPECT_TRUE(live.Has("event: writeDone\n")) << live;
    const std::vector<uint64_t> ids = EventIds(live.body);
    ASSERT_GE(ids.size(), 2u) << live;
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << live;

    // Back with the id of the event before the first one seen: the same
    // events come again from that first one, the write among them.
    const Answer resumed =
        Curl("/api/v1/stream", {"-N", "--max-time", "2", "-H", "Last-Event-ID: " + std::to_string(ids.front() - 1)});
    const std::vector<uint64_t> again = EventIds(resumed.body);
    ASSERT_GE(again.size(), ids.size()) << resumed;
    EXPECT_TRUE(std::equal(ids.begin(), ids.end(), again.begin())) << live << resumed;
    EXPECT_TRUE(resumed.Has("event: writeDone\n")) << resumed;
    EXPECT_FALSE(resumed.Has("event: resync")) << resumed;

    // An id this journal never gave (the bridge restarted since): resync.
    const Answer ahead = Curl("/api/v1/stream", {"-N", "--max-time", "1", "-H", "Last-Event-ID: 999999999"});
    EXPECT_EQ(ahead.body.find("event: resync\n"), ahead.body.find("event: ")) << ahead;
    EXPECT_NE(ahead.body.find("event: resync\n"), std::string::npos) << ahead;

    // Far behind: an id the ring of 4096 events no longer holds, once the
    // reads of a busy line have filled it.
    BusyPoints();
    ASSERT_NO_FATAL_FAILURE(Restart({"--no-mqtt"}));
    const Answer filled = WaitUntil("/api/v1/events?limit=1", [](const Answer& a) {
        const Json body = a.json();
        return body.is_object() && body["newest"].get<uint64_t>() > 4200;
    }, 120);
    ASSERT_GT(filled.json()["newest"].get<uint64_t>(), 4200u) << filled;
    const Answer behind = Curl("/api/v1/stream", {"-N", "--max-time", "1", "-H", "Last-Event-ID: 1"});
    EXPECT_NE(behind.body.find("event: resync\n"), std::string::npos) << behind;
    EXPECT_EQ(behind.body.find("event: resync\n"), behind.body.find("event: ")) << behind;
}

// Sixteen streams at once (the default --http-max-streams); the 17th is
// refused with 503 while they last, and served once one has gone.
TEST_F(HttpFace, SeventeenthStreamIsRefused) {
    StartSimulator({});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt"}));
    // From four addresses, so that the limit per address does not say no
    // first.
    std::vector<pid_t> streams;
    for (int i = 0; i < 16; ++i) {
        streams.push_back(Start("/api/v1/stream",
                                {"-N", "--max-time", "60", "--interface", "127.0.0." + std::to_string(2 + i % 4)},
                                "stream" + std::to_string(i)));
    }
    const Answer sixteen = WaitUntil("/api/v1/line", [](const Answer& a) {
        const Json body = a.json();
        return body.is_object() && body["faces"]["http"]["streams"] == 16;
    });
    ASSERT_EQ(sixteen.json()["faces"]["http"]["streams"], 16) << sixteen;
    const Answer seventeenth = Curl("/api/v1/stream", {"-N", "--max-time", "2"});
    EXPECT_EQ(seventeenth.status, 503) << seventeenth;
    // A stream whose client has gone gives up its place when the next
    // event or keep-alive comment (every 15 s) finds it closed.
    kill(streams.back(), SIGTERM);
    WaitExit(streams.back(), 10);
    const Answer fifteen = WaitUntil("/api/v1/line", [](const Answer& a) {
        const Json body = a.json();
        return body.is_object() && body["faces"]["http"]["streams"] == 15;
    }, 25);
    EXPECT_EQ(fifteen.json()["faces"]["http"]["streams"], 15) << fifteen;
    const Answer served = Curl("/api/v1/stream", {"-N", "--max-time", "1"});
    EXPECT_EQ(served.status, 200) << served;
    for (size_t i = 0; i + 1 < streams.size(); ++i) {
        kill(streams[i], SIGTERM);
        WaitExit(streams[i], 10);
    }
}

// ---- metrics ---------------------------------------------------------------------------------

// The live /metrics pass promtool's check, and a real Prometheus server
// that scrapes the bridge answers a query for the exchanges counter.
TEST_F(HttpFace, PrometheusScrapesTheMetrics) {
    if (kPromtool[0] == '\0' || kPrometheus[0] == '\0') GTEST_SKIP() << "prometheus is not installed";
    StartSimulator({"001M025=1234"});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt"}));
    WaitUntil("/api/v1/points/001M025", [](const Answer& a) { return a.Has("\"value\":1234"); });
    const Answer metrics = Curl("/metrics");
    ASSERT_EQ(metrics.status, 200) << metrics;
    std::ofstream(directory_ + "/metrics.txt") << metrics.body;
    const std::string checked = directory_ + "/promtool.log";
    const int code = std::system(("'" + std::string(kPromtool) + "' check metrics < '" + directory_ +
                                  "/metrics.txt' > '" + checked + "' 2>&1").c_str());
    EXPECT_EQ(code, 0) << ReadFile(checked) << metrics.body;

    const int prometheusPort = FreeLoopbackPort();
    std::ofstream(directory_ + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: tz52\n"
        << "    static_configs:\n      - targets: ['127.0.0.1:" << httpPort_ << "']\n";
    const pid_t prometheus =
        Spawn({kPrometheus, "--config.file=" + directory_ + "/prometheus.yml", "--storage.tsdb.path=" + directory_ + "/tsdb",
               "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
              directory_ + "/prometheus.log");
    Json result;
    for (const auto start = Clock::now(); MillisecondsSince(start) < 60000;) {
        const std::string name = "query";
        const pid_t pid = Spawn({kCurl, "-sS", "--max-time", "5", "-o", directory_ + "/query.body", "-G",
                                 "--data-urlencode", "query=sum(tz52_exchanges_total{job=\"tz52\"})",
                                 "http://127.0.0.1:" + std::to_string(prometheusPort) + "/api/v1/query"},
                                directory_ + "/query.log");
        WaitExit(pid, 10);
        const Json answer = Parsed(ReadFile(directory_ + "/query.body"));
        if (answer.is_object() && answer.value("status", "") == "success" && !answer["data"]["result"].empty()) {
            result = answer["data"]["result"];
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    kill(prometheus, SIGTERM);
    WaitExit(prometheus, 20);
    ASSERT_FALSE(result.is_null()) << ReadFile(directory_ + "/prometheus.log");
    EXPECT_GT(std::stod(result[0]["value"][1].get<std::string>()), 0.0) << result;
}

// ---- writes from every face ------------------------------------------------------------------

// A write through HTTP, a set through MQTT and a write through Modbus, one
// after another and round again: the journal holds them all, in the order
// they were made, each with its face, and the controller the last value.
TEST_F(HttpFace, WritesFromEveryFaceAreJournaledInOrder) {
    if (kMbpoll[0] == '\0') GTEST_SKIP() << "mbpoll is not installed";
    StartSimulator({});
    const int modbusPort = FreeLoopbackPort();
    ASSERT_NO_FATAL_FAILURE(StartFace({"--allow-write", "001M025", "--modbus-listen", std::to_string(modbusPort)}));
    Watcher watcher(broker_->port());
    const std::string basic = std::string("anna:") + kPassword;
    const struct {
        const char* face;
        int value;
    } writes[] = {{"http", 1}, {"mqtt", 2}, {"modbus", 3}, {"http", 4}, {"modbus", 5}, {"mqtt", 6}};
    size_t results = 0;
    for (const auto& write : writes) {
        SCOPED_TRACE(std::string(write.face) + " " + std::to_string(write.value));
        const std::string value = std::to_string(write.value);
        if (std::string(write.face) == "http") {
            EXPECT_EQ(Put("001M025", "{\"value\": " + value + "}", {"-u", basic}).status, 200);
        } else if (std::string(write.face) == "mqtt") {
            watcher.Publish("tz52/001M025/set", value);
            size_t at = 0;
            EXPECT_NE(watcher.WaitFor("tz52/001M025/result", [](const std::string&) { return true; }, 10, results, &at), "");
            results = at + 1;
        } else {
            const std::string log = directory_ + "/mbpoll.log";
            const pid_t pid = Spawn({kMbpoll, "-m", "tcp", "-p", std::to_string(modbusPort), "-a", "1", "-r", "25", "-t",
                                     "4", "127.0.0.1", value},
                                    log);
            EXPECT_EQ(WaitExit(pid, 20), 0) << ReadFile(log);
        }
        EXPECT_EQ(simulator_->GetPoint(Point(1, 'M', 25)), write.value);
    }
    std::vector<std::pair<std::string, int>> journaled;
    for (const Json& event : Writes()) {
        if (event["kind"] == "writeDone" && event["points"].size() == 1) {
            journaled.emplace_back(event["face"], event["points"][0]["value"]);
        }
    }
    const std::vector<std::pair<std::string, int>> expected = {{"http", 1}, {"mqtt", 2},   {"modbus", 3},
                                                               {"http", 4}, {"modbus", 5}, {"mqtt", 6}};
    EXPECT_EQ(journaled, expected) << Curl("/api/v1/events?limit=1000").body;
}

// ---- clients that hold on --------------------------------------------------------------------

// Streams that are never read, of every read of a busy line, while another
// client asks: it is answered and the bridge's memory stays bounded. A
// request whose headers never end is closed by the connection timeout, and
// others are served meanwhile.
TEST_F(HttpFace, SlowAndEndlessClientsHoldUpNobody) {
    StartSimulator({});
    BusyPoints();
    ASSERT_NO_FATAL_FAILURE(StartFace({"--no-mqtt"}));
    ASSERT_EQ(Curl("/api/v1/points").status, 200);
    const long before = ResidentKiB(bridge_);
    std::vector<std::unique_ptr<RawConnection>> sleepers;
    for (int i = 0; i < 8; ++i) {
        sleepers.push_back(std::make_unique<RawConnection>(httpPort_));
        ASSERT_TRUE(sleepers.back()->connected());
        sleepers.back()->Send("GET /api/v1/stream?reads=all HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    RawConnection endless(httpPort_);
    ASSERT_TRUE(endless.connected());
    endless.Send("GET /api/v1/points HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    long most = before;
    const auto start = Clock::now();
    bool closed = false;
    while (!closed && MillisecondsSince(start) < 30000) {
        const Answer answer = Curl("/api/v1/points/001M001");
        EXPECT_EQ(answer.status, 200) << answer;
        most = std::max(most, ResidentKiB(bridge_));
        closed = endless.ClosedWithin(1);
    }
    EXPECT_TRUE(closed) << "the request that never ends is still open";
    // Each stream holds at most 256 KiB unread.
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer freed memory is held in quarantine (256 MiB),
    // so the resident size grows with every event sent, bounded all the same.
    constexpr long kMostGrowthKiB = 640 * 1024;
#else
    constexpr long kMostGrowthKiB = 8 * 1024;
#endif
    EXPECT_LT(most - before, kMostGrowthKiB) << before << " KiB at first, " << most << " KiB at most";
    EXPECT_EQ(Curl("/healthz").status, 200);
}

}  // namespace
