// The HTTP face's server with a few handlers of the test's own, for curl
// to talk to:
//   http_test_server LISTEN PORTFILE [CERT KEY]
// listens on LISTEN ([ADDRESS:]PORT, or "free" for a free loopback port)
// and writes the port to PORTFILE once listening; at
// most 2 connections per address, a 1 s timeout and 2 streams, and stops
// (ending its streams) on SIGTERM.
//   GET  /healthz and /             the face's base paths
//   GET  /api/v1/points/{address}  {"address": ..., "query": ..., "tls": ...}
//   PUT  /api/v1/points/{address}  the body echoed
//   GET  /api/v1/stream            an event every 100 ms
//   GET  /api/v1/flood             events until the client is dropped
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tools/tz52/bridge/http/http_server.h"

namespace {

std::string ReadWhole(const char* path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sends to the stream from a thread of its own, as a face's producer would.
void Produce(std::shared_ptr<HttpStream> stream, size_t eventBytes, std::chrono::milliseconds every) {
    std::thread([stream, eventBytes, every] {
        const std::string filler(eventBytes, 'x');
        for (int id = 1; !stream->Closed(); ++id) {
            stream->Send("id: " + std::to_string(id) + "\ndata: {\"n\":" + std::to_string(id) + "}" + filler + "\n\n");
            std::this_thread::sleep_for(every);
        }
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        std::cerr << "usage: http_test_server LISTEN PORTFILE [CERT KEY]\n";
        return 64;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    HttpSettings settings;
    settings.maxPerAddress = 2;
    settings.timeoutSeconds = 1;
    settings.maxStreams = 2;
    settings.streamPendingBytes = 64 * 1024;
    std::string error;
    if (std::string(argv[1]) != "free" &&
        !ParseListenAddress("--http-listen", argv[1], &settings.address, &settings.port, &error)) {
        std::cerr << "http_test_server: " << error << "\n";
        return 64;
    }
    if (argc == 5) {
        settings.tlsCertificate = ReadWhole(argv[3]);
        settings.tlsKey = ReadWhole(argv[4]);
    }
    HttpRouter router;
    router.Add("GET", "/api/v1/points/{address}", [](const HttpRequest& request) {
        Json query = Json::object();
        for (const auto& field : request.query) query[field.first] = field.second;
        const std::string* cookie = request.Cookie("session");
        return JsonResponse(200, Json{{"address", request.pathParameters.at("address")},
                                      {"query", query},
                                      {"session", cookie == nullptr ? "" : *cookie},
                                      {"tls", request.tls}});
    });
    router.Add("PUT", "/api/v1/points/{address}", [](const HttpRequest& request) {
        return TextResponse(200, "text/plain", request.body);
    });
    AddBasePaths(&router);
    router.Add("GET", "/api/v1/stream", [](const HttpRequest&) {
        return StreamResponse([](std::shared_ptr<HttpStream> stream) {
            stream->OnClose([] { std::cerr << "http_test_server: a stream closed\n"; });
            Produce(stream, 0, std::chrono::milliseconds(100));
        });
    });
    router.Add("GET", "/api/v1/flood", [](const HttpRequest&) {
        return StreamResponse([](std::shared_ptr<HttpStream> stream) {
            stream->OnClose([] { std::cerr << "http_test_server: a flooded stream closed\n"; });
            Produce(stream, 1000, std::chrono::milliseconds(0));
        });
    });

    HttpServer server(settings, std::move(router));
    if (!server.Start(&error)) {
        std::cerr << "http_test_server: " << error << "\n";
        return 1;
    }
    std::ofstream(argv[2]) << server.Port() << "\n";
    int signal = 0;
    sigwait(&stop, &signal);
    server.Stop();
    return 0;
}
