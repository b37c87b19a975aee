// The HTTP face's server: libmicrohttpd with its own polling thread on
// epoll, bounded in connections (in all and per address), time, memory per
// connection, header and body size, and open streams; HTTPS when given a
// certificate and key. Each whole request goes to the HttpRouter; every
// answer carries the security headers (http_request.h).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/tz52/bridge/core/listen_address.h"
#include "tools/tz52/bridge/http/http_request.h"
#include "tools/tz52/bridge/http/http_stream.h"

struct MHD_Daemon;

struct HttpSettings {
    std::string address = "127.0.0.1";
    int port = 0;                       // 0: one the system picks (Port() says which)
    std::string option = "--http-listen";  // named in messages about the address
    unsigned maxConnections = 64;
    unsigned maxPerAddress = 16;
    unsigned timeoutSeconds = 15;       // a connection silent this long is closed
    size_t memoryPerConnection = 32 * 1024;  // headers are at most 16 KiB; a stream's connection keeps it all
    size_t maxStreams = 16;
    size_t streamPendingBytes = 256 * 1024;  // unread by a stream's client: dropped beyond
    int64_t keepAliveMs = 15000;        // a comment on every stream this often
    // PEM text; both given: HTTPS.
    std::string tlsCertificate;
    std::string tlsKey;
};

class HttpServer {
public:
    HttpServer(HttpSettings settings, HttpRouter router);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and starts the server's thread; false with the reason (the
    // port taken, a certificate that does not load).
    bool Start(std::string* error);
    // Ends every stream, lets them go out, and closes every connection.
    void Stop();
    int Port() const { return boundPort_; }
    size_t Streams() const;
    size_t Connections() const;

private:
    friend struct HttpServerCallbacks;  // libmicrohttpd's callbacks, in http_server.cpp
    // The answer queued on the connection; false when it could not be.
    bool Queue(struct MHD_Connection* connection, const std::string& path, HttpResponse response);
    void KeepStreamsAlive();

    const HttpSettings settings_;
    const HttpRouter router_;
    int listenFd_ = -1;
    int boundPort_ = 0;
    std::string shownAddress_;
    MHD_Daemon* daemon_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::weak_ptr<HttpStream>> streams_;
    size_t openStreams_ = 0;
    bool stopping_ = false;
    std::thread keepAlive_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_SERVER_H
