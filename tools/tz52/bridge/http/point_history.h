// Each polled point's recent reads, as the HTTP face keeps them in memory
// for /history: a ring of at most N reads a point, failed reads kept as
// gaps, never as a value. Filled from the line's journal by the face's
// thread, read by the server's.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_POINT_HISTORY_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_POINT_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "tools/common/line/line_points.h"
#include "tools/tz52/bridge/core/line_state.h"

struct HistoryRead {
    int64_t wallMs = 0;  // when the read returned, ms since the epoch
    int32_t result = 0;  // the driver's result; the value only when 0
    uint16_t value = 0;
};

class PointHistory {
public:
    // `perPoint` 0: nothing is kept.
    explicit PointHistory(size_t perPoint) : perPoint_(perPoint) {}

    void Add(const tz52line::PointRef& point, const HistoryRead& read);
    // The point's reads, oldest first; none for a point not kept.
    std::vector<HistoryRead> Of(const tz52line::PointRef& point) const;
    // Points no longer in `state` are forgotten.
    void KeepOnly(const LineSnapshot& state);

private:
    // A read as kept: 8 bytes, its time as the time since the read before
    // it, so that a full station's history fits a small gateway.
    struct Kept {
        uint32_t sinceBeforeMs = 0;  // 0 for the oldest
        uint16_t value = 0;
        int16_t result = 0;
    };
    struct Ring {
        std::vector<Kept> reads;  // grows to perPoint_, then wraps
        size_t next = 0;          // the oldest, once full
        int64_t oldestWallMs = 0;
        int64_t newestWallMs = 0;
    };
    const size_t perPoint_;
    mutable std::mutex mutex_;
    std::map<tz52line::PointRef, Ring, PointOrder> points_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_POINT_HISTORY_H
