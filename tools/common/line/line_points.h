// The controller's points as a person names them ("001M025": station, type
// letter, index) and where each lives in the controller's memory.
#ifndef TZ52_TOOLS_COMMON_LINE_LINE_POINTS_H
#define TZ52_TOOLS_COMMON_LINE_LINE_POINTS_H

#include <cstdint>
#include <string>

namespace tz52line {

struct PointRef {
    int station = 0;
    char type = 0;  // 'A', 'B', 'C', 'M', 'O', 'S'
    int index = 0;
};

struct PointTypeInfo {
    char type;
    int firstIndex;
    int lastIndex;
    uint32_t maxValue;  // largest value the point can hold
};

constexpr int kFirstStation = 1;
constexpr int kLastStation = 127;

// The row of `type` (upper case), or null.
const PointTypeInfo* FindPointType(char type);

// "001M025" (a trailing space is allowed; the letter in either case), checked
// against the station and index ranges. False with a message otherwise.
bool ParsePoint(const std::string& text, PointRef* point, std::string* error);

// "001M025".
std::string FormatPoint(const PointRef& point);

// Channel operand of an A input: the read command carries index + 13.
constexpr int kAnalogOperandOffset = 13;

// Word memory device address of a C or M point.
int WordAddressOf(char type, int index);

// Byte memory address of the high byte of an S point; its low byte is at the
// next address.
uint16_t ByteAddressOf(int index);

// The C or M point at a word device address; false when none lies there.
bool PointAtWordAddress(int address, char* type, int* index);

// The S point one of whose bytes lies at `address`; false when none does.
bool PointAtByteAddress(int address, int* index, bool* lowByte);

}  // namespace tz52line

#endif  // TZ52_TOOLS_COMMON_LINE_LINE_POINTS_H
