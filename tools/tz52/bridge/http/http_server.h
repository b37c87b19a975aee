// The HTTP face's server: libmicrohttpd with its own polling thread on epoll,
// bounded in connections (in all and per client address), in idle time and
// in memory per connection, HTTPS from a certificate and key file. Each
// request, its body bounded, is handed whole to AnswerRequest and the
// handler; nothing of HTTP is parsed here.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/tz52/bridge/http/http_exchange.h"

struct MHD_Daemon;

struct HttpServerSettings {
    std::string address = "127.0.0.1";  // IPv4 or IPv6, numeric
    uint16_t port = 0;                  // 0: one the system picks
    unsigned connectionLimit = 64;
    unsigned perAddressLimit = 8;
    unsigned idleTimeoutSeconds = 30;
    size_t memoryPerConnection = 64 * 1024;  // holds the headers, so above kMostRequestHeaderBytes
    std::string tlsCertificateFile;          // both given: HTTPS
    std::string tlsKeyFile;
};

class HttpServer {
public:
    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and serves from its own thread; false, with *error, when the
    // address, the TLS files or the listening socket fail.
    bool Start(const HttpServerSettings& settings, HttpHandler handler, std::string* error);
    // Stops serving and closes every connection; waits for the thread.
    void Stop();
    uint16_t Port() const { return port_; }

    // libmicrohttpd's callbacks.
    struct Pending;
    HttpResponse Answer(const HttpRequest& request) const { return AnswerRequest(handler_, request); }

private:
    MHD_Daemon* daemon_ = nullptr;
    HttpHandler handler_;
    uint16_t port_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H
