#include "tools/tz52/bridge/http/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/host/log_line.h"

namespace {

// A stream is given at most this much per call of its reader.
constexpr size_t kStreamBlockBytes = 4096;
// After Stop ends the streams, this long for their last events to go out.
constexpr auto kStreamsEndWait = std::chrono::seconds(2);

// Clients choose how often the warnings about them come: at most this many
// in each window are logged, the rest counted.
constexpr int kMostWarningsPerWindow = 10;
constexpr auto kWarningWindow = std::chrono::seconds(10);

void Log(LogLevel level, const std::string& message) { LogLine(level, "bridge", "http: " + message); }

void LogWarningAboutClient(const std::string& message) {
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point windowStart;
    static int logged = 0;
    static int unlogged = 0;
    std::unique_lock<std::mutex> lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart >= kWarningWindow) {
        const int missed = unlogged;
        windowStart = now;
        logged = 0;
        unlogged = 0;
        if (missed > 0) Log(LogLevel::kWarning, std::to_string(missed) + " more warnings about clients not logged");
    }
    if (++logged > kMostWarningsPerWindow) {
        ++unlogged;
        return;
    }
    lock.unlock();
    Log(LogLevel::kWarning, message);
}

std::string PeerText(const sockaddr* address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address == nullptr) return "?";
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "?";
}

std::string ClientText(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return PeerText(info == nullptr ? nullptr : info->client_addr);
}

// libmicrohttpd's own complaints (a TLS handshake failed, out of memory)
// go to the bridge's log.
void LogLibraryMessage(void*, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    LogWarningAboutClient(Printable(message));
}

enum MHD_Result CollectField(void* fields, enum MHD_ValueKind, const char* key, const char* value) {
    static_cast<HttpFields*>(fields)->emplace_back(key == nullptr ? "" : key, value == nullptr ? "" : value);
    return MHD_YES;
}

// The body's announced length; one that is not a number counts as too
// large.
uint64_t AnnouncedBodyBytes(MHD_Connection* connection) {
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    uint64_t bytes = 0;
    if (length == nullptr) return 0;
    return ParseWholeNumber(length, UINT64_MAX, &bytes) ? bytes : UINT64_MAX;
}

// What the reader of a stream's response holds: the stream, and the
// connection to suspend and resume.
struct StreamReader {
    std::shared_ptr<HttpStream> stream;
    MHD_Connection* connection = nullptr;
    std::function<void()> closed;  // tells the server one stream fewer is open
};

ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t room) {
    auto* reader = static_cast<StreamReader*>(cls);
    size_t taken = 0;
    const HttpStream::Step step =
        reader->stream->Take(buffer, room < kStreamBlockBytes ? room : kStreamBlockBytes, &taken,
                             [reader] { MHD_suspend_connection(reader->connection); });
    switch (step) {
        case HttpStream::Step::kData:
            return static_cast<ssize_t>(taken);
        case HttpStream::Step::kWait:
            return 0;
        case HttpStream::Step::kEnd:
            return MHD_CONTENT_READER_END_OF_STREAM;
        case HttpStream::Step::kDrop:
            LogWarningAboutClient("the stream's client at " + ClientText(reader->connection) +
                                  " left too much unread; it is dropped");
            break;
    }
    return MHD_CONTENT_READER_END_WITH_ERROR;
}

void FreeStreamReader(void* cls) {
    auto* reader = static_cast<StreamReader*>(cls);
    reader->stream->Finish();
    if (reader->closed) reader->closed();
    delete reader;
}

}  // namespace

// An answer that comes later, while its connection waits suspended.
struct LaterAnswer {
    std::mutex mutex;
    MHD_Connection* connection = nullptr;
    bool open = true;    // the connection is still there
    bool ready = false;  // the answer is in; the connection resumed
    HttpResponse response;
};

// One request being received: its fields, then its body as it arrives.
struct HttpServerExchange {
    HttpRequest request;
    bool answered = false;  // refused before its end
    std::shared_ptr<LaterAnswer> later;
};

struct HttpServerCallbacks {
    static enum MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                  const char*, const char* upload, size_t* uploadSize, void** context) {
        auto* server = static_cast<HttpServer*>(cls);
        auto* exchange = static_cast<HttpServerExchange*>(*context);
        if (exchange != nullptr && exchange->later) {
            // Resumed: the answer has come.
            std::unique_lock<std::mutex> lock(exchange->later->mutex);
            if (!exchange->later->ready) return MHD_YES;
            HttpResponse response = std::move(exchange->later->response);
            lock.unlock();
            AddSecurityHeaders(url, &response);
            return server->Queue(connection, url, std::move(response)) ? MHD_YES : MHD_NO;
        }
        if (exchange == nullptr) {
            exchange = new HttpServerExchange;
            *context = exchange;
            exchange->request.method = method;
            exchange->request.path = url;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectField, &exchange->request.headers);
            // Refused before the body is read.
            HttpResponse refusal;
            if (RefuseBeyondBounds(exchange->request, AnnouncedBodyBytes(connection), &refusal)) {
                exchange->answered = true;
                return server->Queue(connection, url, std::move(refusal)) ? MHD_YES : MHD_NO;
            }
            return MHD_YES;
        }
        if (exchange->answered) {
            *uploadSize = 0;  // not read on: the connection closes after the refusal
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            // A body of no announced length (chunked) that outgrows the
            // bound: the library takes an answer only before the body or
            // after all of it, and the rest is not read, so the connection
            // is closed unanswered.
            if (exchange->request.body.size() + *uploadSize > kHttpMostBodyBytes) {
                LogWarningAboutClient("a request's body from " + ClientText(connection) +
                                      " exceeds 16 KiB; the connection is closed");
                return MHD_NO;
            }
            exchange->request.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        HttpRequest& request = exchange->request;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, CollectField, &request.query);
        MHD_get_connection_values(connection, MHD_COOKIE_KIND, CollectField, &request.cookies);
        request.peer = ClientText(connection);
        request.tls = !server->settings_.tlsCertificate.empty();
        char* password = nullptr;
        if (char* user = MHD_basic_auth_get_username_password(connection, &password)) {
            request.basic = true;
            request.basicUser = user;
            request.basicPassword = password == nullptr ? "" : password;
            MHD_free(user);
            if (password != nullptr) MHD_free(password);
        }
        const std::string path = request.path;
        HttpResponse response = server->router_.Handle(std::move(request));
        if (response.later) {
            auto later = std::make_shared<LaterAnswer>();
            later->connection = connection;
            exchange->later = later;
            MHD_suspend_connection(connection);
            response.later([later](HttpResponse answer) {
                std::lock_guard<std::mutex> lock(later->mutex);
                if (!later->open || later->ready) return;
                later->response = std::move(answer);
                later->ready = true;
                MHD_resume_connection(later->connection);
            });
            return MHD_YES;
        }
        return server->Queue(connection, path, std::move(response)) ? MHD_YES : MHD_NO;
    }

    static void Completed(void*, MHD_Connection*, void** context, enum MHD_RequestTerminationCode) {
        auto* exchange = static_cast<HttpServerExchange*>(*context);
        if (exchange != nullptr && exchange->later) {
            std::lock_guard<std::mutex> lock(exchange->later->mutex);
            exchange->later->open = false;
        }
        delete exchange;
        *context = nullptr;
    }
};

HttpServer::HttpServer(HttpSettings settings, HttpRouter router)
    : settings_(std::move(settings)), router_(std::move(router)) {}

HttpServer::~HttpServer() { Stop(); }

size_t HttpServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (daemon_ == nullptr) return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info == nullptr ? 0 : info->num_connections;
}

size_t HttpServer::Streams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openStreams_;
}

bool HttpServer::Start(std::string* error) {
    const bool six = settings_.address.find(':') != std::string::npos;
    shownAddress_ = (six ? "[" + settings_.address + "]" : settings_.address) + ":" + std::to_string(settings_.port);
    const bool tls = !settings_.tlsCertificate.empty() || !settings_.tlsKey.empty();
    if (tls && (settings_.tlsCertificate.empty() || settings_.tlsKey.empty())) {
        *error = "HTTPS needs both a certificate and its key";
        return false;
    }
    // The socket is the server's own, so that a port in use is said so.
    addrinfo hints{};
    hints.ai_family = six ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(settings_.address.c_str(), std::to_string(settings_.port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        *error = settings_.option + ": " + Quoted(settings_.address) + " is not an address to listen on";
        return false;
    }
    int failure = 0;
    listenFd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        failure = errno;
    } else {
        const int on = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(listenFd_, found->ai_addr, found->ai_addrlen) != 0 || listen(listenFd_, SOMAXCONN) != 0) {
            failure = errno;
            close(listenFd_);
            listenFd_ = -1;
        }
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        *error = settings_.option + ": cannot listen on " + shownAddress_ + ": " + std::strerror(failure);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0) {
        boundPort_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        shownAddress_ = (six ? "[" + settings_.address + "]" : settings_.address) + ":" + std::to_string(boundPort_);
    }

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (six) flags |= MHD_USE_IPv6;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        // First, so that no message of the options goes elsewhere.
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LogLibraryMessage), nullptr},
        {MHD_OPTION_LISTEN_SOCKET, listenFd_, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(settings_.maxConnections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(settings_.maxPerAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(settings_.timeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(settings_.memoryPerConnection), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServerCallbacks::Completed), this},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings_.tlsCertificate.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(settings_.tlsKey.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpServerCallbacks::Answer, this, MHD_OPTION_ARRAY,
                               options.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        close(listenFd_);
        listenFd_ = -1;
        *error = settings_.option + ": the HTTP server on " + shownAddress_ + " did not start" +
                 (tls ? " (is the certificate and its key PEM text that belongs together?)" : "");
        return false;
    }
    listenFd_ = -1;  // the library's now: it closes it as it stops
    keepAlive_ = std::thread([this] { KeepStreamsAlive(); });
    Log(LogLevel::kInfo, std::string("listening on ") + (tls ? "https://" : "http://") + shownAddress_ +
                             ", at most " + std::to_string(settings_.maxConnections) + " connections, " +
                             std::to_string(settings_.maxPerAddress) + " from one address, " +
                             std::to_string(settings_.maxStreams) + " streams");
    return true;
}

void HttpServer::Stop() {
    std::vector<std::shared_ptr<HttpStream>> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (daemon_ == nullptr || stopping_) return;
        stopping_ = true;
        for (const auto& weak : streams_) {
            if (auto stream = weak.lock()) open.push_back(stream);
        }
    }
    changed_.notify_all();
    if (keepAlive_.joinable()) keepAlive_.join();
    // Ended streams send what they hold and their last chunk, so that a
    // client sees the stream close rather than break.
    for (const auto& stream : open) stream->End();
    open.clear();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kStreamsEndWait, [this] { return openStreams_ == 0; });
    }
    // Any stream still open is resumed by the library as it stops.
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

bool HttpServer::Queue(MHD_Connection* connection, const std::string& path, HttpResponse response) {
    MHD_Response* answer = nullptr;
    std::shared_ptr<HttpStream> stream;
    if (response.stream) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || openStreams_ >= settings_.maxStreams) {
            response = ErrorResponse(503, stopping_ ? "the server is stopping"
                                                    : "too many event streams are open (at most " +
                                                          std::to_string(settings_.maxStreams) + ")");
            response.headers.emplace_back("Retry-After", "5");
            AddSecurityHeaders(path, &response);
        } else {
            stream = std::make_shared<HttpStream>(settings_.streamPendingBytes);
            auto* reader = new StreamReader{stream, connection, [this] {
                                                {
                                                    std::lock_guard<std::mutex> held(mutex_);
                                                    --openStreams_;
                                                }
                                                changed_.notify_all();
                                            }};
            answer = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlockBytes, ReadStream, reader,
                                                       FreeStreamReader);
            if (answer == nullptr) {
                delete reader;
                return false;
            }
            stream->SetWake([connection] { MHD_resume_connection(connection); });
            ++openStreams_;
            streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                          [](const std::weak_ptr<HttpStream>& weak) { return weak.expired(); }),
                           streams_.end());
            streams_.push_back(stream);
        }
    }
    if (answer == nullptr) {
        answer = MHD_create_response_from_buffer(response.body.size(), const_cast<char*>(response.body.data()),
                                                 MHD_RESPMEM_MUST_COPY);
        if (answer == nullptr) return false;
    }
    for (const auto& header : response.headers) {
        // The library refuses a field with a line break in it: an answer
        // that cannot be sent whole is not sent at all.
        if (MHD_add_response_header(answer, header.first.c_str(), header.second.c_str()) != MHD_YES) {
            Log(LogLevel::kError, "an answer to " + Quoted(path) + " has a header that cannot be sent: " +
                                      Quoted(header.first));
            MHD_destroy_response(answer);
            return false;
        }
    }
    const bool queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), answer) == MHD_YES;
    MHD_destroy_response(answer);
    if (queued && stream != nullptr && response.stream) response.stream(stream);
    return queued;
}

void HttpServer::KeepStreamsAlive() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto next = std::chrono::steady_clock::now();
    while (!stopping_) {
        next += std::chrono::milliseconds(settings_.keepAliveMs);
        // Woken early by each stream that closes: the period still holds.
        if (changed_.wait_until(lock, next, [this] { return stopping_; })) break;
        std::vector<std::shared_ptr<HttpStream>> open;
        for (const auto& weak : streams_) {
            if (auto stream = weak.lock()) open.push_back(stream);
        }
        lock.unlock();
        // A comment line: browsers ignore it, and a client gone is found
        // out when it cannot be written.
        for (const auto& stream : open) stream->Send(":\n\n");
        lock.lock();
    }
}
