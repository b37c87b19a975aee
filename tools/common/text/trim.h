// Blanks (spaces, tabs, CR, LF) off both ends of a text.
#ifndef TZ52_TOOLS_COMMON_TEXT_TRIM_H
#define TZ52_TOOLS_COMMON_TEXT_TRIM_H

#include <string>

inline std::string Trim(const std::string& text) {
    const char* const kBlanks = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

#endif  // TZ52_TOOLS_COMMON_TEXT_TRIM_H
