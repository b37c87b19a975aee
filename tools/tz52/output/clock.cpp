#include "tools/tz52/output/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Stopwatch::Stopwatch() : startNs_(SteadyNanoseconds()) {}

double Stopwatch::Milliseconds() const { return static_cast<double>(SteadyNanoseconds() - startNs_) / 1e6; }

std::string FormatSeconds(double milliseconds) {
    const long long seconds = static_cast<long long>(milliseconds / 1000.0 + 0.5);
    if (seconds < 60) return std::to_string(seconds) + " s";
    return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string IsoUtcNow() {
    return IsoUtc(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

std::string IsoUtc(int64_t epochMilliseconds) {
    const std::time_t seconds = static_cast<std::time_t>(epochMilliseconds / 1000);
    const long long milliseconds = static_cast<long long>(epochMilliseconds % 1000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}
