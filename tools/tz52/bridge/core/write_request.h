// A write that reaches the line from a face, and the one queue every face
// puts its writes in. A request names its points and values (one point, or
// a run written in order), where it came from and a completion; the line's
// owner writes the points one by one, reads each back, stops at the first
// failure, fills in every point's outcome and calls the completion on its
// own thread, where the face turns the outcomes into its own answer. The
// queue holds at most kMostWaiting requests: a face sending faster than the
// line can write gets a refusal, not a queue without end. The owner waits on
// it for work or a wake-up (a broker connection accepted, a point asked for).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_REQUEST_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_REQUEST_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/tz52/bridge/core/journal.h"
#include "tools/tz52/host/platform.h"

struct PointWriteOutcome {
    int result = -1;            // the driver's result of the write; -1: not tried
    bool written = false;       // result 0: the controller took the value
    bool sent = false;          // the write went out on the line (it may have been taken)
    bool invalidAddress = false;  // the driver refused the address: nothing sent
    bool stationSilent = false; // result 2 as the station did not answer (the port is fine)
    bool polled = false;        // the line polls the point: its read-back comes with the polling
    std::string message;
    int readBackResult = -1;    // the read after the write; -1: none
    uint16_t readBackValue = 0; // when readBackResult is 0
};

// What a judgement that needs the driver made of a request (WriteJudge).
struct WriteVerdict {
    bool write = false;                      // false: refused; nothing is sent
    // When write, what to write; when refused, what was asked as far as it
    // names points and values, for the journal.
    std::vector<JournalWrittenPoint> points;
    std::string message;                     // when refused
};
// A request some faces can judge only with the driver's address check (a
// topic names its point as text): the owner calls it on its own thread, the
// only one that calls the driver, before any of the request is written.
using WriteJudge = std::function<WriteVerdict(QmxMainFunction entry)>;

struct WriteRequest {
    // Called once, on the owner's thread, when the request is done (all
    // written, stopped at a failure, refused or abandoned): it must hand the
    // outcomes to the face's own thread and not block.
    using Completion = std::function<void(const WriteRequest&)>;

    WriteRequest(std::vector<JournalWrittenPoint> toWrite, std::string fromFace, std::string fromWho,
                 Completion completion)
        : points(std::move(toWrite)), face(std::move(fromFace)), who(std::move(fromWho)), outcomes(points.size()),
          completion_(std::move(completion)) {}

    // In the order they are to be written; filled in by `judge` when given.
    std::vector<JournalWrittenPoint> points;
    // Who asked: the face ("mqtt", "modbus") and on it the sender ("topic
    // T", "client A:P, function F", "user U from A"); as for the journal.
    const std::string face;
    const std::string who;
    WriteJudge judge;
    bool judged = false;    // set by the owner once `judge` has run
    // A refusal by `judge`, with its message: nothing was sent.
    bool refused = false;
    std::string refusal;
    // true: each point is read back at once after its write, and the outcome
    // carries the value read; false: a polled point is read next with the
    // polling, one not polled is not read.
    bool readBackAtOnce = false;
    // true: the points are only read, one a turn between the polling's
    // reads, each outcome's readBackResult and readBackValue the read (a
    // failed read does not stop the rest); no permission is asked, nothing
    // is written and the journal gets no write event. `value` is unused.
    bool readOnly = false;
    // Set by the face when its client has gone: what is not written yet is
    // dropped.
    std::atomic<bool> abandoned{false};
    // Filled in by the owner, one per point, before the completion.
    std::vector<PointWriteOutcome> outcomes;

    // The points written, from the first; for a request that only reads,
    // the points read, failed or not.
    size_t Written() const;
    // The outcome that ended the request: the first point not written, else
    // the last; null for a request of no points.
    const PointWriteOutcome* Last() const;
    // Calls the completion, once however often it is called.
    void Complete();

private:
    Completion completion_;
};

class WriteQueue {
public:
    static constexpr size_t kMostWaiting = 256;

    // False, and nothing queued, when kMostWaiting are waiting already.
    bool Push(std::shared_ptr<WriteRequest> request);
    // The oldest waiting request; null when none waits.
    std::shared_ptr<WriteRequest> Take();
    size_t Waiting();
    // Waits until a request is waiting, Wake was called or `milliseconds`
    // have passed; false in the last case.
    bool Wait(int64_t milliseconds);
    void Wake();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<WriteRequest>> waiting_;
    bool woken_ = false;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_REQUEST_H
