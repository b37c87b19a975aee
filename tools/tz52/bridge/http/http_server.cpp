#include "tools/tz52/bridge/http/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/common/cli/quoted.h"

// A request while its body comes in.
struct HttpServer::Pending {
    HttpRequest request;
};

namespace {

constexpr size_t kMostTlsFileBytes = 1024 * 1024;

bool ReadWholeFile(const std::string& option, const std::string& path, std::string* text, std::string* error) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *error = option + " " + Quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > static_cast<off_t>(kMostTlsFileBytes)) {
        *error = option + " " + Quoted(path) + ": not a regular file of at most 1 MiB";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        *error = option + " " + Quoted(path) + ": cannot be read";
        return false;
    }
    return true;
}

MHD_Result AddValue(void* into, MHD_ValueKind, const char* key, const char* value) {
    auto* headers = static_cast<HttpHeaders*>(into);
    headers->emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
    return MHD_YES;
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "";
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

MHD_Result Queue(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    for (const auto& header : answer.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Access(void* server, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char* uploadData, size_t* uploadSize, void** requestState) {
    auto* pending = static_cast<HttpServer::Pending*>(*requestState);
    if (pending == nullptr) {
        pending = new HttpServer::Pending();
        pending->request.method = method;
        pending->request.path = url;
        *requestState = pending;
        return MHD_YES;
    }
    HttpRequest& request = pending->request;
    if (*uploadSize != 0) {
        // Kept up to the bound; beyond it the rest is dropped as it comes.
        if (!request.bodyTooLarge && request.body.size() + *uploadSize <= kMostRequestBodyBytes) {
            request.body.append(uploadData, *uploadSize);
        } else {
            request.bodyTooLarge = true;
            request.body.clear();
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_get_connection_values(connection, MHD_HEADER_KIND, AddValue, &request.headers);
    HttpHeaders arguments;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, AddValue, &arguments);
    for (const auto& argument : arguments) {
        request.query += (request.query.empty() ? "" : "&") + argument.first + "=" + argument.second;
    }
    request.clientAddress = ClientAddress(connection);
    return Queue(connection, static_cast<const HttpServer*>(server)->Answer(request));
}

void Completed(void*, MHD_Connection*, void** requestState, MHD_RequestTerminationCode) {
    delete static_cast<HttpServer::Pending*>(*requestState);
    *requestState = nullptr;
}

}  // namespace

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const HttpServerSettings& settings, HttpHandler handler, std::string* error) {
    Stop();
    handler_ = std::move(handler);
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* bind = nullptr;
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
    if (inet_pton(AF_INET, settings.address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(settings.port);
        bind = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, settings.address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(settings.port);
        bind = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        *error = "HTTP listening address " + Quoted(settings.address) + " is not a numeric IPv4 or IPv6 address";
        return false;
    }
    const bool tls = !settings.tlsCertificateFile.empty() || !settings.tlsKeyFile.empty();
    std::string certificate;
    std::string key;
    if (tls) {
        if (settings.tlsCertificateFile.empty() || settings.tlsKeyFile.empty()) {
            *error = "HTTPS needs both a certificate and a key file";
            return false;
        }
        if (!ReadWholeFile("--http-tls-cert", settings.tlsCertificateFile, &certificate, error) ||
            !ReadWholeFile("--http-tls-key", settings.tlsKeyFile, &key, error)) {
            return false;
        }
        flags |= MHD_USE_TLS;
    }
    MHD_OptionItem options[] = {
        {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr*>(bind)},
        {MHD_OPTION_CONNECTION_LIMIT, settings.connectionLimit, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings.perAddressLimit, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, settings.idleTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(settings.memoryPerConnection), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Completed), nullptr},
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, const_cast<char*>(certificate.c_str())},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(key.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    daemon_ = MHD_start_daemon(flags, settings.port, nullptr, nullptr, &Access, this, MHD_OPTION_ARRAY, options,
                               MHD_OPTION_END);
    if (!key.empty()) explicit_bzero(&key[0], key.size());
    if (daemon_ == nullptr) {
        *error = "cannot serve HTTP on " + settings.address + ":" + std::to_string(settings.port) +
                 (tls ? " (or the certificate and key are not a pair GnuTLS takes)" : "") +
                 ": the address is taken or not this machine's";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info != nullptr ? info->port : settings.port;
    return true;
}

void HttpServer::Stop() {
    if (daemon_ == nullptr) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}
