// The bridge's core: the one thread that owns the serial line, and what it
// shares with the faces. It reads the points when they are due and, between
// two reads, carries out the writes of the one queue, in their order of
// arrival and at most one between two reads that are due, so no two driver
// calls ever overlap and writes cannot starve the polling. It watches the
// port for a device that goes away, takes in the points faces ask for,
// reports the line's health and tells systemd how it does.
//
// The core knows no face. A face is given the Line: it reads the line's
// state, follows its journal at its own pace and puts its writes in the
// queue; the owner never waits for a face.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_OWNER_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_OWNER_H

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/common/line/line_points.h"
#include "tools/tz52/bridge/core/journal.h"
#include "tools/tz52/bridge/core/line_state.h"
#include "tools/tz52/bridge/core/points_file.h"
#include "tools/tz52/bridge/core/write_permission.h"
#include "tools/tz52/bridge/core/write_request.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/output/json.h"

// Reads faces ask for of points nobody polls.
struct DemandSettings {
    size_t points = 256;          // the most points on demand; 0: none
    size_t sharePercent = 50;     // of the line's time, the most reads on demand take
    int64_t idleMs = 600000;      // a point on demand leaves after this long not asked for
};

// What the line polls and allows.
struct LinePlan {
    std::vector<BridgePoint> points;
    bool allowAll = false;
    std::set<std::string> allowed;       // canonical addresses
    int64_t healthMilliseconds = 60000;  // a health report; 0: never
    int64_t everyMilliseconds = 1000;    // the period of points read on demand
    DemandSettings demand;
};

// Questions for the driver that need no line (an address a face was
// given): the owner answers them between two exchanges, on its own thread,
// the only one that calls the driver. Bounded, as the queue of writes.
class DriverQuestions {
public:
    static constexpr size_t kMostWaiting = 64;
    using Question = std::function<void(QmxMainFunction entry)>;

    // False, and nothing asked, when kMostWaiting wait already.
    bool Ask(Question question);
    // Answers every question waiting; the owner's side.
    void AnswerAll(QmxMainFunction entry);

private:
    std::mutex mutex_;
    std::vector<Question> waiting_;
};

class LineFace;

// What the owner and the faces share.
struct Line {
    Line(const LinePlan& plan, std::string portName)
        : state(plan.demand.points, plan.everyMilliseconds), permission(plan.allowAll, plan.allowed),
          port(std::move(portName)) {}
    LineState state;
    Journal journal;
    WriteQueue queue;
    WritePermission permission;
    DriverQuestions questions;
    const std::string port;
    // When the owner's loop last turned (monotonic ms): a loop that stalls
    // stops moving it.
    std::atomic<int64_t> loopTurnedMs{0};
    // Set before the line runs, read by any face after: every face of the
    // bridge, so that one can show the others' figures.
    std::vector<const LineFace*> faces;
};

// A face of the bridge, as the owner sees it.
class LineFace {
public:
    virtual ~LineFace() = default;
    // "mqtt", "modbus": as writes name their face.
    virtual const char* Name() const = 0;
    // A few words for the service's status, each part after "; "
    // ("broker connected", "2 Modbus clients"); "" for none.
    virtual std::string Status() const = 0;
    // The face's figures as an object ({"connected": true}, {"clients":
    // 2}), safe from any thread.
    virtual Json Figures() const = 0;
};

// The point of a checked address, as the line's state keys it.
tz52line::PointRef PointRefOf(const CheckedAddress& address);

// Called after every read with the point, the driver's result, the value
// read and the monotonic time in nanoseconds when the read returned; for the
// benchmarks.
using BridgeReadObserver = std::function<void(const std::string& point, int result, uint16_t value, int64_t endNs)>;

// What the bridge did with each point, for the document at its end.
struct BridgePointReport {
    std::string point;
    int64_t reads = 0;
    int64_t failedReads = 0;
    int lastResult = -1;     // -1: never read
    std::string lastError;   // the reason of the last failed read
};

// SIGHUP: the configuration read again while the line runs. Whenever
// *requested is set, the owner clears it between two exchanges and calls
// `prepare` on its own thread (the driver checks the addresses, and no two
// driver calls overlap), which reads the files again into *plan and names
// in *restartKeys the changed keys that only a restart applies. The points,
// their periods and the writes allowed then change at once; with false
// (*error says why) the running configuration stays.
struct LineReload {
    volatile std::sig_atomic_t* requested = nullptr;
    std::function<bool(LinePlan* plan, std::vector<std::string>* restartKeys, std::string* error)> prepare;
};

// What the line was started with, for whoever reads the log after an
// incident: the port, the points by period, the writes allowed. A port that
// could not be opened is said so, never "open".
void LogLineStart(const PortSetup& setup, const LinePlan& plan, bool portOpen);

// Polls the port until *stop is set, then answers every write still
// waiting. The caller opened the port and closes it; with `missing` (why it
// could not be opened) the line starts as with a device gone, opens the
// port every few seconds until it opens, and *opened says at the end
// whether it ever did. The line's faces give their words to the service's
// status. *report, when given, gets one entry per point.
void RunLine(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const LinePlan& plan, Line* line,
             const volatile std::sig_atomic_t* stop,
             const BridgeReadObserver& observer, const LineReload& reload, const std::string& missing,
             std::vector<BridgePointReport>* report, bool* opened);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_LINE_OWNER_H
