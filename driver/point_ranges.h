// The valid stations and the index range of every point type: one table that
// the address check, the point reads and the point writes all consult.
#ifndef TZ52DRV_DRIVER_POINT_RANGES_H
#define TZ52DRV_DRIVER_POINT_RANGES_H

#include <cstdint>

constexpr int32_t kMinStation = 1;
constexpr int32_t kMaxStation = 127;

struct PointIndexRange {
    int32_t typeCode;  // 'A', 'B', 'C', 'M', 'O', 'S'
    int32_t first;
    int32_t last;
};

// The range of `typeCode`, or null for a code that names no point type.
const PointIndexRange* FindPointIndexRange(int32_t typeCode);

// True when station, type and index name a point the controller has.
bool IsValidPoint(int32_t station, int32_t typeCode, int32_t index);

#endif  // TZ52DRV_DRIVER_POINT_RANGES_H
