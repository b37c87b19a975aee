// The line code lives in tools/common, shared with the monitor; the
// simulator uses its names as its own.
#ifndef TZ52SIM_SIM_PROTOCOL_H
#define TZ52SIM_SIM_PROTOCOL_H

#include "tools/common/line/line_frames.h"

namespace tz52sim {
using namespace tz52line;
}  // namespace tz52sim

#endif  // TZ52SIM_SIM_PROTOCOL_H
