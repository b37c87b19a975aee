#include "tools/tz52/commands/dump_text.h"

std::string DumpText(int station, const std::string& types, const DumpReading& reading) {
    // "# complete:" tells tz52 restore whether every point was reached;
    // failed points do not make a dump incomplete.
    std::string text = "# tz52 dump of station " + std::to_string(station) + "\n# date " + reading.date +
                       "\n# port " + reading.setup.name + ", " + DescribeLine(reading.setup.line) + ", read limit " +
                       DescribeReadTimeout(reading.setup.readTimeout) + "\n# complete: " +
                       (reading.complete() ? std::string("yes") : "no (stopped after " + reading.DoneText() + ")") +
                       "\n# types " + types + ", " + std::to_string(reading.points.size()) + " points, " +
                       std::to_string(reading.failed) + " failed\n";
    for (const DumpedPoint& point : reading.points) {
        if (!point.read) continue;
        if (point.result == kResultOk) {
            text += point.point + "=" + std::to_string(point.value) + "\n";
        } else {
            text += "# " + point.point + " failed: result " + std::to_string(point.result) + " (" +
                    ResultMeaning(point.result) + "): " + point.failure + "\n";
        }
    }
    return text;
}
