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

struct PointWriteOutcome {
    int result = -1;            // the driver's result of the write; -1: not tried
    bool written = false;       // result 0: the controller took the value
    std::string message;
    int readBackResult = -1;    // the read after the write; -1: none
    uint16_t readBackValue = 0; // when readBackResult is 0
};

struct WriteRequest {
    // Called once, on the owner's thread, when the request is done (all
    // written, stopped at a failure, refused or abandoned): it must hand the
    // outcomes to the face's own thread and not block.
    using Completion = std::function<void(const WriteRequest&)>;

    WriteRequest(std::vector<JournalWrittenPoint> toWrite, std::string fromFace, std::string fromWho,
                 Completion completion)
        : points(std::move(toWrite)), face(std::move(fromFace)), who(std::move(fromWho)), outcomes(points.size()),
          completion_(std::move(completion)) {}

    const std::vector<JournalWrittenPoint> points;  // in the order they are to be written
    // Who asked: the face ("mqtt", "modbus") and on it the sender ("topic
    // T", "client A:P, function F", "user U from A"); as for the journal.
    const std::string face;
    const std::string who;
    // Set by the face when its client has gone: what is not written yet is
    // dropped.
    std::atomic<bool> abandoned{false};
    // Filled in by the owner, one per point, before the completion.
    std::vector<PointWriteOutcome> outcomes;

    // The points written, from the first.
    size_t Written() const;
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
