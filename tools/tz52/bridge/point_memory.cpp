#include "tools/tz52/bridge/point_memory.h"

#include <algorithm>
#include <set>

#include "tools/tz52/host/driver_calls.h"

void PointMemory::Polled(const ModbusPoint& point, int64_t periodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    points_[point].periodMs = periodMs;
}

void PointMemory::Configured(const ModbusPoint& point, int64_t periodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    RememberedPoint& remembered = points_[point];
    remembered.periodMs = periodMs;
    if (remembered.onDemand) {
        remembered.onDemand = false;
        --onDemand_;
    }
}

void PointMemory::NotPolled(const ModbusPoint& point) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = points_.find(point);
    if (found != points_.end() && !found->second.onDemand) points_.erase(found);
}

void PointMemory::Record(const ModbusPoint& point, int result, uint16_t value, bool stationSilent, int64_t nowMs) {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = points_.find(point);
        if (found == points_.end()) return;
        RememberedPoint& remembered = found->second;
        remembered.lastResult = result;
        remembered.stationSilent = result != kResultOk && stationSilent;
        if (result == kResultOk) {
            remembered.value = value;
            remembered.readMs = nowMs;
        }
        listener = listener_;
    }
    if (listener) listener();
}

std::vector<ModbusPoint> PointMemory::TakeAsked() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ModbusPoint> asked;
    asked.swap(asked_);
    return asked;
}

std::vector<ModbusPoint> PointMemory::TakeIdle(int64_t idleMs, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ModbusPoint> idle;
    for (auto it = points_.begin(); it != points_.end();) {
        if (it->second.onDemand && nowMs - it->second.askedMs >= idleMs) {
            idle.push_back(it->first);
            it = points_.erase(it);
            --onDemand_;
        } else {
            ++it;
        }
    }
    return idle;
}

void PointMemory::Listen(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

int64_t PointMemory::MaxAge(const RememberedPoint& point) const {
    if (maxAgeMs_ > 0) return maxAgeMs_;
    return std::max(3 * point.periodMs, kLeastMaxAgeMs);
}

ModbusServed PointMemory::Serve(const std::vector<ModbusPoint>& points, int64_t nowMs, bool* limitReached) {
    ModbusServed served;
    *limitReached = false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<ModbusPoint, ModbusPointOrder> unknown;
    for (const ModbusPoint& point : points) {
        if (points_.count(point) == 0) unknown.insert(point);
    }
    if (!unknown.empty() && mostOnDemand_ == 0) {
        // Reads on demand are off: only the polled points are in the map.
        served.exception = kModbusIllegalDataAddress;
        return served;
    }
    if (onDemand_ + unknown.size() > mostOnDemand_) {
        *limitReached = true;
        served.exception = kModbusServerDeviceBusy;
        return served;
    }
    for (const ModbusPoint& point : unknown) {
        RememberedPoint& remembered = points_[point];
        remembered.onDemand = true;
        remembered.periodMs = demandPeriodMs_;
        asked_.push_back(point);
        ++onDemand_;
        served.asked = true;
    }
    served.values.reserve(points.size());
    for (const ModbusPoint& point : points) {
        RememberedPoint& remembered = points_[point];
        remembered.askedMs = nowMs;
        if (served.exception != 0) continue;
        if (remembered.lastResult < 0) {
            served.wait = true;
        } else if (remembered.lastResult != kResultOk) {
            // Never a value from a failed read, nor 0 for a missing one.
            served.exception =
                remembered.stationSilent ? kModbusGatewayTargetFailed : kModbusServerDeviceFailure;
        } else if (nowMs - remembered.readMs > MaxAge(remembered)) {
            served.exception = kModbusGatewayTargetFailed;
        } else {
            served.values.push_back(remembered.value);
        }
    }
    // A failure known is answered at once, whatever else is still unread.
    if (served.exception != 0) served.wait = false;
    if (served.wait || served.exception != 0) served.values.clear();
    return served;
}

size_t PointMemory::OnDemand() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return onDemand_;
}
