// The text of point values that tz52 dump writes, tz52 restore reads and
// tz52sim --set-file loads: one POINT=VALUE a line ("003M025=1234"), blank
// lines, and comments from # to the end of a line. Also the largest value
// each point type holds, which the simulator and tz52 restore both keep to.
#ifndef TZ52_TOOLS_COMMON_TEXT_POINT_FILE_H
#define TZ52_TOOLS_COMMON_TEXT_POINT_FILE_H

#include <cstdint>
#include <string>

#include "tools/common/text/trim.h"

// The largest value a point of `type` (upper case letter) holds, or 0 for a
// letter that names no type: A inputs 0 to 381, B inputs 0 to 127, O outputs
// one bit, C M S words.
constexpr uint32_t MaxPointValue(char type) {
    switch (type) {
        case 'A': return 381;
        case 'B': return 127;
        case 'O': return 1;
        case 'C':
        case 'M':
        case 'S': return 65535;
        default: return 0;
    }
}

enum class PointLineKind { kBlank, kAssignment, kMalformed };

// One line split: a blank or comment-only line, or POINT=VALUE with the two
// texts trimmed of spaces (their form is the caller's to judge).
inline PointLineKind SplitPointLine(const std::string& line, std::string* point, std::string* value) {
    const std::string text = Trim(line.substr(0, line.find('#')));
    if (text.empty()) return PointLineKind::kBlank;
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return PointLineKind::kMalformed;
    *point = Trim(text.substr(0, equals));
    *value = Trim(text.substr(equals + 1));
    return PointLineKind::kAssignment;
}

#endif  // TZ52_TOOLS_COMMON_TEXT_POINT_FILE_H
