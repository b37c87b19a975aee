// Time as tz52's output shows it: elapsed, in words, and now in UTC.
#ifndef TZ52_TOOLS_TZ52_OUTPUT_CLOCK_H
#define TZ52_TOOLS_TZ52_OUTPUT_CLOCK_H

#include <cstdint>
#include <string>

// Time since construction, finer than MonotonicMilliseconds.
class Stopwatch {
public:
    Stopwatch();
    double Milliseconds() const;

private:
    int64_t startNs_;
};

// "45 s", "3 min 20 s".
std::string FormatSeconds(double milliseconds);
// The time now in UTC, ISO 8601 with milliseconds: "2026-12-08T23:40:00.123Z".
std::string IsoUtcNow();
// The same of a time in ms since the epoch (not before it).
std::string IsoUtc(int64_t epochMilliseconds);

#endif  // TZ52_TOOLS_TZ52_OUTPUT_CLOCK_H
