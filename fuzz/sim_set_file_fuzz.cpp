// Feeds arbitrary text as a tz52sim --set-file to its parser and checks:
//   - a file taken sets only valid points (station 1 to 127, an index of
//     the type's range) with values their type holds;
//   - a file refused names a line within the input ("input:N: "), sets
//     nothing, and its message holds no control bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/common/text/point_file.h"
#include "tools/tz52sim/sim_options.h"

using namespace tz52sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::vector<std::string> lines = SplitLikeTextReader(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<Assignment> assignments(1);  // one set before, kept either way
    std::string error;
    if (ParseAssignmentLines(lines, "input", &assignments, &error)) {
        Require(assignments.size() <= lines.size() + 1, "more points than lines");
        for (size_t i = 1; i < assignments.size(); ++i) {
            const PointRef& point = assignments[i].point;
            Require(point.station >= kFirstStation && point.station <= kLastStation, "a station out of range");
            const PointTypeInfo* info = FindPointType(point.type);
            Require(info != nullptr, "a point of no type");
            Require(point.index >= info->firstIndex && point.index <= info->lastIndex, "an index out of range");
            Require(MaxPointValue(point.type) != 0 && assignments[i].value <= MaxPointValue(point.type),
                    "a value its type cannot hold");
        }
        return 0;
    }
    Require(assignments.size() == 1, "a refused file set points");
    Require(error.compare(0, 6, "input:") == 0, "the refusal does not name the input");
    size_t at = 6;
    size_t line = 0;
    while (at < error.size() && error[at] >= '0' && error[at] <= '9' && line < 100000000) {
        line = line * 10 + static_cast<size_t>(error[at++] - '0');
    }
    Require(at < error.size() && error[at] == ':', "the refusal names no line");
    Require(line >= 1 && line <= lines.size(), "the refusal names a line outside the input");
    for (const char c : error) {
        const unsigned char byte = static_cast<unsigned char>(c);
        Require(byte >= 0x20 && byte != 0x7F, "the refusal holds a control byte");
    }
    return 0;
}
