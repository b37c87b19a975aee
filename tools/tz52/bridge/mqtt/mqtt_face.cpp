#include "tools/tz52/bridge/mqtt/mqtt_face.h"

#include <set>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/bridge/core/face_thread.h"
#include "tools/tz52/bridge/core/write_audit.h"
#include "tools/tz52/bridge/mqtt/set_judgement.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/platform.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/json.h"

namespace {

// The face's thread looks at the link and its stop this often when the
// journal is quiet.
constexpr int64_t kQuietWaitMs = 100;
// Events taken from the journal at a time.
constexpr size_t kEventsAtATime = 256;

std::string StateJson(int result, const std::string& message, int64_t wallMs) {
    return JsonText(
        Json{{"ok", result == kResultOk}, {"result", result}, {"message", message}, {"time", IsoUtc(wallMs)}});
}

std::string HealthJson(const LineHealth& health, const std::string& port, int64_t wallMs) {
    Json silent = Json::array();
    for (const int station : health.stationsSilent) silent.push_back(station);
    return JsonText(Json{{"time", IsoUtc(wallMs)},
                         {"port", port},
                         {"portOpen", health.portOpen},
                         {"exchanges", health.exchanges},
                         {"failedExchanges", health.failedExchanges},
                         {"stationsSilent", silent},
                         {"lineBusy", health.busyShare},
                         {"behindMs", health.behindMs},
                         {"overloaded", health.overloaded},
                         {"windowMs", health.windowMs}});
}

}  // namespace

MqttFace::MqttFace(const MqttSettings& settings, int64_t republishMilliseconds, Line* line)
    : settings_(settings), republishMs_(republishMilliseconds), line_(line) {}

MqttFace::~MqttFace() { Stop(); }

bool MqttFace::Start(std::string* error) {
    link_ = std::make_unique<MqttLink>([this](SetRequest request) { Set(std::move(request)); },
                                       [this](bool connected) {
                                           JournalEvent event;
                                           event.kind = JournalKind::kFaceReport;
                                           event.face = "mqtt";
                                           event.message = connected ? "broker connected" : "broker lost";
                                           line_->journal.Append(std::move(event));
                                       });
    if (!link_->Start(settings_, error)) return false;
    thread_ = StartFaceThread([this] { Run(); });
    return true;
}

void MqttFace::LogStart() const {
    LogLine(LogLevel::kInfo, "bridge",
            "broker " + settings_.host + ":" + std::to_string(settings_.port) +
                (settings_.tlsCaFile.empty() ? "" : " over TLS") +
                (settings_.user.empty() ? "" : ", user " + Printable(settings_.user)) + ", client id " +
                Printable(settings_.clientId) + ", topic prefix " + Printable(settings_.topicPrefix));
}

void MqttFace::Stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    // A link whose network thread would not end stays for the process's end.
    if (link_ && !link_->Stop()) link_.release();
    link_.reset();
}

std::string MqttFace::Status() const {
    if (!link_) return "";
    if (link_->Connected()) return "broker connected";
    const std::string why = link_->NotConnectedReason();
    return "broker not connected" + (why.empty() ? "" : " (" + why + ")");
}

Json MqttFace::Figures() const {
    if (!link_) return Json{{"connected", false}};
    const bool connected = link_->Connected();
    Json figures = {{"connected", connected}, {"broker", settings_.host + ":" + std::to_string(settings_.port)}};
    if (!connected) figures["notConnectedWhy"] = link_->NotConnectedReason();
    return figures;
}

void MqttFace::Run() {
    while (!stopping_.load()) {
        Follow();
        line_->journal.WaitAfter(following_, kQuietWaitMs);
    }
    // What the owner did before it stopped goes out before offline.
    Follow();
}

void MqttFace::Follow() {
    for (;;) {
        // A connection accepted meanwhile gets the old values first.
        const uint64_t connections = link_->Connections();
        if (connections != republishedFor_) {
            republishedFor_ = connections;
            Republish(false);
        }
        const Journal::Read read = line_->journal.ReadAfter(following_, kEventsAtATime);
        if (read.behind) {
            // Events were lost to this face: the state has what they said.
            following_ = read.newest;
            Republish(true);
            continue;
        }
        if (read.events.empty()) return;
        for (const auto& event : read.events) {
            following_ = event->sequence;
            Take(*event);
        }
    }
}

void MqttFace::Take(const JournalEvent& event) {
    switch (event.kind) {
        case JournalKind::kPointRead:
            PointRead(event.point, event.result, event.value, event.message, event.wallMs);
            break;
        case JournalKind::kHealth:
            if (!event.health) break;
            link_->Publish(settings_.topicPrefix + "/line", HealthJson(*event.health, line_->port, event.wallMs), true);
            break;
        default:
            break;
    }
}

void MqttFace::PointRead(const tz52line::PointRef& point, int result, uint16_t value, const std::string& message,
                         int64_t wallMs) {
    auto found = published_.find(point);
    if (found == published_.end()) {
        Published fresh;
        fresh.valueTopic = settings_.topicPrefix + "/" + tz52line::FormatPoint(point);
        fresh.stateTopic = fresh.valueTopic + "/state";
        found = published_.emplace(point, std::move(fresh)).first;
    }
    Published& published = found->second;
    const int64_t now = MonotonicMilliseconds();
    if (result == kResultOk &&
        (!published.haveValue || value != published.value || now - published.valuePublishedMs >= republishMs_.load())) {
        published.haveValue = true;
        published.value = value;
        published.valuePublishedMs = now;
        link_->Publish(published.valueTopic, std::to_string(value), true);
    }
    published.stateJson = StateJson(result, message, wallMs);
    link_->Publish(published.stateTopic, published.stateJson, true);
}

void MqttFace::Republish(bool fromState) {
    const LineSnapshot state = line_->state.Copy();
    // Points no longer polled are no longer published.
    for (auto it = published_.begin(); it != published_.end();) {
        it = state.points.count(it->first) == 0 ? published_.erase(it) : std::next(it);
    }
    if (fromState) {
        for (const auto& entry : state.points) {
            const PointState& point = entry.second;
            if (point.lastResult >= 0) {
                PointRead(entry.first, point.lastResult, point.value, point.message, point.readWallMs);
            }
        }
        return;
    }
    const int64_t now = MonotonicMilliseconds();
    for (auto& entry : published_) {
        Published& published = entry.second;
        if (published.haveValue) {
            link_->Publish(published.valueTopic, std::to_string(published.value), true);
            published.valuePublishedMs = now;
        }
        if (!published.stateJson.empty()) link_->Publish(published.stateTopic, published.stateJson, true);
    }
}

// On the link's network thread: the set goes to the line's queue, judged
// and answered on the owner's thread.
void MqttFace::Set(SetRequest set) {
    const std::string named = SetTopicPoint(settings_.topicPrefix, set.topic);
    if (named.empty()) return;  // not a set topic under the prefix: nothing to answer
    auto judgement = std::make_shared<SetJudgement>();
    const auto finish = [this, set, named, judgement](const WriteRequest& done) {
        int result = kResultRefused;
        std::string message = judgement->message;
        if (const PointWriteOutcome* outcome = done.refused ? nullptr : done.Last()) {
            result = outcome->result;
            message = outcome->message;
            if (outcome->written) {
                message = "written";
            } else if (outcome->sent) {
                message += outcome->polled
                               ? ", and " + judgement->point + " is read again to show what the controller holds"
                               : " (the bridge does not poll " + judgement->point + ": read it to know)";
            } else {
                message += "; nothing was sent";
            }
        }
        LogWrite(named, judgement->shownValue, "mqtt", set.from, result, message);
        link_->Result(judgement->resultTopic, SetResultText(set.payload, result, message));
        // A retained set is cleared; and where the broker cannot say whether
        // a set was retained, every set topic is, once the set is carried out.
        if (judgement->clear || !link_->SeesRetainedSets()) link_->Clear(judgement->setTopic);
    };
    auto request = std::make_shared<WriteRequest>(std::vector<JournalWrittenPoint>{}, "mqtt", set.from, finish);
    request->judge = [this, set, judgement](QmxMainFunction entry) {
        *judgement = JudgeSet(entry, settings_.topicPrefix, line_->permission, set.topic, set.payload, set.retained);
        WriteVerdict verdict;
        verdict.write = judgement->write;
        verdict.message = judgement->message;
        if (judgement->write) verdict.points.push_back({PointRefOf(judgement->address), judgement->value});
        return verdict;
    };
    if (line_->queue.Push(request)) return;
    const std::string why = "more than " + std::to_string(WriteQueue::kMostWaiting) +
                            " writes are waiting for the line; nothing was sent";
    LogWrite(named, SetShownValue(set.payload), "mqtt", set.from, kResultPortFailure, why);
    link_->Result(settings_.topicPrefix + "/" + named + "/result",
                  SetResultText(set.payload, kResultPortFailure, why));
}
