#include "tools/tz52/bridge/core/line_state.h"

#include <chrono>
#include <set>

namespace {

int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const PointState* LineSnapshot::Find(const tz52line::PointRef& point) const {
    const auto found = points.find(point);
    return found == points.end() ? nullptr : &found->second;
}

void LineState::Polled(const tz52line::PointRef& point, int64_t periodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.pointsVersion;
    PointState& state = state_.points[point];
    state.point = point;
    state.periodMs = periodMs;
}

ReadChange LineState::RecordRead(const tz52line::PointRef& point, int result, uint16_t value,
                                 const std::string& message, bool stationSilent, int64_t nowMs) {
    ReadChange change;
    const int64_t wallMs = WallMilliseconds();
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.pointsVersion;
    const auto found = state_.points.find(point);
    if (found == state_.points.end()) return change;
    PointState& state = found->second;
    const bool silent = result != 0 && stationSilent;
    change.point = state.lastResult != result || state.stationSilent != silent || (result == 0 && state.value != value);
    state.lastResult = result;
    state.message = message;  // the same size or smaller: no allocation
    state.readMs = nowMs;
    state.readWallMs = wallMs;
    state.stationSilent = silent;
    if (result == 0) {
        state.value = value;
        state.valueMs = nowMs;
    }
    if (result != 0 && !silent) return change;
    // Only a change of heart moves the station's since-when.
    const auto known = state_.stations.find(point.station);
    if (known != state_.stations.end() && known->second.silent == silent) return change;
    StationState& station = known != state_.stations.end() ? known->second : state_.stations[point.station];
    station.silent = silent;
    station.sinceMs = nowMs;
    station.sinceWallMs = wallMs;
    change.station = true;
    return change;
}

void LineState::Configured(const tz52line::PointRef& point, int64_t periodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.pointsVersion;
    PointState& state = state_.points[point];
    state.point = point;
    state.periodMs = periodMs;
    if (state.onDemand) {
        state.onDemand = false;
        state.demandedBy.clear();
        --onDemand_;
    }
}

void LineState::NotPolled(const tz52line::PointRef& point) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.pointsVersion;
    const auto found = state_.points.find(point);
    if (found != state_.points.end() && !found->second.onDemand) state_.points.erase(found);
}

void LineState::CountExchange(int result, int64_t milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    LineCounters& counters = state_.counters;
    ++counters.exchangesByResult[result];
    size_t bucket = 0;
    while (bucket < LineCounters::kDurationBoundsMs.size() && milliseconds > LineCounters::kDurationBoundsMs[bucket]) {
        ++bucket;
    }
    ++counters.durations[bucket];
    counters.durationSumMs += milliseconds;
}

void LineState::CountWrite(const std::string& face, int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.counters.writes[{face, result}];
}

void LineState::SetLine(const LineHealth& line, const std::string& portClosedWhy) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.line = line;
    state_.portClosedWhy = line.portOpen ? std::string() : portClosedWhy;
}

std::vector<tz52line::PointRef> LineState::TakeAsked() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<tz52line::PointRef> asked;
    asked.swap(asked_);
    return asked;
}

std::vector<tz52line::PointRef> LineState::TakeIdle(int64_t idleMs, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.pointsVersion;
    std::vector<tz52line::PointRef> idle;
    for (auto it = state_.points.begin(); it != state_.points.end();) {
        if (it->second.onDemand && nowMs - it->second.askedMs >= idleMs) {
            idle.push_back(it->first);
            it = state_.points.erase(it);
            --onDemand_;
        } else {
            ++it;
        }
    }
    return idle;
}

LineState::Demanded LineState::Demand(const std::vector<tz52line::PointRef>& points, const std::string& face,
                                      int64_t nowMs, const std::function<void(const LineSnapshot&)>& read) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<tz52line::PointRef, PointOrder> unknown;
    for (const tz52line::PointRef& point : points) {
        if (state_.points.count(point) == 0) unknown.insert(point);
    }
    if (onDemand_ + unknown.size() > mostOnDemand_) return Demanded::kLimit;
    for (const tz52line::PointRef& point : unknown) {
        PointState& state = state_.points[point];
        state.point = point;
        state.onDemand = true;
        state.demandedBy = face;
        state.periodMs = demandPeriodMs_;
        asked_.push_back(point);
        ++onDemand_;
        ++state_.pointsVersion;
    }
    for (const tz52line::PointRef& point : points) state_.points[point].askedMs = nowMs;
    if (read) read(state_);
    return unknown.empty() ? Demanded::kPolled : Demanded::kAsked;
}

void LineState::Read(const std::function<void(const LineSnapshot&)>& read) const {
    std::lock_guard<std::mutex> lock(mutex_);
    read(state_);
}

LineSnapshot LineState::Copy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

size_t LineState::OnDemand() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return onDemand_;
}
