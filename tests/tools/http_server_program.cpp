// The HTTP face's server around the base paths alone, for the server's test
// to reach with curl: prints "port N" once it listens, serves until SIGTERM.
//   http_server_program [--per-address N] [--idle-timeout S] [--tls CERT KEY]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/tz52/bridge/http/http_server.h"

int main(int argc, char** argv) {
    HttpServerSettings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--per-address" && i + 1 < argc) {
            settings.perAddressLimit = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (option == "--idle-timeout" && i + 1 < argc) {
            settings.idleTimeoutSeconds = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (option == "--tls" && i + 2 < argc) {
            settings.tlsCertificateFile = argv[++i];
            settings.tlsKeyFile = argv[++i];
        } else {
            std::fprintf(stderr, "http_server_program: unknown option %s\n", argv[i]);
            return 64;
        }
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    HttpServer server;
    std::string error;
    if (!server.Start(settings, AnswerBasePaths, &error)) {
        std::fprintf(stderr, "http_server_program: %s\n", error.c_str());
        return 1;
    }
    std::printf("port %u\n", server.Port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    server.Stop();
    return 0;
}
