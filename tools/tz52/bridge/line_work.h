// The work that reaches the line from the bridge's faces, in one queue: the
// sets of MQTT users and the writes of Modbus clients, carried out by the
// poller in their order of arrival. Both faces push; the poller waits on it
// for work or a wake-up (a broker connection accepted, a Modbus client
// asking for points the bridge does not poll yet).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_LINE_WORK_H
#define TZ52_TOOLS_TZ52_BRIDGE_LINE_WORK_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "tools/tz52/bridge/modbus_request.h"

// A message that arrived on `<prefix>/+/set`.
struct SetRequest {
    std::string topic;
    std::string payload;
    bool retained = false;  // the broker held it: it was published with retain
    // Where it came from, for the audit lines: the face that took it and,
    // on that face, the sender ("topic T").
    std::string face = "mqtt";
    std::string from;
};

// A Modbus write (function 5, 6, 15 or 16) judged sound and allowed, on its
// way to the line. The poller writes its points in order, each read back
// after it, and stops at the first failure; then it fills in the outcome
// and hands the job back to the face, which answers the client.
struct ModbusWriteJob {
    uint64_t connection = 0;  // the face's number for the client's connection
    std::string client;       // "ADDRESS:PORT", for the audit line
    ModbusRequest request;    // kWrite: points and values
    // Set by the face when the client has gone: what is not written yet is
    // dropped.
    std::atomic<bool> abandoned{false};
    // The outcome, filled in by the poller.
    size_t written = 0;      // points written, from the first
    uint8_t exception = 0;   // 0: all written
};

struct LineWork {
    SetRequest set;                          // when modbus is empty
    std::shared_ptr<ModbusWriteJob> modbus;  // a Modbus write
};

class LineWorkQueue {
public:
    // A face sending faster than the line can write gets a refusal, not a
    // queue without end.
    static constexpr size_t kMostWaiting = 256;

    // False, and nothing queued, when kMostWaiting are waiting already.
    bool Push(LineWork work);
    // Takes the oldest waiting work; false when none waits.
    bool Take(LineWork* work);
    // Waits until work is waiting, Wake was called or `milliseconds` have
    // passed.
    void Wait(int64_t milliseconds);
    void Wake();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<LineWork> waiting_;
    bool woken_ = false;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_LINE_WORK_H
