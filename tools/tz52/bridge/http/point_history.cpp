#include "tools/tz52/bridge/http/point_history.h"

#include <algorithm>
#include <limits>

void PointHistory::Add(const tz52line::PointRef& point, const HistoryRead& read) {
    if (perPoint_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Ring& ring = points_[point];
    Kept kept;
    kept.value = read.value;
    kept.result = static_cast<int16_t>(std::clamp<int32_t>(read.result, INT16_MIN, INT16_MAX));
    if (!ring.reads.empty()) {
        // A clock set back gives 0, never a read before the one before it.
        kept.sinceBeforeMs = static_cast<uint32_t>(
            std::clamp<int64_t>(read.wallMs - ring.newestWallMs, 0, std::numeric_limits<uint32_t>::max()));
    } else {
        ring.oldestWallMs = read.wallMs;
    }
    ring.newestWallMs = ring.reads.empty() ? read.wallMs : ring.newestWallMs + kept.sinceBeforeMs;
    if (ring.reads.size() < perPoint_) {
        if (ring.reads.capacity() == 0) ring.reads.reserve(perPoint_);
        ring.reads.push_back(kept);
        return;
    }
    // The oldest goes: the one after it is the oldest now.
    const size_t second = (ring.next + 1) % perPoint_;
    ring.oldestWallMs += perPoint_ > 1 ? ring.reads[second].sinceBeforeMs : kept.sinceBeforeMs;
    ring.reads[second].sinceBeforeMs = perPoint_ > 1 ? 0 : ring.reads[second].sinceBeforeMs;
    ring.reads[ring.next] = kept;
    if (perPoint_ == 1) ring.oldestWallMs = ring.newestWallMs;
    ring.next = second;
}

std::vector<HistoryRead> PointHistory::Of(const tz52line::PointRef& point) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = points_.find(point);
    if (found == points_.end()) return {};
    const Ring& ring = found->second;
    std::vector<HistoryRead> reads;
    reads.reserve(ring.reads.size());
    int64_t wallMs = ring.oldestWallMs;
    for (size_t i = 0; i < ring.reads.size(); ++i) {
        const Kept& kept = ring.reads[(ring.next + i) % ring.reads.size()];
        if (i > 0) wallMs += kept.sinceBeforeMs;
        reads.push_back(HistoryRead{wallMs, kept.result, kept.value});
    }
    return reads;
}

void PointHistory::KeepOnly(const LineSnapshot& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = points_.begin(); it != points_.end();) {
        it = state.points.count(it->first) == 0 ? points_.erase(it) : std::next(it);
    }
}
