// Feeds arbitrary files to tz52 bridge --config's reader, over options like
// the bridge's (a plain value, a checked value, a flag, one that is not a
// key), and checks:
//   - it never throws;
//   - a refusal names the file (FILE or FILE:LINE, or --config FILE) and
//     shows no control character;
//   - a taken point names the file and a line of it;
//   - a value taken was a key of the file, and an option the command line
//     set keeps the command line's value.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/commands/bridge_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/bridge_config_fuzz." + std::to_string(getpid()) + ".conf";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                   static_cast<std::streamsize>(size));
    CLI::App app;
    std::string host = "unset", port = "unset", given = "unset";
    bool json = false, check = false;
    app.add_option("--mqtt-host", host);
    app.add_option_function<std::string>("--port", [&port](const std::string& value) {
        if (value.empty() || value.size() > 11) throw CLI::ValidationError("--port \"" + value + "\": no port name");
        port = value;
    });
    app.add_option("--topic-prefix", given);
    app.add_flag("--json", json)->disable_flag_override();
    app.add_flag("--check", check)->configurable(false);
    std::vector<std::string> arguments = {"cmd", "--topic-prefix"};  // reversed, as CLI11 takes them
    app.parse(arguments);

    std::vector<ListedPoint> points;
    std::string error;
    int exitCode = 0;
    try {
        if (ApplyBridgeConfig(&app, path, &points, &error, &exitCode)) {
            for (const ListedPoint& point : points) {
                Require(point.where.compare(0, path.size(), path) == 0, "a point that does not name the file");
            }
            Require(given == "cmd", "the file won over the command line");
            Require(!check, "a key that is no key was taken");
            const std::string text(reinterpret_cast<const char*>(data), size);
            if (host != "unset") Require(text.find("mqtt-host") != std::string::npos, "a value from nowhere");
        } else {
            Require(exitCode == 64 || exitCode == 74, "an exit code other than 64 or 74");
            Require(error.compare(0, path.size(), path) == 0 || error.compare(0, 9 + path.size(), "--config " + path) == 0,
                    "a refusal that does not name the file");
            Require(HasNoControlCharacters(error), "a control character in a message");
        }
    } catch (const std::exception& thrown) {
        std::fprintf(stderr, "bridge_config_fuzz: threw %s\n", thrown.what());
        std::abort();
    }
    return 0;
}
