#include "tools/tz52/bridge/http/point_history.h"

void PointHistory::Add(const tz52line::PointRef& point, const HistoryRead& read) {
    if (perPoint_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Ring& ring = points_[point];
    if (ring.reads.size() < perPoint_) {
        if (ring.reads.capacity() == 0) ring.reads.reserve(perPoint_);
        ring.reads.push_back(read);
        return;
    }
    ring.reads[ring.next] = read;
    ring.next = (ring.next + 1) % perPoint_;
}

std::vector<HistoryRead> PointHistory::Of(const tz52line::PointRef& point) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = points_.find(point);
    if (found == points_.end()) return {};
    const Ring& ring = found->second;
    std::vector<HistoryRead> reads;
    reads.reserve(ring.reads.size());
    for (size_t i = 0; i < ring.reads.size(); ++i) reads.push_back(ring.reads[(ring.next + i) % ring.reads.size()]);
    return reads;
}

void PointHistory::KeepOnly(const LineSnapshot& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = points_.begin(); it != points_.end();) {
        it = state.points.count(it->first) == 0 ? points_.erase(it) : std::next(it);
    }
}
