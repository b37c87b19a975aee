// Point naming and device addresses live in tools/common, shared with the
// monitor; the simulator uses their names as its own.
#ifndef TZ52SIM_SIM_POINTS_H
#define TZ52SIM_SIM_POINTS_H

#include "tools/common/line/line_points.h"

namespace tz52sim {
using namespace tz52line;
}  // namespace tz52sim

#endif  // TZ52SIM_SIM_POINTS_H
