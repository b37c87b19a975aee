// Feeds arbitrary lines to the bridge's points-file parser and checks:
//   - it never throws;
//   - the points taken are distinct, each under the name the driver gives
//     its address, with a period of at most one day;
//   - a refusal names the file and its line, and shows no control character.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "driver/driver_api.h"
#include "tools/tz52/bridge/core/points_file.h"

namespace {

constexpr int64_t kOneDayMs = 24 * 60 * 60 * 1000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> lines(1);
    for (size_t at = 0; at < size; ++at) {
        if (data[at] == '\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(static_cast<char>(data[at]));
        }
    }
    std::vector<BridgePoint> points;
    std::map<std::string, std::string> origins;
    std::string error;
    try {
        if (ParseBridgePoints(&QmxMain, lines, "points", 1000, &points, &origins, &error)) {
            std::set<std::string> names;
            for (const BridgePoint& point : points) {
                Require(names.insert(point.name).second, "a point taken twice");
                Require(point.address.result == kResultOk && CanonicalAddress(point.address) == point.name,
                        "a point under another name than its address");
                Require(point.periodMilliseconds >= 0 && point.periodMilliseconds <= kOneDayMs,
                        "a period outside 0 to one day");
            }
            Require(origins.size() == points.size(), "origins and points disagree");
        } else {
            Require(error.compare(0, 7, "points:") == 0, "a refusal that does not name FILE:LINE");
            for (const char c : error) {
                const unsigned char byte = static_cast<unsigned char>(c);
                Require(byte >= 0x20 && byte != 0x7F, "a control character in a message");
            }
        }
    } catch (const std::exception& thrown) {
        std::fprintf(stderr, "points_file_fuzz: threw %s\n", thrown.what());
        std::abort();
    }
    return 0;
}
