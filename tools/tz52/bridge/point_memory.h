// What the bridge's Modbus face serves: the last read of every point the
// poller reads, kept by the poller and looked up by the face's thread, so a
// Modbus read never waits for the line for a point that is polled and
// fresh. A read naming points nobody polls asks for them here; the poller
// takes them into its poll set and lets them go again once no client has
// read them for a while.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_POINT_MEMORY_H
#define TZ52_TOOLS_TZ52_BRIDGE_POINT_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "tools/tz52/bridge/modbus_map.h"

struct ModbusPointOrder {
    bool operator()(const ModbusPoint& a, const ModbusPoint& b) const {
        return std::tie(a.station, a.pointType, a.pointIndex) < std::tie(b.station, b.pointType, b.pointIndex);
    }
};

struct RememberedPoint {
    int lastResult = -1;         // the driver's result of the last read; -1: not read yet
    uint16_t value = 0;          // when lastResult is 0
    int64_t readMs = 0;          // when that read returned (monotonic)
    bool stationSilent = false;  // the last read failed as the station did not answer
    int64_t periodMs = 0;
    bool onDemand = false;       // taken into the poll set for Modbus reads
    int64_t askedMs = 0;         // the last Modbus read naming it
};

// How a read is answered.
struct ModbusServed {
    bool wait = false;          // some point has not been read yet
    bool asked = false;         // points not polled were asked for (TakeAsked)
    uint8_t exception = 0;      // when not 0: answer with it
    std::vector<uint16_t> values;
};

class PointMemory {
public:
    // `mostOnDemand` points at most are added for Modbus reads, polled
    // every `demandPeriodMs`; `maxAgeMs` > 0: no value older is served,
    // else three periods of the point, at least kLeastMaxAgeMs.
    PointMemory(size_t mostOnDemand, int64_t demandPeriodMs, int64_t maxAgeMs)
        : mostOnDemand_(mostOnDemand), demandPeriodMs_(demandPeriodMs), maxAgeMs_(maxAgeMs) {}

    static constexpr int64_t kLeastMaxAgeMs = 5000;

    // ---- the poller's side
    // A point the poller reads (configured, or taken on demand).
    void Polled(const ModbusPoint& point, int64_t periodMs);
    // A point read on demand that the configuration now names: it stays
    // polled whether clients read it or not.
    void Configured(const ModbusPoint& point, int64_t periodMs);
    // A configured point the poller no longer reads (a reload left it out).
    void NotPolled(const ModbusPoint& point);
    // The outcome of a read; `listener` (the face's wake-up) hears of it.
    void Record(const ModbusPoint& point, int result, uint16_t value, bool stationSilent, int64_t nowMs);
    // Points clients asked for since the last call, to be polled.
    std::vector<ModbusPoint> TakeAsked();
    // The points on demand that no client has read for `idleMs`; they are
    // forgotten here and leave the poll set.
    std::vector<ModbusPoint> TakeIdle(int64_t idleMs, int64_t nowMs);
    void Listen(std::function<void()> listener);

    // ---- the face's side
    // The values of `points` for a read at `nowMs`: points nobody polls are
    // asked for (unless that would pass the limit of points on demand:
    // exception 6 then, nothing asked for, *limitReached set; with no
    // points on demand at all, exception 2).
    ModbusServed Serve(const std::vector<ModbusPoint>& points, int64_t nowMs, bool* limitReached);
    // How many points are polled on demand.
    size_t OnDemand() const;

private:
    int64_t MaxAge(const RememberedPoint& point) const;

    const size_t mostOnDemand_;
    const int64_t demandPeriodMs_;
    const int64_t maxAgeMs_;
    mutable std::mutex mutex_;
    std::map<ModbusPoint, RememberedPoint, ModbusPointOrder> points_;
    std::vector<ModbusPoint> asked_;
    size_t onDemand_ = 0;
    std::function<void()> listener_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_POINT_MEMORY_H
