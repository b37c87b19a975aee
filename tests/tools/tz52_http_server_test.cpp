// The HTTP face's server as curl meets it: the base paths, the security
// headers on every answer, the bounds on a request, the per-address limit,
// a request that never ends, and HTTPS with a certificate the test makes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char kProgram[] = TZ52_HTTP_SERVER_PROGRAM;

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/tz52_http_server.XXXXXX";
        if (mkdtemp(pattern) != nullptr) directory_ = pattern;
    }
    ~Scratch() {
        if (!directory_.empty()) std::system(("rm -rf '" + directory_ + "'").c_str());
    }
    std::string Path(const std::string& name) const { return directory_ + "/" + name; }

private:
    std::string directory_;
};

// The test program serving on a port of its own while this lives.
class Server {
public:
    explicit Server(const std::vector<std::string>& options) {
        int output[2];
        if (pipe(output) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(output[1], 1);
            close(output[0]);
            std::vector<char*> argv{const_cast<char*>(kProgram)};
            for (const std::string& option : options) argv.push_back(const_cast<char*>(option.c_str()));
            argv.push_back(nullptr);
            execv(kProgram, argv.data());
            _exit(127);
        }
        close(output[1]);
        std::FILE* said = fdopen(output[0], "r");
        unsigned port = 0;
        if (said != nullptr && std::fscanf(said, "port %u", &port) == 1) port_ = port;
        if (said != nullptr) std::fclose(said);
    }
    ~Server() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    unsigned port() const { return port_; }
    std::string Url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_);
    }

private:
    pid_t pid_ = -1;
    unsigned port_ = 0;
};

struct Answer {
    int curlExit = -1;
    int status = 0;
    std::string headers;  // as received, lower-cased names not assumed
    std::string body;
};

// curl with `arguments` (its -s, -D and -o added), as a user types it.
Answer Curl(const std::string& arguments) {
    static const Scratch scratch;
    const std::string command = "curl -s --max-time 20 -D '" + scratch.Path("headers") + "' -o '" +
                                scratch.Path("body") + "' " + arguments + " >/dev/null 2>&1";
    std::remove(scratch.Path("headers").c_str());
    std::remove(scratch.Path("body").c_str());
    const int status = std::system(command.c_str());
    Answer answer;
    answer.curlExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    answer.headers = Slurp(scratch.Path("headers"));
    answer.body = Slurp(scratch.Path("body"));
    unsigned code = 0;
    if (std::sscanf(answer.headers.c_str(), "HTTP/%*s %u", &code) == 1) answer.status = static_cast<int>(code);
    return answer;
}

bool HasHeader(const Answer& answer, const std::string& line) {
    return answer.headers.find(line + "\r\n") != std::string::npos;
}

const char* const kSecurityHeaders[] = {
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; object-src 'none'; "
    "base-uri 'none'; frame-ancestors 'none'; form-action 'self'",
    "X-Content-Type-Options: nosniff", "X-Frame-Options: DENY", "Referrer-Policy: no-referrer"};

TEST(HttpServer, AnswersEveryPathWithTheSecurityHeaders) {
    struct Row {
        const char* what;
        std::string arguments;  // after the URL's start
        int status;
        std::string body;       // the start of the body
        std::string header;     // a header line the answer has, or ""
    };
    const std::string bigBody(20000, 'x');
    const Scratch scratch;
    std::ofstream(scratch.Path("big")) << bigBody;
    const Row rows[] = {
        {"health", "/healthz", 200, "ok\n", "Content-Type: text/plain; charset=utf-8"},
        {"the page listing the API", "/", 200, "<!DOCTYPE html>", "Content-Type: text/html; charset=utf-8"},
        {"HEAD: no body", "/healthz -I", 200, "", ""},
        {"an unknown path", "/nothing", 404, "not found", ""},
        {"an API path: never cached", "/api/v1/points", 404, "not found", "Cache-Control: no-store"},
        {"a method the path does not take", "/healthz -X DELETE", 405, "method not allowed", "Allow: GET, HEAD"},
        {"a body over 16 KiB", "/ --data-binary @" + scratch.Path("big"), 413, "the body is larger than 16384",
         ""},
        {"a body of 16 KiB", "/ --data-binary @" + scratch.Path("big") + "16k", 405, "method not allowed", ""},
        {"headers over 16 KiB", "/healthz -H 'X-Padding: " + std::string(17000, 'p') + "'", 431,
         "the headers are larger than 16384", ""},
    };
    std::ofstream(scratch.Path("big16k")) << std::string(16384, 'y');
    const Server server({});
    ASSERT_NE(server.port(), 0u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string url = row.arguments.substr(0, row.arguments.find(' '));
        const std::string rest = row.arguments.size() > url.size() ? row.arguments.substr(url.size()) : "";
        const Answer answer = Curl("'" + server.Url() + url + "'" + rest);
        ASSERT_EQ(answer.status, row.status) << answer.headers << answer.body;
        EXPECT_EQ(answer.body.rfind(row.body, 0), 0u) << answer.body;
        if (!row.header.empty()) {
            EXPECT_TRUE(HasHeader(answer, row.header)) << answer.headers;
        }
        for (const char* header : kSecurityHeaders) EXPECT_TRUE(HasHeader(answer, header)) << answer.headers;
        if (url.rfind("/api/", 0) != 0) {
            EXPECT_FALSE(HasHeader(answer, "Cache-Control: no-store"));
        }
    }
}

// A TCP connection to the server, open while this lives.
class Connection {
public:
    explicit Connection(unsigned port) {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(socket_);
            socket_ = -1;
        }
    }
    ~Connection() {
        if (socket_ >= 0) close(socket_);
    }
    bool Send(const std::string& bytes) { return write(socket_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()); }
    // Whether the server closes the connection within `seconds`.
    bool ClosedWithin(int seconds) {
        pollfd ready{socket_, POLLIN, 0};
        char byte;
        return poll(&ready, 1, seconds * 1000) == 1 && read(socket_, &byte, 1) <= 0;
    }

private:
    int socket_ = -1;
};

TEST(HttpServer, NoAddressHoldsMoreThanItsShareOfConnections) {
    const Server server({"--per-address", "2"});
    ASSERT_NE(server.port(), 0u);
    {
        Connection first(server.port());
        Connection second(server.port());
        ASSERT_TRUE(first.Send("GET "));
        ASSERT_TRUE(second.Send("GET "));
        const Answer refused = Curl("'" + server.Url() + "/healthz'");
        EXPECT_NE(refused.curlExit, 0) << "a third connection from the address was served";
        EXPECT_EQ(refused.status, 0);
    }
    // Once they are gone, the address is served again.
    Answer served;
    for (int attempt = 0; attempt < 50 && served.status != 200; ++attempt) {
        served = Curl("'" + server.Url() + "/healthz'");
        if (served.status != 200) usleep(100000);
    }
    EXPECT_EQ(served.status, 200);
}

TEST(HttpServer, ARequestThatNeverEndsIsClosedWhenIdle) {
    const Server server({"--idle-timeout", "1"});
    ASSERT_NE(server.port(), 0u);
    Connection slow(server.port());
    ASSERT_TRUE(slow.Send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
    EXPECT_TRUE(slow.ClosedWithin(20));
    EXPECT_EQ(Curl("'" + server.Url() + "/healthz'").status, 200) << "the server itself stopped";
}

TEST(HttpServer, ServesHttpsFromACertificateAndKeyFile) {
    const Scratch scratch;
    const std::string cert = scratch.Path("cert.pem");
    const std::string key = scratch.Path("key.pem");
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" +
                             key + "' -out '" + cert +
                             "' -days 1 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const Server server({"--tls", cert, key});
    ASSERT_NE(server.port(), 0u);
    const Answer trusted = Curl("--cacert '" + cert + "' '" + server.Url("https") + "/healthz'");
    EXPECT_EQ(trusted.status, 200) << trusted.curlExit;
    EXPECT_EQ(trusted.body, "ok\n");
    for (const char* header : kSecurityHeaders) EXPECT_TRUE(HasHeader(trusted, header)) << trusted.headers;
    EXPECT_NE(Curl("'" + server.Url("https") + "/healthz'").curlExit, 0) << "an unknown certificate was trusted";
    EXPECT_EQ(Curl("'" + server.Url("http") + "/healthz'").status, 0) << "plain HTTP was served on the HTTPS port";
}

}  // namespace
