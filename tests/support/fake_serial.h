// A fake serial line linked in place of the platform backend. Every routine
// of serial/serial.h records its call; results and reply bytes come from a
// script the test sets up, or from a responder that answers each write.
#ifndef TZ52DRV_TESTS_FAKE_SERIAL_H
#define TZ52DRV_TESTS_FAKE_SERIAL_H

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial.h"

using Bytes = std::vector<uint8_t>;

struct SerialCall {
    enum Kind { kOpen, kClose, kSetTimeout, kPurge, kWrite, kRead, kBreak, kSleep };
    Kind kind = kOpen;
    SerialCall() = default;
    explicit SerialCall(Kind k) : kind(k) {}
    SerialHandle handle = nullptr;  // the handle passed (for Open: the one produced)
    std::string name;               // Open: the port name
    LineSettings line{};            // Open: the line fields
    uint16_t options = 0;           // Open: the option word
    int32_t timeout = 0;            // SetTimeout: the limit asked for
    uint32_t count = 0;             // Write: bytes given; Read: bytes asked for
    Bytes bytes;                    // Write: the bytes; Read: the bytes delivered
    int result = 0;                 // what the routine returned
};

// What one ReadSerialExact call delivers: up to `count` of `bytes`, result 0
// when all `count` came, else 7 (also when `fail` is set, after the bytes).
struct ScriptedRead {
    Bytes bytes;
    bool fail = false;
};

class FakeSerialLine {
public:
    // Clears the script, the responder and the record of calls.
    void Reset();

    // Open: the next open returns `result` (0 produces a fresh handle).
    void QueueOpen(int result);
    void QueueClose(int result);
    void QueuePurge(int result);
    // Write: the next write returns `result` having taken `written` bytes
    // (nullopt: all of them).
    void QueueWrite(int result, std::optional<uint32_t> written = std::nullopt);
    // Read: the next read delivers these bytes.
    void QueueRead(Bytes bytes);
    void QueueReadFailure();

    // Called with every successful write's bytes; a returned reply is queued
    // as the next read, nullopt queues nothing (the line stays silent).
    using Responder = std::function<std::optional<Bytes>(const Bytes& request)>;
    void SetResponder(Responder responder);

    const std::vector<SerialCall>& calls() const { return calls_; }
    // Only the calls of one kind.
    std::vector<SerialCall> CallsOf(SerialCall::Kind kind) const;
    // The bytes of every write, in order.
    std::vector<Bytes> Writes() const;
    // The calls as words, e.g. "Purge Write(8) Read(10)", for sequence checks.
    std::string Sequence() const;
    // The read limit the fake port holds, in units of 10 ms.
    int32_t readTimeout() const { return readTimeout_; }

    // Used by the fake routines.
    int Open(const char* name, const LineSettings* line, uint16_t options, SerialHandle* out);
    int Close(SerialHandle handle);
    int SetTimeout(SerialHandle handle, int32_t timeout);
    int Purge(SerialHandle handle);
    int Write(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written_out);
    int Read(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out);
    void Record(SerialCall call) { calls_.push_back(std::move(call)); }

private:
    std::deque<int> openResults_, closeResults_, purgeResults_;
    std::deque<std::pair<int, std::optional<uint32_t>>> writeResults_;
    std::deque<ScriptedRead> reads_;
    Responder responder_;
    std::vector<SerialCall> calls_;
    uintptr_t nextHandle_ = 0x1000;
    int32_t readTimeout_ = 100;
};

// The one fake line the fake routines use.
FakeSerialLine& FakeLine();

// The value a failed open stores in handle_out, as the platform's invalid
// handle value.
inline SerialHandle InvalidSerialHandle() { return reinterpret_cast<SerialHandle>(~uintptr_t{0}); }

#endif  // TZ52DRV_TESTS_FAKE_SERIAL_H
