// The line's state: what every face shows of the line, kept in one place.
// The line's owner alone writes it, one point per exchange, under a short
// lock and without allocating once the points are known; a face reads it on
// its own thread, under that lock through Read or as a copy, and follows the
// journal for what changes after. Points a face needs that nobody polls
// are asked for here (Demand); the owner takes them into its poll set and
// lets them go again once no face has asked for them for a while.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_STATE_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_STATE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/common/line/line_points.h"
#include "tools/tz52/bridge/core/journal.h"

struct PointOrder {
    bool operator()(const tz52line::PointRef& a, const tz52line::PointRef& b) const {
        return std::tie(a.station, a.type, a.index) < std::tie(b.station, b.type, b.index);
    }
};

struct PointState {
    tz52line::PointRef point;
    int lastResult = -1;         // the driver's result of the last read; -1: not read yet
    std::string message;         // the last read's message
    int64_t readMs = 0;          // when the last read returned (monotonic)
    int64_t readWallMs = 0;      // the same, ms since the epoch, for display
    uint16_t value = 0;          // the value of the last read that succeeded
    int64_t valueMs = 0;         // when that read returned (monotonic); 0: none yet
    bool stationSilent = false;  // the last read failed as the station did not answer
    int64_t periodMs = 0;
    bool onDemand = false;       // polled because a face asked, not configured
    std::string demandedBy;      // the face that asked first, when onDemand
    int64_t askedMs = 0;         // the last time a face asked for it, when onDemand
};

struct StationState {
    bool silent = false;     // its last read failed as it did not answer
    int64_t sinceMs = 0;     // answering or silent since then (monotonic)
    int64_t sinceWallMs = 0;
};

// The line's counts since the start.
struct LineCounters {
    // Upper bounds of the exchange-duration buckets, in ms: around the wire
    // times of one exchange (a few ms at 115200 baud to a silent station's
    // attempts at 1200 baud).
    static constexpr std::array<int64_t, 11> kDurationBoundsMs = {5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
    std::map<int, uint64_t> exchangesByResult;                 // by the driver's result
    std::array<uint64_t, kDurationBoundsMs.size() + 1> durations{};  // the last: longer than every bound
    int64_t durationSumMs = 0;
    std::map<std::pair<std::string, int>, uint64_t> writes;    // by face and the driver's result
};

struct LineSnapshot {
    std::map<tz52line::PointRef, PointState, PointOrder> points;  // by station, type, index
    std::map<int, StationState> stations;                         // every station read so far
    LineHealth line;             // exchanges, failures, busy share, lag, overloaded, port open
    std::string portClosedWhy;   // when the port is not open
    LineCounters counters;
    // Grows whenever what a point's document shows may have changed (a
    // read, a point taken in or let go, its period).
    uint64_t pointsVersion = 0;

    // The point at `point`, or null when nobody polls it.
    const PointState* Find(const tz52line::PointRef& point) const;
};

// What a read changed, for the owner's journal.
struct ReadChange {
    bool point = false;    // value, result or station silence
    bool station = false;  // the station went silent or answered again
};

class LineState {
public:
    // At most `mostOnDemand` points are taken in for faces, each polled
    // every `demandPeriodMs`.
    LineState(size_t mostOnDemand, int64_t demandPeriodMs)
        : mostOnDemand_(mostOnDemand), demandPeriodMs_(demandPeriodMs) {}

    // ---- the owner's side
    // A configured point the owner polls.
    void Polled(const tz52line::PointRef& point, int64_t periodMs);
    // The outcome of a read at `nowMs` (monotonic): the value when `result`
    // is 0; else `stationSilent` tells whether the station did not answer.
    // A success says the station answers; a read that failed otherwise says
    // nothing of it. Points nobody polls are not kept.
    ReadChange RecordRead(const tz52line::PointRef& point, int result, uint16_t value, const std::string& message,
                          bool stationSilent, int64_t nowMs);
    // A point read on demand that is configured now: it stays polled whether
    // faces ask for it or not.
    void Configured(const tz52line::PointRef& point, int64_t periodMs);
    // A configured point no longer polled (a reload left it out).
    void NotPolled(const tz52line::PointRef& point);
    void SetLine(const LineHealth& line, const std::string& portClosedWhy);
    void CountExchange(int result, int64_t milliseconds);
    void CountWrite(const std::string& face, int result);
    // Points faces asked for since the last call, to be polled.
    std::vector<tz52line::PointRef> TakeAsked();
    // Points on demand that no face has asked for in `idleMs`: gone from the
    // state, to leave the poll set.
    std::vector<tz52line::PointRef> TakeIdle(int64_t idleMs, int64_t nowMs);

    // ---- the faces' side
    enum class Demanded { kPolled, kAsked, kLimit };
    // A face (`face`: "modbus") needs `points` at `nowMs`: every one of them
    // counts as asked for now; those nobody polls are taken in, unread,
    // unless that passes the limit of points on demand: then none is
    // (kLimit). kAsked: some were taken in; wake the owner.
    // `read`, when given, then sees the state under the same lock (unless
    // kLimit), as Read's does.
    Demanded Demand(const std::vector<tz52line::PointRef>& points, const std::string& face, int64_t nowMs,
                    const std::function<void(const LineSnapshot&)>& read = nullptr);
    // `read` sees the state under the lock: it must only look and copy.
    void Read(const std::function<void(const LineSnapshot&)>& read) const;
    LineSnapshot Copy() const;
    size_t OnDemand() const;

private:
    const size_t mostOnDemand_;
    const int64_t demandPeriodMs_;
    mutable std::mutex mutex_;
    LineSnapshot state_;
    std::vector<tz52line::PointRef> asked_;
    size_t onDemand_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_STATE_H
