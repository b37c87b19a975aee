// The line's journal: what happened on the line and at the faces, in the
// order it happened, for every face to follow at its own pace. The line's
// owner appends (and a face appends what it has to report); each reader
// holds the sequence number of the last event it took and asks for what came
// after. The ring holds the newest `capacity` events: a reader that falls
// further behind is told so, takes the line's state afresh and goes on from
// the newest event. Appending never waits for a reader: readers copy
// pointers to events that are never changed once appended.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_JOURNAL_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_JOURNAL_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/line/line_points.h"

enum class JournalKind : uint8_t {
    kPointRead,        // point, result, value, message: every read; `changed` when its
                       // value, result or station silence changed
    kWriteDone,        // origin, written, result, message
    kWriteRefused,     // origin, written (what was asked), result, message
    kStationSilent,    // point.station
    kStationAnswered,  // point.station
    kPortLost,         // message
    kPortBack,
    kHealth,           // health
    kFaceReport,       // origin, message: a broker lost, a client refused, a login
};

struct JournalWrittenPoint {
    tz52line::PointRef point;
    uint16_t value = 0;
};

// The line's figures as a health report gives them.
struct LineHealth {
    bool portOpen = false;
    uint64_t exchanges = 0;        // since the start
    uint64_t failedExchanges = 0;  // since the start
    double busyShare = 0;          // of the window, 0 to 1
    int64_t behindMs = 0;          // the latest a due read came in the window
    bool overloaded = false;
    int64_t windowMs = 0;          // since the last report
    std::vector<int> stationsSilent;  // whose last read found them silent (none while the port is closed)
};

struct JournalEvent {
    uint64_t sequence = 0;  // set by Append: 1, 2, 3, ... never reused in a run
    int64_t wallMs = 0;     // set by Append: ms since the epoch, for display only
    JournalKind kind = JournalKind::kFaceReport;
    tz52line::PointRef point;    // the point changed, or the station
    int result = 0;              // the driver's result of the read or write
    uint16_t value = 0;          // the point's value when result is 0
    bool stationSilent = false;  // the read failed as the station did not answer
    bool changed = false;        // kPointRead: value, result or station silence changed
    int64_t durationMs = 0;      // kPointRead: how long the exchange took
    int64_t wireUs = 0;          // kPointRead: one attempt's bytes on the line at its rate, in us
    // Who asked, for writes and face reports: the face ("mqtt", "modbus")
    // and on it the sender ("topic T", "client A:P, function F", "user U
    // from A"). Stored as given; each face escapes what it shows.
    std::string face;
    std::string who;
    std::vector<JournalWrittenPoint> written;  // in the order they were to be written
    size_t writtenCount = 0;                   // set by Append: the points asked, written holds the first
    std::string message;
    // kHealth only: apart, since nearly every event is a read and the ring
    // holds thousands.
    std::shared_ptr<const LineHealth> health;
};

class Journal {
public:
    // About 40 s of a full station's reads at 9600 baud, in some 450 KiB:
    // a face further behind takes the snapshot again.
    static constexpr size_t kDefaultCapacity = 2048;
    // Bounds that keep one event's size bounded whatever comes from
    // outside: a text is cut at a character's start, a write's points after
    // the first kMostWrittenPoints (one Modbus request writes at most 123).
    static constexpr size_t kMostTextBytes = 512;
    static constexpr size_t kMostWrittenPoints = 128;

    explicit Journal(size_t capacity = kDefaultCapacity);

    // Stamps the event with the next sequence number and the time, bounds its
    // texts and points, keeps it (dropping the oldest when the ring is full)
    // and wakes the readers. Safe from any thread; the sequence number given.
    uint64_t Append(JournalEvent event);

    struct Read {
        // From `after` + 1 on, in order, at most `most`; never changed.
        std::vector<std::shared_ptr<const JournalEvent>> events;
        // Events after `after` are gone from the ring, or `after` was never
        // a sequence number of this journal: take the line's state again and
        // go on after `newest`.
        bool behind = false;
        uint64_t newest = 0;  // the newest sequence number at the read; 0: none yet
    };
    Read ReadAfter(uint64_t after, size_t most) const;

    // Waits until an event after `after` is there (or the reader is behind)
    // or `timeoutMs` have passed; true in the first case.
    bool WaitAfter(uint64_t after, int64_t timeoutMs) const;

    // `wake` is called on the appending thread after every append, so it must
    // only signal (write an eventfd, resume a connection) and must not call
    // Listen or StopListening. Once StopListening returns it is not called
    // again.
    uint64_t Listen(std::function<void()> wake);
    // Calls every listener without an event: the line's state changed in a
    // way no event tells (points marked failed for a silent station), and
    // a face waiting on the state should look again.
    void Nudge();
    void StopListening(uint64_t listener);

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    mutable std::condition_variable appended_;
    std::vector<std::shared_ptr<const JournalEvent>> ring_;  // sequence S at (S - 1) % capacity_
    uint64_t newest_ = 0;

    std::mutex listenersMutex_;
    std::map<uint64_t, std::function<void()>> listeners_;
    uint64_t lastListener_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_JOURNAL_H
