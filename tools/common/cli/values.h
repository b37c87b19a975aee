// The values the tools' options and files take, each parsed whole on the
// one number parser (numbers.h): durations, the driver's read limit, point
// values and the line settings. Each returns false for a text it does not
// accept and leaves its output alone then.
#ifndef TZ52_TOOLS_COMMON_CLI_VALUES_H
#define TZ52_TOOLS_COMMON_CLI_VALUES_H

#include <cstdint>
#include <string>

// Whole-text unsigned decimal or 0x hexadecimal, at most `limit`.
bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* value);
// A duration: "500ms", "2s" or a bare number of milliseconds; at most a day.
bool ParseDuration(const std::string& text, int64_t* milliseconds);
// A read limit in the driver's units of 10 ms: "4", or "40ms" / "1s" (a
// multiple of 10 ms); 1 (10 ms) to 6000 (60 s).
bool ParseReadTimeout(const std::string& text, int32_t* units);
// A point value: 0 to 65535, decimal or 0x hexadecimal.
bool ParsePointValue(const std::string& text, uint16_t* value);
// Stop bits "1", "1.5", "2" to the port's code 0, 1, 2.
bool ParseStopBits(const std::string& text, uint16_t* code);
// Parity "none", "odd", "even", "mark", "space" (or their first letter) to
// the port's code 0 to 4.
bool ParseParity(const std::string& text, uint16_t* code);

#endif  // TZ52_TOOLS_COMMON_CLI_VALUES_H
