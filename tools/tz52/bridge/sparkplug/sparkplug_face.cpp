#include "tools/tz52/bridge/sparkplug/sparkplug_face.h"

#include <chrono>
#include <cstdio>

#include "tools/common/cli/quoted.h"
#include "tools/common/text/point_file.h"
#include "tools/tz52/bridge/core/face_thread.h"
#include "tools/tz52/bridge/core/write_audit.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_topics.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/platform.h"

namespace {

// The face's thread looks at its stop this often when the journal is quiet.
constexpr int64_t kQuietWaitMs = 100;
constexpr size_t kEventsAtATime = 256;
// How often the points of the devices born are held against those polled
// (a reload or the Modbus face's demand may change them).
constexpr int64_t kCheckPointsEveryMs = 2000;
// Rebirths a host asks for, at most one in this time.
constexpr int64_t kLeastBetweenRebirthsMs = 1000;
// Births and data go with QoS 0, as Sparkplug B asks; the death (will and
// farewell) with QoS 1.
constexpr int kDataQos = 0;
// The longest message taken from the broker: a command longer than what
// the judgement takes is refused as such.
constexpr size_t kLongestMessage = kSparkplugMostCommandBytes + 1;

const char kFace[] = "sparkplug";
const char kPortMetric[] = "Line/Port";
const char kDroppedMetric[] = "Store and forward/Changes dropped";

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Station 1 is device "001", as its points' addresses start.
std::string DeviceOf(int station) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", station);
    return text;
}

// An address the births gave ("001M025") as the line's point.
tz52line::PointRef PointOfAddress(const std::string& address) {
    tz52line::PointRef point;
    point.station = std::stoi(address.substr(0, 3));
    point.type = address[3];
    point.index = std::stoi(address.substr(4, 3));
    return point;
}

bool IsWritableLetter(char type) { return type == 'C' || type == 'M' || type == 'O' || type == 'S'; }

}  // namespace

SparkplugFace::SparkplugFace(const MqttSettings& broker, const SparkplugSettings& settings, Line* line)
    : broker_(broker),
      settings_(settings),
      hostStateTopic_(settings.primaryHost.empty() ? "" : "spBv1.0/STATE/" + settings.primaryHost),
      line_(line),
      node_(settings.group, settings.node),
      store_(settings.buffer) {
    // The plain topics' link has the client id; a broker takes one client
    // of an id at a time.
    broker_.clientId += "-sparkplug";
}

SparkplugFace::~SparkplugFace() { Stop(); }

bool SparkplugFace::Start(std::string* error) {
    MqttLinkRole role;
    role.will = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        // A new connection: every birth of before is void.
        connected_ = false;
        born_ = false;
        bornPoints_.clear();
        will_ = node_.Connect(static_cast<uint64_t>(WallMs()));
        return MqttMessage{will_.topic, will_.payload, false};
    };
    role.farewell = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return MqttMessage{will_.topic, will_.payload, false};
    };
    role.subscriptions = {SparkplugTopic(settings_.group, SparkplugMessageType::kNodeCommand, settings_.node),
                          SparkplugTopic(settings_.group, SparkplugMessageType::kDeviceCommand, settings_.node, "+")};
    if (!hostStateTopic_.empty()) role.subscriptions.push_back(hostStateTopic_);
    role.onMessage = [this](const std::string& topic, const std::string& payload, bool) { OnMessage(topic, payload); };
    role.longestPayload = kLongestMessage;
    link_ = std::make_unique<MqttLink>(std::move(role), [this](bool connected) { OnConnection(connected); });
    if (!link_->Start(broker_, error)) return false;
    thread_ = StartFaceThread([this] { Run(); });
    return true;
}

void SparkplugFace::LogStart() const {
    LogLine(LogLevel::kInfo, "bridge",
            "Sparkplug B edge node " + Printable(settings_.group) + "/" + Printable(settings_.node) + " on the broker " +
                broker_.host + ":" + std::to_string(broker_.port) + ", client id " + Printable(broker_.clientId) +
                (hostStateTopic_.empty() ? "" : ", births while " + Printable(hostStateTopic_) + " says online") +
                ", keeping up to " + std::to_string(settings_.buffer) + " changes while not born");
}

void SparkplugFace::Stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    if (link_ && !link_->Stop()) link_.release();
    link_.reset();
}

Json SparkplugFace::Figures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Json{{"connected", connected_},
                {"born", born_},
                {"changesKept", store_.Size()},
                {"changesDropped", store_.Dropped()}};
}

std::string SparkplugFace::Status() const {
    if (!link_) return "";
    std::lock_guard<std::mutex> lock(mutex_);
    std::string status = "Sparkplug B ";
    if (born_) {
        status += "node born";
    } else if (connected_) {
        status += "waiting for " + Printable(hostStateTopic_) + " to say online";
    } else {
        const std::string why = link_->NotConnectedReason();
        status += "broker not connected" + (why.empty() ? "" : " (" + why + ")");
    }
    if (store_.Size() > 0) status += ", " + std::to_string(store_.Size()) + " changes kept";
    if (store_.Dropped() > 0) status += ", " + std::to_string(store_.Dropped()) + " dropped";
    return status;
}

void SparkplugFace::Run() {
    while (!stopping_.load()) {
        Follow();
        line_->journal.WaitAfter(following_, kQuietWaitMs);
    }
    Follow();
}

void SparkplugFace::Follow() {
    for (;;) {
        const Journal::Read read = line_->journal.ReadAfter(following_, kEventsAtATime);
        std::lock_guard<std::mutex> lock(mutex_);
        if (read.behind) {
            // Events were lost to this face: births give the host the state.
            following_ = read.newest;
            changes_.clear();
            if (born_) Births();
            continue;
        }
        for (const auto& event : read.events) {
            following_ = event->sequence;
            Take(*event);
        }
        SendChanges();
        const int64_t now = MonotonicMilliseconds();
        if (rebirthDue_ && now - lastBirthMs_ >= kLeastBetweenRebirthsMs && connected_ && hostOnline_) Births();
        if (born_ && now - checkedPointsMs_ >= kCheckPointsEveryMs) {
            checkedPointsMs_ = now;
            CheckPointsPolled(line_->state.Copy());
        }
        if (read.events.empty()) return;
    }
}

void SparkplugFace::Take(const JournalEvent& event) {
    const int station = event.point.station;
    const std::string device = DeviceOf(station);
    switch (event.kind) {
        case JournalKind::kPointRead: {
            if (event.result != kResultOk || !event.changed) return;
            // A value again after failed reads is no change; a first value
            // is none either: a birth gives it.
            const auto [known, first] = known_.try_emplace(event.point, event.value);
            const bool change = !first && known->second != event.value;
            known->second = event.value;
            const SparkplugPoint point{tz52line::FormatPoint(event.point), event.value,
                                       static_cast<uint64_t>(event.wallMs), MaxPointValue(event.point.type)};
            const auto born = bornPoints_.find(device);
            if (!born_) {
                if (change) Keep(device, point);
            } else if (born == bornPoints_.end() || born->second.count(point.address) == 0 ||
                       silent_.count(station) != 0) {
                // A point (or a station, or the port back) the host was not
                // told of: born again with it, its value in the birth.
                SendChanges();
                silent_.erase(station);
                BirthOfDevice(device, line_->state.Copy());
            } else if (change) {
                changes_[device].push_back(point);
            }
            return;
        }
        case JournalKind::kStationSilent:
            SendChanges();
            silent_.insert(station);
            if (born_) DeathOfDevice(device);
            return;
        case JournalKind::kStationAnswered:
            SendChanges();
            silent_.erase(station);
            if (born_ && !node_.DeviceBorn(device)) BirthOfDevice(device, line_->state.Copy());
            return;
        case JournalKind::kPortLost:
            // No station is heard: what the host has of them is stale.
            SendChanges();
            if (!born_) return;
            while (!bornPoints_.empty()) DeathOfDevice(bornPoints_.begin()->first);
            return;
        default:
            return;
    }
}

void SparkplugFace::Keep(const std::string& device, const SparkplugPoint& point) {
    if (!store_.Keep({device, point.address, point.value, point.readMilliseconds})) return;
    // Said once each time the store fills; the count is in the status and
    // the next birth.
    if (store_.Dropped() == droppedAtBirth_ + 1) {
        LogLine(LogLevel::kWarning, "bridge",
                "Sparkplug B: " + std::to_string(store_.Capacity()) +
                    " changes are kept while the node is not born (--sparkplug-buffer); the oldest are dropped");
    }
}

void SparkplugFace::SendChanges() {
    for (auto& [device, points] : changes_) {
        SparkplugMessage message;
        std::vector<std::string> notBorn;
        if (node_.DeviceData(device, points, static_cast<uint64_t>(WallMs()), &message, &notBorn) && !Send(message)) {
            // The broker went away under the face: kept as if it had been.
            for (const SparkplugPoint& point : points) Keep(device, point);
        }
    }
    changes_.clear();
}

bool SparkplugFace::Send(const SparkplugMessage& message) {
    return link_->Publish(message.topic, message.payload, false, kDataQos);
}

void SparkplugFace::OnConnection(bool connected) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = connected;
        born_ = false;
        // A primary host's STATE comes again, retained, on the subscription.
        hostOnline_ = hostStateTopic_.empty();
        if (connected && hostOnline_) Births();
    }
    JournalEvent event;
    event.kind = JournalKind::kFaceReport;
    event.face = kFace;
    event.message = connected ? "broker connected" : "broker lost";
    line_->journal.Append(std::move(event));
}

void SparkplugFace::Births() {
    const uint64_t now = static_cast<uint64_t>(WallMs());
    lastBirthMs_ = MonotonicMilliseconds();
    rebirthDue_ = false;
    const SparkplugMessage nodeBirth = node_.NodeBirth(
        now, {{kPortMetric, line_->port}, {kDroppedMetric, static_cast<uint64_t>(store_.Dropped())}});
    // The births of before are void, sent or not.
    born_ = false;
    bornPoints_.clear();
    if (!Send(nodeBirth)) return;
    born_ = true;
    droppedAtBirth_ = store_.Dropped();
    bornPoints_.clear();
    changes_.clear();
    const LineSnapshot state = line_->state.Copy();
    silent_.clear();
    for (const auto& [station, known] : state.stations) {
        if (known.silent) silent_.insert(station);
    }
    std::set<int> stations;
    for (const auto& entry : state.points) stations.insert(entry.first.station);
    for (const int station : stations) {
        if (silent_.count(station) == 0) BirthOfDevice(DeviceOf(station), state);
    }
    const std::vector<SparkplugStoredChange> kept = store_.Drain();
    if (kept.empty()) return;
    size_t leftOut = 0;
    size_t sent = 0;
    for (const SparkplugMessage& message : node_.HistoricalData(kept, now, &leftOut)) sent += Send(message) ? 1 : 0;
    LogLine(LogLevel::kNotice, "bridge",
            "Sparkplug B: " + std::to_string(kept.size() - leftOut) + " changes kept while the node was not born sent as "
                "historical metrics in " + std::to_string(sent) + " DDATA" +
                (leftOut == 0 ? "" : "; " + std::to_string(leftOut) + " of points no longer born left out"));
}

void SparkplugFace::BirthOfDevice(const std::string& device, const LineSnapshot& state) {
    std::vector<SparkplugPoint> points;
    std::set<std::string> addresses;
    for (const auto& [ref, point] : state.points) {
        // Only values read: a point never read yet is born with its first.
        if (DeviceOf(ref.station) != device || point.valueMs == 0) continue;
        points.push_back({tz52line::FormatPoint(ref), point.value, static_cast<uint64_t>(point.readWallMs),
                          MaxPointValue(ref.type)});
        addresses.insert(points.back().address);
    }
    if (points.empty()) return;
    Send(node_.DeviceBirth(device, points, static_cast<uint64_t>(WallMs())));
    bornPoints_[device] = std::move(addresses);
}

void SparkplugFace::DeathOfDevice(const std::string& device) {
    changes_.erase(device);
    bornPoints_.erase(device);
    if (node_.DeviceBorn(device)) Send(node_.DeviceDeath(device, static_cast<uint64_t>(WallMs())));
}

void SparkplugFace::CheckPointsPolled(const LineSnapshot& state) {
    std::map<std::string, std::set<std::string>> polled;
    for (const auto& [ref, point] : state.points) {
        if (point.valueMs != 0) polled[DeviceOf(ref.station)].insert(tz52line::FormatPoint(ref));
    }
    std::vector<std::string> changed;
    for (const auto& [device, born] : bornPoints_) {
        if (polled[device] != born && silent_.count(std::stoi(device)) == 0) changed.push_back(device);
    }
    for (const std::string& device : changed) {
        if (polled[device].empty()) {
            DeathOfDevice(device);
        } else {
            BirthOfDevice(device, state);
        }
    }
}

// On the link's network thread.
void SparkplugFace::OnMessage(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hostStateTopic_.empty() && topic == hostStateTopic_) {
        HostState(payload);
    } else {
        Command(topic, payload);
    }
}

// The primary host's STATE: {"online":true|false,"timestamp":MS}. One older
// than the newest taken is a stale retained message.
void SparkplugFace::HostState(const std::string& payload) {
    SparkplugHostState state;
    std::string why;
    if (!ParseSparkplugHostState(payload, &state, &why)) {
        LogLine(LogLevel::kWarning, "bridge",
                "Sparkplug B: " + Printable(hostStateTopic_) + " refused: " + why + "; the host's state stays as it was");
        return;
    }
    if (state.timestamp < hostTimestamp_) return;
    hostTimestamp_ = state.timestamp;
    const bool online = state.online;
    if (online == hostOnline_) return;
    hostOnline_ = online;
    LogLine(LogLevel::kNotice, "bridge",
            "Sparkplug B: the primary host " + Printable(settings_.primaryHost) +
                (online ? " is online: the node is born" : " is offline: the node dies and connects again"));
    if (online && connected_ && !born_) {
        Births();
    } else if (!online && born_) {
        // As the host asks: the death, then a new connection that waits for
        // the host to come back.
        link_->Publish(will_.topic, will_.payload, false, 1);
        born_ = false;
        link_->Reconnect();
    }
}

void SparkplugFace::Command(const std::string& topic, const std::string& payload) {
    const SparkplugMayWrite mayWrite = [this](const std::string&, const std::string& address) {
        return address.size() == 7 && IsWritableLetter(address[3]) && line_->permission.Allows(address);
    };
    const SparkplugCommand command = JudgeSparkplugCommand(node_, topic, payload, mayWrite);
    switch (command.verdict) {
        case SparkplugVerdict::kIgnored:
            return;
        case SparkplugVerdict::kRefused:
            LogLine(LogLevel::kWarning, "bridge", "Sparkplug B: " + command.reason + "; nothing was sent on the line");
            return;
        case SparkplugVerdict::kRebirth:
            LogLine(LogLevel::kNotice, "bridge", "Sparkplug B: the host asks for a rebirth");
            // At most one a second, however often a host asks: the face's
            // thread gives the one asked for within the second after it.
            if (MonotonicMilliseconds() - lastBirthMs_ < kLeastBetweenRebirthsMs) {
                rebirthDue_ = true;
            } else if (connected_ && hostOnline_) {
                Births();
            }
            return;
        case SparkplugVerdict::kWrites:
            Write(topic, command.writes);
            return;
    }
}

void SparkplugFace::Write(const std::string& topic, const std::vector<SparkplugWrite>& writes) {
    std::vector<JournalWrittenPoint> points;
    for (const SparkplugWrite& write : writes) points.push_back({PointOfAddress(write.address), write.value});
    const std::string who = "DCMD on " + Printable(topic);
    // On the owner's thread: the audit line of every point; the values read
    // back reach the host as DDATA from the journal.
    const auto finish = [who](const WriteRequest& done) {
        for (size_t i = 0; i < done.points.size(); ++i) {
            const PointWriteOutcome& outcome = done.outcomes[i];
            const std::string address = tz52line::FormatPoint(done.points[i].point);
            const std::string message =
                outcome.result < 0 ? "not written: an earlier point of the command was not; nothing was sent"
                : outcome.written  ? "written"
                                   : outcome.message + (outcome.sent ? "" : "; nothing was sent");
            LogWrite(address, done.points[i].value, kFace, who, outcome.result < 0 ? kResultRefused : outcome.result,
                     message);
        }
    };
    auto request = std::make_shared<WriteRequest>(std::move(points), kFace, who, finish);
    if (line_->queue.Push(request)) return;
    for (const SparkplugWrite& write : writes) {
        LogWrite(write.address, write.value, kFace, who, kResultPortFailure,
                 "more than " + std::to_string(WriteQueue::kMostWaiting) +
                     " writes are waiting for the line; nothing was sent");
    }
}
