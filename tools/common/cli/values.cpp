#include "tools/common/cli/values.h"

#include <cctype>
#include <cstddef>
#include <string>

#include "tools/common/cli/numbers.h"

namespace {

constexpr int64_t kOneDayMilliseconds = 86400000;
// The driver's read limit counts in units of 10 ms, up to a minute.
constexpr int64_t kReadTimeoutUnitMilliseconds = 10;
constexpr int64_t kLongestReadTimeoutMilliseconds = 60000;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool HasHexPrefix(const std::string& text) {
    return text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// A decimal number with an optional unit ("ms", "s", "min" or "h"), in
// milliseconds, at most a day; `bareUnit` is what a number without a unit
// counts in.
bool ParseMilliseconds(const std::string& text, int64_t bareUnit, int64_t* milliseconds) {
    static const struct {
        const char* name;
        int64_t milliseconds;
    } kUnits[] = {{"ms", 1}, {"min", 60000}, {"s", 1000}, {"h", 3600000}};
    std::string number = Lower(text);
    int64_t unit = bareUnit;
    for (const auto& candidate : kUnits) {
        const size_t length = std::char_traits<char>::length(candidate.name);
        if (number.size() > length && number.compare(number.size() - length, length, candidate.name) == 0) {
            number.resize(number.size() - length);
            unit = candidate.milliseconds;
            break;
        }
    }
    uint64_t count = 0;
    if (HasHexPrefix(number)) return false;
    if (!ParseWholeNumber(number, static_cast<uint64_t>(kOneDayMilliseconds / unit), &count)) return false;
    *milliseconds = static_cast<int64_t>(count) * unit;
    return true;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* value) {
    return ParseWholeNumber(text, limit, value);
}

bool ParseDuration(const std::string& text, int64_t* milliseconds) { return ParseMilliseconds(text, 1, milliseconds); }

bool ParseReadTimeout(const std::string& text, int32_t* units) {
    int64_t milliseconds = 0;
    if (!ParseMilliseconds(text, kReadTimeoutUnitMilliseconds, &milliseconds)) return false;
    if (milliseconds % kReadTimeoutUnitMilliseconds != 0 || milliseconds < kReadTimeoutUnitMilliseconds ||
        milliseconds > kLongestReadTimeoutMilliseconds) {
        return false;
    }
    *units = static_cast<int32_t>(milliseconds / kReadTimeoutUnitMilliseconds);
    return true;
}

bool ParsePointValue(const std::string& text, uint16_t* value) {
    uint64_t number = 0;
    if (!ParseWholeNumber(text, UINT16_MAX, &number)) return false;
    *value = static_cast<uint16_t>(number);
    return true;
}

bool ParseStopBits(const std::string& text, uint16_t* code) {
    static const char* const kNames[] = {"1", "1.5", "2"};
    for (uint16_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (text == kNames[i]) {
            *code = i;
            return true;
        }
    }
    return false;
}

bool ParseParity(const std::string& text, uint16_t* code) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    const std::string wanted = Lower(text);
    for (uint16_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (wanted == kNames[i] || (wanted.size() == 1 && wanted[0] == kNames[i][0])) {
            *code = i;
            return true;
        }
    }
    return false;
}
