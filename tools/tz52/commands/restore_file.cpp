#include "tools/tz52/commands/restore_file.h"

#include <map>

#include "driver/point_ranges.h"
#include "tools/common/text/point_file.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/cli/values.h"
#include "tools/tz52/host/point_types.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The header lines tz52 dump writes; anything else in a comment is a note.
void ReadHeaderLine(const std::string& line, PointFileCheck* check) {
    static const char kStation[] = "# tz52 dump of station ";
    static const char kComplete[] = "# complete:";
    static const char kOlderIncomplete[] = "# incomplete:";
    if (StartsWith(line, kStation) && check->headerStation == 0) {
        uint64_t station = 0;
        if (ParseUnsigned(line.substr(sizeof kStation - 1), kMaxStation, &station)) {
            check->headerStation = static_cast<int>(station);
        }
        return;
    }
    std::string said;
    if (StartsWith(line, kComplete)) {
        said = line.substr(sizeof kComplete - 1);
    } else if (StartsWith(line, kOlderIncomplete)) {
        said = "no (" + line.substr(sizeof kOlderIncomplete - 1) + ")";
    } else {
        return;
    }
    const size_t first = said.find_first_not_of(' ');
    said = first == std::string::npos ? "" : said.substr(first);
    if (said == "yes") return;
    // "no (stopped after 16 of 554 points)", or whatever else it says:
    // only "yes" vouches for every point.
    check->incomplete = true;
    if (StartsWith(said, "no (") && said.back() == ')') said = said.substr(4, said.size() - 5);
    if (check->incompleteReason.empty()) check->incompleteReason = Printable(said);
}

}  // namespace

PointFileCheck CheckPointFile(QmxMainFunction entry, const std::vector<std::string>& lines) {
    PointFileCheck check;
    std::map<std::string, int> firstLine;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const int number = static_cast<int>(i + 1);
        auto refuse = [&](const std::string& message, int result) {
            check.faults.push_back({number, result, message});
        };
        if (StartsWith(line, "#")) ReadHeaderLine(line, &check);
        std::string pointText, valueText;
        const PointLineKind kind = SplitPointLine(line, &pointText, &valueText);
        if (kind == PointLineKind::kBlank) continue;
        if (kind == PointLineKind::kMalformed) {
            refuse(Quoted(line) + " is not POINT=VALUE (as 003M025=1234)", kResultRefused);
            continue;
        }
        const CheckedAddress address = CheckAddress(entry, pointText);
        if (address.result != kResultOk) {
            refuse(Quoted(pointText) + " is not a valid point address: " + AddressRefusalReason(address),
                   address.result);
            continue;
        }
        const uint32_t largest = LargestPointValue(address.pointType);
        uint16_t value = 0;
        if (!ParsePointValue(valueText, &value) || value > largest) {
            refuse(Quoted(valueText) + " is not a value a point of type " + std::string(1, PointTypeLetter(address.pointType)) +
                       " holds (0 to " + std::to_string(largest) + ")",
                   kResultRefused);
            continue;
        }
        const std::string point = CanonicalAddress(address);
        const auto seen = firstLine.emplace(point, number);
        if (!seen.second) {
            refuse(point + " is set again (first on line " + std::to_string(seen.first->second) + ")",
                   kResultRefused);
            continue;
        }
        PointFileEntry accepted;
        accepted.address = address;
        accepted.point = point;
        accepted.value = value;
        accepted.line = number;
        check.entries.push_back(accepted);
        check.stations.insert(address.station);
    }
    return check;
}
