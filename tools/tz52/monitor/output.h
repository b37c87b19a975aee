// How tz52 monitor shows what it saw: one text line per exchange (with the
// frames' bytes under it for --raw) or one JSON object per line, and the
// summary at the end.
#ifndef TZ52_TOOLS_TZ52_MONITOR_OUTPUT_H
#define TZ52_TOOLS_TZ52_MONITOR_OUTPUT_H

#include <cstdint>
#include <string>

#include "tools/tz52/monitor/exchanges.h"

namespace tz52monitor {

struct DisplayOptions {
    bool clock = false;  // wall-clock time of day instead of milliseconds since the start
    bool raw = false;
    bool json = false;
    bool hasClock = false;       // the time of day at time 0 is known
    int64_t clockAtZeroUs = 0;   // microseconds since midnight, local time
};

constexpr int64_t kMicrosecondsPerDay = 86400000000ll;

// "1234.567" (milliseconds), or "23:41:07.123" with --clock; "-" for no time.
std::string TimeText(int64_t timeUs, const DisplayOptions& options);
// "23:41:07.123456" from microseconds since midnight (wrapping at a day).
std::string DayTimeText(int64_t dayUs, int decimals);

// The column heads of the text lines.
std::string HeaderText(const DisplayOptions& options);
// The record's line(s), each ending in a newline.
std::string RecordText(const Record& record, const DisplayOptions& options);
// The record as one JSON object, no newline.
std::string RecordJson(const Record& record, const DisplayOptions& options);
// Said when the display caught up again after leaving exchanges off.
std::string NotShownText(uint64_t count, const DisplayOptions& options);
std::string SummaryText(const Summary& summary, const DisplayOptions& options);

}  // namespace tz52monitor

#endif  // TZ52_TOOLS_TZ52_MONITOR_OUTPUT_H
