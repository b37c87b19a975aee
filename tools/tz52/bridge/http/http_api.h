// The HTTP face's documents: the line's state, its points, their history
// and the journal's events as the API gives them (JSON), the events as a
// stream gives them (Server-Sent Events) and the metrics (Prometheus
// text). Pure functions of what the core gives, so that they are tested and
// fuzzed without a line or a socket. Every text from outside (topics,
// client addresses, user names, payloads) leaves JSON-escaped.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_API_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_API_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/tz52/bridge/core/journal.h"
#include "tools/tz52/bridge/core/line_state.h"
#include "tools/tz52/bridge/http/point_history.h"
#include "tools/tz52/output/json.h"

// What /api/v1/line says of the bridge beside the line's state.
struct LineFacts {
    std::string version;
    int64_t uptimeSeconds = 0;
    std::string port;
    std::string portSettings;  // "9600 baud, 8N1"
    int64_t readTimeoutMs = 0;
    size_t writesWaiting = 0;
    Json faces = Json::object();  // by face name: its figures
};

// Which point reads a list of events holds: none (the default of
// /events), those that changed something (the default of /stream), or all.
enum class ReadsShown { kNone, kChanged, kAll };
// "none", "changed", "all"; false for anything else.
bool ParseReadsShown(const std::string& text, ReadsShown* shown);
bool EventShown(const JournalEvent& event, ReadsShown shown);

// A point of the state; `writable` as --allow-write and its type say,
// `nowMs` (monotonic) for its age.
Json PointJson(const PointState& point, bool writable, int64_t nowMs);
// {"points": [PointJson of each]} as text, written straight into one string:
// the document of a full station is asked for often, and a tree of it
// costs a request thousands of allocations.
std::string PointsDocumentText(const LineSnapshot& state, const std::function<bool(const tz52line::PointRef&)>& writable,
                               int64_t nowMs);
Json LineJson(const LineSnapshot& state, const LineFacts& facts, int64_t nowMs);
// The reads of a point, oldest first; a failed read is a gap (value null).
Json HistoryJson(const std::string& address, const std::vector<HistoryRead>& reads);
Json EventJson(const JournalEvent& event);
// One event of a stream: "id: SEQ\nevent: KIND\ndata: JSON\n\n".
std::string StreamEventText(const JournalEvent& event);
// The event a stream sends when events it was to send are gone from the
// ring: the client takes the state afresh; the stream goes on after `newest`.
std::string StreamResyncText(uint64_t newest);
// Prometheus text of the line's state, the bridge's faces and the process.
std::string MetricsDocument(const LineSnapshot& state, const LineFacts& facts, int64_t residentBytes);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_API_H
