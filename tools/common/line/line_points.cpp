#include "tools/common/line/line_points.h"

#include <cctype>
#include <cstdio>

#include "tools/common/text/point_file.h"
#include "tools/common/cli/quoted.h"

namespace tz52line {

namespace {

constexpr PointTypeInfo kPointTypes[] = {
    {'A', 9, 12, MaxPointValue('A')},
    {'B', 1, 16, MaxPointValue('B')},
    {'C', 1, 16, MaxPointValue('C')},
    {'M', 1, 256, MaxPointValue('M')},
    {'O', 1, 12, MaxPointValue('O')},
    {'S', 1, 250, MaxPointValue('S')},
};

// C points sit at even word addresses from 96; M points 1 to 32 from 144 and
// 33 to 256 from 256, leaving 208 to 254 unused.
constexpr int kCBase = 94;
constexpr int kMLowBase = 142;
constexpr int kMHighBase = 190;
constexpr int kMLowLastIndex = 32;
// S point i has its high byte at 0xB7FB - 2i, its low byte just above.
constexpr int kSTop = 0xB7FB;

bool ReadDigits(const std::string& text, size_t from, int* value) {
    int result = 0;
    for (size_t i = from; i < from + 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        result = result * 10 + (text[i] - '0');
    }
    *value = result;
    return true;
}

}  // namespace

const PointTypeInfo* FindPointType(char type) {
    for (const PointTypeInfo& info : kPointTypes) {
        if (info.type == type) return &info;
    }
    return nullptr;
}

bool ParsePoint(const std::string& text, PointRef* point, std::string* error) {
    const bool trailingSpace = text.size() == 8 && text[7] == ' ';
    if (text.size() != 7 && !trailingSpace) {
        *error = "point address " + Quoted(text) + " is not of the form 001M025";
        return false;
    }
    PointRef parsed;
    parsed.type = static_cast<char>(std::toupper(static_cast<unsigned char>(text[3])));
    const PointTypeInfo* info = FindPointType(parsed.type);
    if (!ReadDigits(text, 0, &parsed.station) || !ReadDigits(text, 4, &parsed.index) ||
        info == nullptr) {
        *error = "point address " + Quoted(text) + " is not of the form 001M025 (types A B C M O S)";
        return false;
    }
    if (parsed.station < kFirstStation || parsed.station > kLastStation) {
        *error = "point address " + Quoted(text) + ": station must be 1 to 127";
        return false;
    }
    if (parsed.index < info->firstIndex || parsed.index > info->lastIndex) {
        *error = "point address " + Quoted(text) + ": index of type " + parsed.type + " must be " +
                 std::to_string(info->firstIndex) + " to " + std::to_string(info->lastIndex);
        return false;
    }
    *point = parsed;
    return true;
}

std::string FormatPoint(const PointRef& point) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d%c%03d", point.station, point.type, point.index);
    return text;
}

int WordAddressOf(char type, int index) {
    if (type == 'C') return 2 * index + kCBase;
    return 2 * index + (index <= kMLowLastIndex ? kMLowBase : kMHighBase);
}

uint16_t ByteAddressOf(int index) { return static_cast<uint16_t>(kSTop - 2 * index); }

bool PointAtWordAddress(int address, char* type, int* index) {
    if (address % 2 != 0) return false;
    const struct {
        char type;
        int base;
        int first;
        int last;
    } kWordRanges[] = {{'C', kCBase, 1, 16}, {'M', kMLowBase, 1, kMLowLastIndex},
                       {'M', kMHighBase, kMLowLastIndex + 1, 256}};
    for (const auto& range : kWordRanges) {
        const int candidate = (address - range.base) / 2;
        if (candidate >= range.first && candidate <= range.last) {
            *type = range.type;
            *index = candidate;
            return true;
        }
    }
    return false;
}

bool PointAtByteAddress(int address, int* index, bool* lowByte) {
    const bool low = address % 2 == 0;
    const int candidate = (kSTop + (low ? 1 : 0) - address) / 2;
    if (candidate < 1 || candidate > 250) return false;
    *index = candidate;
    *lowByte = low;
    return true;
}

}  // namespace tz52line
