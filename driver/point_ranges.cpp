#include "driver/point_ranges.h"

#include "driver/driver_api.h"

namespace {

constexpr PointIndexRange kPointIndexRanges[] = {
    {kPointA, 9, 12},
    {kPointB, 1, 16},
    {kPointC, 1, 16},
    {kPointM, 1, 256},
    {kPointO, 1, 12},
    {kPointS, 1, 250},
};

}  // namespace

const PointIndexRange* FindPointIndexRange(int32_t typeCode) {
    for (const PointIndexRange& range : kPointIndexRanges) {
        if (range.typeCode == typeCode) return &range;
    }
    return nullptr;
}

bool IsValidPoint(int32_t station, int32_t typeCode, int32_t index) {
    if (station < kMinStation || station > kMaxStation) return false;
    const PointIndexRange* range = FindPointIndexRange(typeCode);
    return range != nullptr && index >= range->first && index <= range->last;
}
