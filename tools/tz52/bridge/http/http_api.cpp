#include "tools/tz52/bridge/http/http_api.h"

#include <cstdio>

#include "tools/tz52/bridge/http/metrics_text.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/output/clock.h"

namespace {

std::string Hex(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

const char* KindName(JournalKind kind) {
    switch (kind) {
        case JournalKind::kPointRead: return "pointRead";
        case JournalKind::kWriteDone: return "writeDone";
        case JournalKind::kWriteRefused: return "writeRefused";
        case JournalKind::kStationSilent: return "stationSilent";
        case JournalKind::kStationAnswered: return "stationAnswered";
        case JournalKind::kPortLost: return "portLost";
        case JournalKind::kPortBack: return "portBack";
        case JournalKind::kHealth: return "health";
        case JournalKind::kFaceReport: return "face";
    }
    return "unknown";
}

Json HealthJson(const LineHealth& health) {
    return Json{{"portOpen", health.portOpen},   {"exchanges", health.exchanges},
                {"failedExchanges", health.failedExchanges}, {"lineBusy", health.busyShare},
                {"behindMs", health.behindMs},   {"overloaded", health.overloaded},
                {"windowMs", health.windowMs},   {"stationsSilent", health.stationsSilent}};
}

// The totals of the counters, live, where a health report's are as of its
// time.
void Totals(const LineCounters& counters, uint64_t* exchanges, uint64_t* failed) {
    *exchanges = 0;
    *failed = 0;
    for (const auto& entry : counters.exchangesByResult) {
        *exchanges += entry.second;
        if (entry.first != kResultOk) *failed += entry.second;
    }
}

}  // namespace

bool ParseReadsShown(const std::string& text, ReadsShown* shown) {
    if (text == "none") {
        *shown = ReadsShown::kNone;
    } else if (text == "changed") {
        *shown = ReadsShown::kChanged;
    } else if (text == "all") {
        *shown = ReadsShown::kAll;
    } else {
        return false;
    }
    return true;
}

bool EventShown(const JournalEvent& event, ReadsShown shown) {
    if (event.kind != JournalKind::kPointRead) return true;
    return shown == ReadsShown::kAll || (shown == ReadsShown::kChanged && event.changed);
}

Json PointJson(const PointState& point, bool writable, int64_t nowMs) {
    Json state = nullptr;
    if (point.lastResult >= 0) {
        state = Json{{"ok", point.lastResult == kResultOk},
                     {"result", point.lastResult},
                     {"message", point.message},
                     {"time", IsoUtc(point.readWallMs)},
                     {"ageMs", nowMs - point.readMs},
                     {"stationSilent", point.stationSilent}};
    }
    // Never a value from a failed read, nor 0 for one never read.
    const bool haveValue = point.lastResult == kResultOk;
    Json document = {{"address", tz52line::FormatPoint(point.point)},
                     {"station", point.point.station},
                     {"type", std::string(1, point.point.type)},
                     {"index", point.point.index},
                     {"value", haveValue ? Json(point.value) : Json(nullptr)},
                     {"hex", haveValue ? Json(Hex(point.value)) : Json(nullptr)},
                     {"state", state},
                     {"periodMs", point.periodMs},
                     {"onDemand", point.onDemand},
                     {"writable", writable}};
    if (point.onDemand) document["demandedBy"] = point.demandedBy;
    return document;
}

namespace {

// A JSON string of `text`: as it is when it needs no escape, else as the
// JSON library writes it (bytes that are not UTF-8 replaced).
void AppendJsonString(const std::string& text, std::string* out) {
    bool plain = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out->push_back('"');
        out->append(text);
        out->push_back('"');
        return;
    }
    out->append(JsonText(Json(text)));
}

}  // namespace

std::string PointsDocumentText(const LineSnapshot& state, const std::function<bool(const tz52line::PointRef&)>& writable,
                               int64_t nowMs) {
    std::string text;
    text.reserve(64 + state.points.size() * 272);
    text.append("{\"points\":[");
    bool first = true;
    char number[96];
    for (const auto& entry : state.points) {
        const PointState& point = entry.second;
        if (!first) text.push_back(',');
        first = false;
        // In the order PointJson gives its fields.
        std::snprintf(number, sizeof number, "{\"address\":\"%s\",\"station\":%d,\"type\":\"%c\",\"index\":%d,",
                      tz52line::FormatPoint(point.point).c_str(), point.point.station,
                      // A letter always: a NUL would end the text here.
                      point.point.type >= 'A' && point.point.type <= 'Z' ? point.point.type : '?', point.point.index);
        text.append(number);
        if (point.lastResult == kResultOk) {
            std::snprintf(number, sizeof number, "\"value\":%u,\"hex\":\"%s\",", static_cast<unsigned>(point.value),
                          Hex(point.value).c_str());
            text.append(number);
        } else {
            text.append("\"value\":null,\"hex\":null,");
        }
        if (point.lastResult >= 0) {
            std::snprintf(number, sizeof number, "\"state\":{\"ok\":%s,\"result\":%d,\"message\":",
                          point.lastResult == kResultOk ? "true" : "false", point.lastResult);
            text.append(number);
            AppendJsonString(point.message, &text);
            text.append(",\"time\":\"");
            text.append(IsoUtc(point.readWallMs));
            std::snprintf(number, sizeof number, "\",\"ageMs\":%lld,\"stationSilent\":%s},",
                          static_cast<long long>(nowMs - point.readMs), point.stationSilent ? "true" : "false");
            text.append(number);
        } else {
            text.append("\"state\":null,");
        }
        std::snprintf(number, sizeof number, "\"periodMs\":%lld,\"onDemand\":%s,\"writable\":%s",
                      static_cast<long long>(point.periodMs), point.onDemand ? "true" : "false",
                      writable(entry.first) ? "true" : "false");
        text.append(number);
        if (point.onDemand) {
            text.append(",\"demandedBy\":");
            AppendJsonString(point.demandedBy, &text);
        }
        text.push_back('}');
    }
    text.append("]}");
    return text;
}

Json LineJson(const LineSnapshot& state, const LineFacts& facts, int64_t nowMs) {
    Json stations = Json::array();
    for (const auto& entry : state.stations) {
        stations.push_back(Json{{"station", entry.first},
                                {"answering", !entry.second.silent},
                                {"since", IsoUtc(entry.second.sinceWallMs)},
                                {"forMs", nowMs - entry.second.sinceMs}});
    }
    size_t onDemand = 0;
    for (const auto& entry : state.points) onDemand += entry.second.onDemand ? 1 : 0;
    uint64_t exchanges = 0;
    uint64_t failed = 0;
    Totals(state.counters, &exchanges, &failed);
    Json byResult = Json::object();
    for (const auto& entry : state.counters.exchangesByResult) byResult[std::to_string(entry.first)] = entry.second;
    return Json{{"version", facts.version},
                {"uptimeSeconds", facts.uptimeSeconds},
                {"port",
                 {{"name", facts.port},
                  {"open", state.line.portOpen},
                  {"closedWhy", state.portClosedWhy},
                  {"settings", facts.portSettings},
                  {"readTimeoutMs", facts.readTimeoutMs}}},
                {"exchanges", exchanges},
                {"failedExchanges", failed},
                {"exchangesByResult", byResult},
                {"health", HealthJson(state.line)},
                {"stations", stations},
                {"points", {{"polled", state.points.size()}, {"onDemand", onDemand}}},
                {"writesWaiting", facts.writesWaiting},
                {"faces", facts.faces}};
}

Json HistoryJson(const std::string& address, const std::vector<HistoryRead>& reads) {
    Json list = Json::array();
    for (const HistoryRead& read : reads) {
        list.push_back(Json{{"time", IsoUtc(read.wallMs)},
                            {"result", read.result},
                            {"value", read.result == kResultOk ? Json(read.value) : Json(nullptr)}});
    }
    return Json{{"address", address}, {"reads", list}};
}

Json EventJson(const JournalEvent& event) {
    Json document = {{"seq", event.sequence}, {"time", IsoUtc(event.wallMs)}, {"kind", KindName(event.kind)}};
    switch (event.kind) {
        case JournalKind::kPointRead:
            document["point"] = tz52line::FormatPoint(event.point);
            document["result"] = event.result;
            document["value"] = event.result == kResultOk ? Json(event.value) : Json(nullptr);
            document["message"] = event.message;
            document["stationSilent"] = event.stationSilent;
            document["changed"] = event.changed;
            document["durationMs"] = event.durationMs;
            // To a tenth of a millisecond: a read at 115200 baud is 1.4 ms.
            document["wireMs"] = static_cast<double>((event.wireUs + 50) / 100) / 10.0;
            break;
        case JournalKind::kWriteDone:
        case JournalKind::kWriteRefused: {
            Json points = Json::array();
            for (const JournalWrittenPoint& written : event.written) {
                points.push_back(Json{{"point", tz52line::FormatPoint(written.point)}, {"value", written.value}});
            }
            document["face"] = event.face;
            document["who"] = event.who;
            document["points"] = points;
            document["pointsAsked"] = event.writtenCount;
            document["result"] = event.result;
            document["message"] = event.message;
            break;
        }
        case JournalKind::kStationSilent:
        case JournalKind::kStationAnswered:
            document["station"] = event.point.station;
            document["message"] = event.message;
            break;
        case JournalKind::kPortLost:
        case JournalKind::kPortBack:
            document["message"] = event.message;
            break;
        case JournalKind::kHealth:
            if (event.health) document["health"] = HealthJson(*event.health);
            break;
        case JournalKind::kFaceReport:
            document["face"] = event.face;
            document["who"] = event.who;
            document["message"] = event.message;
            break;
    }
    return document;
}

std::string StreamEventText(const JournalEvent& event) {
    return "id: " + std::to_string(event.sequence) + "\nevent: " + KindName(event.kind) +
           "\ndata: " + JsonText(EventJson(event)) + "\n\n";
}

std::string StreamResyncText(uint64_t newest) {
    return "id: " + std::to_string(newest) + "\nevent: resync\ndata: " + JsonText(Json{{"newest", newest}}) + "\n\n";
}

std::string MetricsDocument(const LineSnapshot& state, const LineFacts& facts, int64_t residentBytes) {
    MetricsText metrics;
    std::vector<MetricSample> byResult;
    for (const auto& entry : state.counters.exchangesByResult) {
        byResult.push_back({{{"result", std::to_string(entry.first)}}, static_cast<double>(entry.second)});
    }
    metrics.Counter("tz52_exchanges", "Exchanges on the line, by the driver's result.", byResult);

    std::vector<double> bounds;
    for (const int64_t bound : LineCounters::kDurationBoundsMs) bounds.push_back(static_cast<double>(bound) / 1000);
    HistogramSample durations{{}, HistogramCounts(bounds)};
    for (size_t i = 0; i < state.counters.durations.size(); ++i) durations.counts.counts[i] = state.counters.durations[i];
    durations.counts.sum = static_cast<double>(state.counters.durationSumMs) / 1000;
    metrics.Histogram("tz52_exchange_duration_seconds", "How long an exchange on the line took.", {durations});

    std::vector<MetricSample> writes;
    for (const auto& entry : state.counters.writes) {
        writes.push_back({{{"face", entry.first.first}, {"result", std::to_string(entry.first.second)}},
                          static_cast<double>(entry.second)});
    }
    metrics.Counter("tz52_writes", "Writes asked for by the faces, by face and the driver's result.", writes);

    size_t onDemand = 0;
    for (const auto& entry : state.points) onDemand += entry.second.onDemand ? 1 : 0;
    size_t silent = 0;
    for (const auto& entry : state.stations) silent += entry.second.silent ? 1 : 0;
    const auto gauge = [&metrics](const char* name, const char* help, double value) {
        metrics.Gauge(name, help, {{{}, value}});
    };
    gauge("tz52_points_polled", "Points the line polls, configured and on demand.",
          static_cast<double>(state.points.size()));
    gauge("tz52_points_on_demand", "Points polled because a face asked for them.", static_cast<double>(onDemand));
    gauge("tz52_stations_silent", "Stations whose last read found them silent.", static_cast<double>(silent));
    gauge("tz52_port_open", "Whether the serial port is open.", state.line.portOpen ? 1 : 0);
    gauge("tz52_line_busy_ratio", "The share of the last health window the line was in use.", state.line.busyShare);
    gauge("tz52_poll_lag_seconds", "How late the latest due reads came, over the last health window.",
          static_cast<double>(state.line.behindMs) / 1000);
    gauge("tz52_line_overloaded", "Whether a read came more than its period late in the last health window.",
          state.line.overloaded ? 1 : 0);
    gauge("tz52_write_queue_depth", "Writes waiting for the line.", static_cast<double>(facts.writesWaiting));

    std::vector<MetricSample> connected;
    std::vector<MetricSample> clients;
    std::vector<MetricSample> streams;
    std::vector<MetricSample> kept;
    std::vector<MetricSample> dropped;
    for (const auto& face : facts.faces.items()) {
        const Json& figures = face.value();
        if (figures.contains("connected") && figures["connected"].is_boolean()) {
            connected.push_back({{{"face", face.key()}}, figures["connected"].get<bool>() ? 1.0 : 0.0});
        }
        if (figures.contains("clients") && figures["clients"].is_number()) {
            clients.push_back({{{"face", face.key()}}, figures["clients"].get<double>()});
        }
        if (figures.contains("streams") && figures["streams"].is_number()) {
            streams.push_back({{{"face", face.key()}}, figures["streams"].get<double>()});
        }
        if (figures.contains("changesKept") && figures["changesKept"].is_number()) {
            kept.push_back({{{"face", face.key()}}, figures["changesKept"].get<double>()});
        }
        if (figures.contains("changesDropped") && figures["changesDropped"].is_number()) {
            dropped.push_back({{{"face", face.key()}}, figures["changesDropped"].get<double>()});
        }
    }
    metrics.Gauge("tz52_broker_connected", "Whether the face is connected to its broker.", connected);
    metrics.Gauge("tz52_clients", "Clients connected to the face.", clients);
    metrics.Gauge("tz52_streams", "Event streams open on the face.", streams);
    metrics.Gauge("tz52_store_forward_kept", "Changes kept while the face's broker is away.", kept);
    metrics.Counter("tz52_store_forward_dropped", "Changes the face's store could not keep (the oldest first).",
                    dropped);
    metrics.Gauge("tz52_build_info", "The bridge's version.", {{{{"version", facts.version}}, 1}});
    gauge("tz52_resident_memory_bytes", "The bridge's resident memory.", static_cast<double>(residentBytes));
    gauge("tz52_uptime_seconds", "Time since the bridge started.", static_cast<double>(facts.uptimeSeconds));
    return metrics.Text();
}
