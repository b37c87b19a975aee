// Reading numbers from command-line and file text.
#ifndef TZ52SIM_SIM_TEXT_H
#define TZ52SIM_SIM_TEXT_H

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tz52sim {

// A whole decimal number (or 0x-prefixed hexadecimal) from min to max.
inline bool ParseInteger(const std::string& text, long long min, long long max, long long* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    // Leading zeros are decimal ("0010" is ten), not octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(digits, &end, hex ? 16 : 10);
    if (errno != 0 || end == digits || *end != '\0' || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_TEXT_H
