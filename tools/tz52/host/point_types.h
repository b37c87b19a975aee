// What tz52 knows of each point type, in one place: the letters the driver
// uses (driver_api.h), which types a host may write, the largest value each
// holds (the POINT=VALUE text's table, shared with the simulator), and the
// letters of the parity codes the driver's line settings use.
#ifndef TZ52_TOOLS_TZ52_HOST_POINT_TYPES_H
#define TZ52_TOOLS_TZ52_HOST_POINT_TYPES_H

#include <cstdint>

#include "driver/driver_api.h"
#include "tools/common/text/point_file.h"

// Every point type, in the order tz52 lists them.
constexpr char kPointTypeLetters[] = {kPointA, kPointB, kPointC, kPointM, kPointO, kPointS, '\0'};

// The letter of a type code, or '?' for a code that names no letter.
constexpr char PointTypeLetter(int32_t typeCode) {
    return typeCode >= 'A' && typeCode <= 'Z' ? static_cast<char>(typeCode) : '?';
}

// Inputs A and B are read only; C, M, O and S can be written.
constexpr bool IsReadOnlyType(int32_t typeCode) { return typeCode == kPointA || typeCode == kPointB; }
constexpr bool IsWritableType(int32_t typeCode) {
    return typeCode == kPointC || typeCode == kPointM || typeCode == kPointO || typeCode == kPointS;
}

// The largest value a point of the type holds (an O point one bit); 0 for a
// code that names no type.
constexpr uint32_t LargestPointValue(int32_t typeCode) { return MaxPointValue(PointTypeLetter(typeCode)); }

// "N", "O", "E", "M", "S" for the parity codes 0 to 4 of LineSettings.
constexpr char kParityLetters[] = "NOEMS";
constexpr int kParityCodes = sizeof kParityLetters - 1;

#endif  // TZ52_TOOLS_TZ52_HOST_POINT_TYPES_H
