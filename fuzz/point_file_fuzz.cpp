// Feeds arbitrary bytes as the lines of a point file to tz52 restore's whole
// check (the driver judging each address) and checks:
//   - it never crashes, whatever the bytes;
//   - every accepted entry is a valid point (station 1 to 127, a type the
//     driver knows, an index in its range) with a value its type holds,
//     named once, on a line of the file that assigns it;
//   - every fault names a line within the file;
//   - a file with no fault and an assignment accepts something, and the
//     header's "not complete" is only seen in a file that says "# complete:"
//     or "# incomplete:".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "driver/driver_api.h"
#include "driver/point_ranges.h"
#include "tools/common/text/point_file.h"
#include "tools/tz52/commands/restore_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;  // the check is per line; long files add nothing
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitLikeTextReader(bytes);
    const PointFileCheck check = CheckPointFile(&QmxMain, lines);

    std::set<std::string> points;
    std::set<int> entryLines;
    size_t assignments = 0;
    for (const std::string& line : lines) {
        std::string point, value;
        if (SplitPointLine(line, &point, &value) != PointLineKind::kBlank) ++assignments;
    }
    for (const PointFileEntry& entry : check.entries) {
        const CheckedAddress& address = entry.address;
        Require(address.result == kResultOk, "an accepted entry the driver refused");
        Require(address.station >= kMinStation && address.station <= kMaxStation, "an accepted station out of range");
        const PointIndexRange* range = FindPointIndexRange(address.pointType);
        Require(range != nullptr, "an accepted entry of no point type");
        Require(address.pointIndex >= range->first && address.pointIndex <= range->last,
                "an accepted index out of its type's range");
        const char type = static_cast<char>(address.pointType);
        Require(MaxPointValue(type) != 0, "an accepted type without a largest value");
        Require(entry.value <= MaxPointValue(type), "an accepted value its type cannot hold");
        Require(entry.point.size() == 7, "an accepted point not in its canonical form");
        Require(points.insert(entry.point).second, "a point accepted twice");
        Require(entry.line >= 1 && static_cast<size_t>(entry.line) <= lines.size(), "an entry beyond the file");
        Require(entryLines.insert(entry.line).second, "two entries from one line");
        Require(check.stations.count(address.station) == 1, "an entry's station missing from the stations");
    }
    for (const PointFileFault& fault : check.faults) {
        Require(fault.line >= 1 && static_cast<size_t>(fault.line) <= lines.size(), "a fault beyond the file");
        Require(!fault.message.empty(), "a fault without a message");
        Require(entryLines.count(fault.line) == 0, "a line both accepted and refused");
        for (const char c : fault.message) {
            Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control character in a message");
        }
    }
    Require(check.entries.size() + check.faults.size() == assignments,
            "a line that assigns is neither accepted nor refused");
    if (check.incomplete) {
        Require(bytes.find("# complete:") != std::string::npos || bytes.find("# incomplete:") != std::string::npos,
                "incomplete without a header saying so");
    }
    for (const char c : check.incompleteReason) {
        Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control character in the reason");
    }
    return 0;
}
