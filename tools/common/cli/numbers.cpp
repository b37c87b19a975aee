#include "tools/common/cli/numbers.h"

#include <charconv>
#include <system_error>

namespace {

bool IsDigits(std::string_view text, int base) {
    if (text.empty()) return false;
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool hex = base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
        if (!digit && !hex) return false;
    }
    return true;
}

}  // namespace

NumberText ReadWholeNumber(std::string_view text, uint64_t* value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars alone would take a leading "-" for no type here but let
    // nothing else through either; the digits are checked first so that a
    // sign or a blank anywhere is "not a number" rather than "too large".
    if (!IsDigits(text, base)) return NumberText::kNotANumber;
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (error == std::errc::result_out_of_range) return NumberText::kTooLarge;
    if (error != std::errc() || end != text.data() + text.size()) return NumberText::kNotANumber;
    *value = number;
    return NumberText::kNumber;
}

bool ParseWholeNumber(std::string_view text, uint64_t limit, uint64_t* value) {
    uint64_t number = 0;
    if (ReadWholeNumber(text, &number) != NumberText::kNumber || number > limit) return false;
    *value = number;
    return true;
}

bool ParseDecimalUnits(std::string_view text, int64_t unitsPerWhole, int64_t limit, int64_t* value) {
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (!IsDigits(whole, 10) || (point != std::string_view::npos && !IsDigits(fraction, 10))) return false;
    uint64_t wholeCount = 0;
    if (std::from_chars(whole.data(), whole.data() + whole.size(), wholeCount).ec != std::errc()) return false;
    if (wholeCount > static_cast<uint64_t>(limit / unitsPerWhole)) return false;
    int64_t units = static_cast<int64_t>(wholeCount) * unitsPerWhole;
    int64_t scale = unitsPerWhole;
    for (const char digit : fraction) {
        if (scale % 10 != 0) return false;  // finer than the unit
        scale /= 10;
        units += (digit - '0') * scale;
    }
    if (units > limit) return false;
    *value = units;
    return true;
}
