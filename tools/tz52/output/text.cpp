#include "tools/tz52/output/text.h"

#include <cstdio>

namespace {

// The code page 437 characters the banner's box is drawn with; any other
// byte above 0x7F shows as '?'.
struct BoxCharacter {
    unsigned char cp437;
    const char* utf8;
};
constexpr BoxCharacter kBoxCharacters[] = {
    {0xB3, "\u2502"}, {0xBF, "\u2510"}, {0xC0, "\u2514"}, {0xC4, "\u2500"}, {0xD9, "\u2518"}, {0xDA, "\u250C"},
};

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++width;  // count only the first byte of each UTF-8 sequence
    }
    return width;
}

}  // namespace

std::vector<std::string> Cp437Lines(const char* text) {
    std::vector<std::string> lines;
    std::string line;
    auto finish = [&]() {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        line.clear();
    };
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p != nullptr && *p != 0; ++p) {
        if (*p == '\r' || *p == '\n') {
            finish();
            continue;
        }
        if (*p < 0x80) {
            line += static_cast<char>(*p);
            continue;
        }
        const char* shown = "?";
        for (const BoxCharacter& box : kBoxCharacters) {
            if (box.cp437 == *p) shown = box.utf8;
        }
        line += shown;
    }
    finish();
    return lines;
}

std::string HexWord(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string PadRight(const std::string& text, size_t width) {
    const size_t shown = DisplayWidth(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}
