// Point naming and device addresses live in tools/common/line, shared with
// the monitor; the simulator takes these names of it as its own.
#ifndef TZ52SIM_SIM_POINTS_H
#define TZ52SIM_SIM_POINTS_H

#include "tools/common/line/line_points.h"

namespace tz52sim {
using tz52line::ByteAddressOf;
using tz52line::FindPointType;
using tz52line::FormatPoint;
using tz52line::kFirstStation;
using tz52line::kLastStation;
using tz52line::ParsePoint;
using tz52line::PointRef;
using tz52line::PointTypeInfo;
using tz52line::WordAddressOf;
}  // namespace tz52sim

#endif  // TZ52SIM_SIM_POINTS_H
