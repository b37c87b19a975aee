// What tz52 monitor makes of the bytes on a line: the pieces each side sent,
// with the time they were seen, turned into exchanges (a host's request and
// the controller's reply), each judged the way the driver judges a reply,
// and a summary of them all. The same for a live line and a capture file.
#ifndef TZ52_TOOLS_TZ52_MONITOR_EXCHANGES_H
#define TZ52_TOOLS_TZ52_MONITOR_EXCHANGES_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/common/line/line_frames.h"

namespace tz52monitor {

using tz52line::Bytes;

// Times are microseconds from the start of the monitoring (or of the
// capture); a piece from a capture line without a time has none.
constexpr int64_t kNoTime = INT64_MIN;

enum class Side {
    kHost,    // from the host toward the controller: requests (">" in a capture)
    kDevice   // from the controller toward the host: replies ("<")
};

// Bytes one side sent, as they were read from the line in one piece.
struct Piece {
    int64_t timeUs = kNoTime;
    Side side = Side::kHost;
    Bytes bytes;
};

enum class Verdict { kOk, kBadPair, kWrongFirstByte, kShortReply, kNoReply, kStrayBytes };

// One line of the monitor's output: an exchange, or stray bytes that belong
// to none (noise from either side, a frame that does not check, a controller
// talking unasked).
struct Record {
    bool isExchange = true;
    uint64_t number = 0;      // exchanges count from 1
    int64_t timeUs = kNoTime; // the request's last byte; stray bytes: their first
    Side straySide = Side::kDevice;
    int station = 0;
    tz52line::Command command;
    Bytes request;
    Bytes reply;              // what the host read as the reply: at most its length
    Bytes stray;              // from the controller after the reply, before the host went on
    size_t replyLength = 0;   // the bytes the host waits for
    tz52line::ReplyCheck check;
    bool hasValue = false;    // a read's good reply
    uint16_t value = 0;
    int64_t replyUs = kNoTime;  // the request's last byte to the reply's last byte

    // The verdict that counts: the reply's own, or stray bytes after a good one.
    Verdict Main() const;
};

// "ok", "bad pair at byte 4", "short reply (3 of 10 bytes)", "no reply",
// "stray bytes (5)"; a bad reply followed by stray bytes names both.
std::string VerdictText(const Record& record);
// "badPair" and the like: the verdict's key in JSON and in the summary.
const char* VerdictKey(Verdict verdict);

// Turns pieces into records. An exchange ends when the host sends again,
// when the line stays quiet longer than `quietLimitUs` after its last byte
// (the host's read limit plus a margin: the host has given up by then), or
// at the end. Bytes from the controller after the reply and before the end
// are the exchange's stray bytes; bytes from the host that do not form a
// request are stray, and decoding picks up at the next request start.
class ExchangeTracker {
public:
    explicit ExchangeTracker(int64_t quietLimitUs) : quietLimitUs_(quietLimitUs) {}

    // Pieces must come in the order they were seen.
    void Add(const Piece& piece, std::vector<Record>* out);
    // Ends whatever has been quiet too long by `nowUs`.
    void AdvanceTo(int64_t nowUs, std::vector<Record>* out);
    // Ends everything still open.
    void Finish(std::vector<Record>* out);

private:
    void EndExchange(std::vector<Record>* out);
    void EndStray(Record* stray, std::vector<Record>* out);
    void AddStray(Record* stray, Side side, int64_t timeUs, const Bytes& bytes);

    int64_t quietLimitUs_;
    tz52line::RequestDecoder decoder_;
    uint64_t exchanges_ = 0;
    bool open_ = false;
    Record current_;
    int64_t lastByteUs_ = kNoTime;  // of the open exchange
    int64_t hostLastByteUs_ = kNoTime;
    Record hostStray_;
    Record deviceStray_;
    int64_t hostStrayLastUs_ = kNoTime;
    int64_t deviceStrayLastUs_ = kNoTime;
};

// Counts over every record, shown or not.
struct Summary {
    struct StationCounts {
        uint64_t exchanges = 0;
        uint64_t failed = 0;
    };
    uint64_t exchanges = 0;
    std::map<int, StationCounts> stations;
    std::map<Verdict, uint64_t> failures;  // every verdict but ok
    std::map<int64_t, uint64_t> replyTimes;  // microseconds, how often
    uint64_t replies = 0;
    uint64_t notShown = 0;       // exchanges left off a display that fell behind
    uint64_t bytesNotDecoded = 0;  // relayed, but beyond what the decoder could hold

    void Add(const Record& record);
    // Reply times; false when no reply was timed.
    bool ReplyTimes(int64_t* minUs, int64_t* medianUs, int64_t* maxUs) const;
};

}  // namespace tz52monitor

#endif  // TZ52_TOOLS_TZ52_MONITOR_EXCHANGES_H
