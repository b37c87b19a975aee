// The points the line polls as a points file and the command line name them.
#include "tools/tz52/bridge/core/points_file.h"

#include <sstream>

#include "tools/common/cli/quoted.h"
#include "tools/common/cli/values.h"
#include "tools/common/text/trim.h"

bool AddBridgePoint(QmxMainFunction entry, const std::string& text, int64_t period, const std::string& origin,
                    const std::string& messageHead, const char* twice, std::vector<BridgePoint>* points,
                    PointOrigins* origins, std::string* error) {
    BridgePoint point;
    point.address = CheckAddress(entry, text);
    if (point.address.result != kResultOk) {
        *error = messageHead + Quoted(text) + " is not a valid point address: " + AddressRefusalReason(point.address);
        return false;
    }
    point.name = CanonicalAddress(point.address);
    point.periodMilliseconds = period;
    const auto known = origins->find(point.name);
    if (known != origins->end()) {
        *error = messageHead + point.name + " is " + twice + " twice (first at " + known->second + ")";
        return false;
    }
    (*origins)[point.name] = origin;
    points->push_back(point);
    return true;
}

bool ParseBridgePointLine(QmxMainFunction entry, std::string line, const std::string& where, int64_t defaultPeriod,
                          std::vector<BridgePoint>* points, PointOrigins* origins, std::string* error) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.resize(comment);
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) return true;
    int64_t period = defaultPeriod;
    if (fields.size() == 3 && fields[1] == "every") {
        if (!ParseDuration(fields[2], &period)) {
            *error = where + ": " + Quoted(fields[2]) + " is not a period such as 500ms, 2s or 10min (at most one day)";
            return false;
        }
    } else if (fields.size() != 1) {
        *error = where + ": expected ADDRESS or ADDRESS every DURATION, found " + Quoted(Trim(line));
        return false;
    }
    return AddBridgePoint(entry, fields[0], period, where, where + ": ", "listed", points, origins, error);
}

bool ParseBridgePoints(QmxMainFunction entry, const std::vector<std::string>& lines, const std::string& source,
                       int64_t defaultPeriod, std::vector<BridgePoint>* points, PointOrigins* origins,
                       std::string* error) {
    for (size_t number = 1; number <= lines.size(); ++number) {
        const std::string where = Printable(source) + ":" + std::to_string(number);
        if (!ParseBridgePointLine(entry, lines[number - 1], where, defaultPeriod, points, origins, error)) return false;
    }
    return true;
}
