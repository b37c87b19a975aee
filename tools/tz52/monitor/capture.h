// The capture format of tz52 monitor: plain text, one line per piece of
// bytes as one side sent it, which other serial tools' logs can be turned
// into by hand:
//
//   # comment (and blank lines) are ignored
//   [TIME] > 81 7E 01 7E 5B 24 6F 10     from the host to the controller
//   [TIME] < FE 00 00 7F 00 7F           from the controller to the host
//
// TIME is optional: milliseconds ("12", "12.345", "12.345ms") or a time of
// day ("23:41:07", "23:41:07.123"). Bytes are pairs of hexadecimal digits,
// separated by spaces or not ("817E017E"). The monitor's own captures start
// with comment lines that carry the time of day at time 0 ("# clock
// 23:41:07.123456") and the read limit ("# read limit 40 ms").
#ifndef TZ52_TOOLS_TZ52_MONITOR_CAPTURE_H
#define TZ52_TOOLS_TZ52_MONITOR_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/tz52/monitor/exchanges.h"

namespace tz52monitor {

// What the comment lines of a capture can say.
struct CaptureFacts {
    bool hasClock = false;
    int64_t clockAtZeroUs = 0;  // microseconds since midnight
    bool hasReadLimit = false;
    int readLimitMs = 0;
};

std::string CaptureHeaderText(const CaptureFacts& facts);
std::string CaptureLineText(const Piece& piece);

// How a line of a capture reads.
enum class TimeForm { kNone, kMilliseconds, kDayTime };
struct CaptureLine {
    enum Kind { kPiece, kNothing, kError } kind = kNothing;
    Piece piece;               // kPiece; timeUs as written (milliseconds or time of day)
    TimeForm timeForm = TimeForm::kNone;
    std::string error;         // kError: what cannot be read
};

// One line (without its newline). Comment lines that carry facts update
// *facts.
CaptureLine ParseCaptureLine(const std::string& line, CaptureFacts* facts);

// A line that cannot be read: its number (from 1) and why.
struct CaptureFault {
    size_t line = 0;
    std::string error;
};

// A whole capture read: the facts of its comment lines (which apply from the
// start, wherever they stand), its pieces in order with times from the start
// (or none), and the lines left out.
struct CaptureContents {
    CaptureFacts facts;
    bool dayTimes = false;        // the times were times of day...
    int64_t firstDayTimeUs = 0;   // ...counted from this one
    std::vector<Piece> pieces;
    std::vector<CaptureFault> faults;
};

CaptureContents ReadCaptureLines(const std::vector<std::string>& lines);

}  // namespace tz52monitor

#endif  // TZ52_TOOLS_TZ52_MONITOR_CAPTURE_H
