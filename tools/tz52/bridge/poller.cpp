// tz52 bridge: the poller, the one thread that owns the port: reads when
// due, writes between reads, the line watched for a device that went away.
#include "tools/tz52/bridge/bridge.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include <sys/stat.h>

#include "serial/port_names.h"
#include "tools/tz52/bridge/modbus_face.h"
#include "tools/tz52/bridge/point_memory.h"
#include "tools/tz52/bridge/service_notify.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/platform.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/json.h"

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// How often the bridge tries Reopen while the serial device is gone.
constexpr int64_t kReopenEveryMs = 3000;
// The longest the polling thread sleeps before it looks at the stop flag.
constexpr int64_t kLongestSleepMs = 100;
// A silent station's points on demand are tried together at most this
// often (one exchange for all of them), so no client can fill the line with
// reads of stations that are not there.
constexpr int64_t kSilentStationTryEveryMs = 5000;
// A read on demand that finds no gap among the configured reads goes in
// the way of one after waiting this long; at most one this often.
constexpr int64_t kForcedDemandEveryMs = 30000;
// How often the poller looks for points on demand that no client reads.
constexpr int64_t kIdleCheckEveryMs = 1000;
// The first health report comes this soon after the start (or sooner, with
// a shorter health period), so a new bridge shows how its line does.
constexpr int64_t kFirstHealthMs = 5000;

std::string StateJson(int result, const std::string& message) {
    return JsonText(
        Json{{"ok", result == kResultOk}, {"result", result}, {"message", message}, {"time", IsoUtcNow()}});
}

// Whether the device of `portName` (by the driver's port-name rule) is still
// in the file system. A device unplugged, or a pseudo-terminal whose other
// side closed, leaves it.
bool DevicePresent(const std::string& portName) {
    char path[kDevicePathSize];
    if (PosixDevicePath(portName.c_str(), path, sizeof path) != 0) return false;
    struct stat status {};
    return stat(path, &status) == 0;
}

// The port's state in a few words, for STATUS and the states: "missing"
// when the device is not there, else the system's reason by its name.
std::string PortStateWord(int systemError) {
    switch (systemError) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return "missing";
        case EACCES: return "permission denied (EACCES)";
        case EPERM: return "not permitted (EPERM)";
        case EBUSY: return "busy (EBUSY)";
        case 0: return "not usable";
        default: return std::strerror(systemError);
    }
}

int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Log(LogLevel level, const std::string& message) { LogLine(level, "bridge", message); }

// "1s", "250ms": a period as the options take it.
std::string PeriodText(int64_t milliseconds) {
    if (milliseconds >= 60000 && milliseconds % 60000 == 0) return std::to_string(milliseconds / 60000) + "min";
    if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + "s";
    return std::to_string(milliseconds) + "ms";
}

// What the bridge was started with, for whoever reads the log after an
// incident: the line, the points by period, the writes allowed, the broker.
// A port that could not be opened is said so, never "open".
void LogStart(const PortSetup& setup, const BridgePlan& plan, bool portOpen) {
    Log(LogLevel::kInfo, "port " + setup.name + (portOpen ? " is open, " : " (not open yet), ") +
                             DescribeLine(setup.line) + ", read timeout " + std::to_string(setup.readTimeout * 10) +
                             " ms");
    std::map<int64_t, std::string> byPeriod;
    for (const BridgePoint& point : plan.points) byPeriod[point.periodMilliseconds] += " " + point.name;
    for (const auto& period : byPeriod) {
        Log(LogLevel::kInfo, "points every " + PeriodText(period.first) + ":" + period.second);
    }
    std::string allowed;
    for (const std::string& point : plan.allowed) allowed += (allowed.empty() ? "" : ",") + point;
    Log(LogLevel::kInfo, "writes allowed: " + (plan.allowAll ? std::string("all") : allowed.empty() ? "none" : allowed));
    if (!plan.mqttEnabled) {
        Log(LogLevel::kInfo, "no broker (--no-mqtt)");
        return;
    }
    const MqttSettings& mqtt = plan.mqtt;
    Log(LogLevel::kInfo, "broker " + mqtt.host + ":" + std::to_string(mqtt.port) +
                             (mqtt.tlsCaFile.empty() ? "" : " over TLS") +
                             (mqtt.user.empty() ? "" : ", user " + Printable(mqtt.user)) + ", client id " +
                             Printable(mqtt.clientId) + ", topic prefix " + Printable(mqtt.topicPrefix));
}

// The points writes are allowed to: asked from the Modbus face's thread,
// replaced by a reload on the polling thread.
class WritePermission {
public:
    explicit WritePermission(const BridgePlan& plan) { Set(plan); }
    void Set(const BridgePlan& plan) {
        std::lock_guard<std::mutex> lock(mutex_);
        allowAll_ = plan.allowAll;
        allowed_ = plan.allowed;
    }
    bool Allows(const std::string& point) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return allowAll_ || allowed_.count(point) != 0;
    }

private:
    mutable std::mutex mutex_;
    bool allowAll_ = false;
    std::set<std::string> allowed_;
};

// ---- the polling thread ---------------------------------------------------------------

struct PolledPoint {
    BridgePoint point;
    ModbusPoint key;        // the point in the Modbus face's memory
    bool onDemand = false;  // polled for Modbus reads; leaves when none come
    std::string valueTopic;
    std::string stateTopic;
    int64_t dueMs = 0;
    int64_t lastReadMs = 0;  // of a point on demand: when its last read ended
    bool haveValue = false;
    uint16_t value = 0;
    int64_t valuePublishedMs = 0;
    std::string stateJson;  // the last state, published again after a reconnect
    BridgePointReport report;
};

class Bridge {
public:
    // `link` is null without a broker; `memory` and `face` without a Modbus
    // face.
    Bridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
           LineWorkQueue* queue, MqttLink* link, PointMemory* memory, ModbusFace* face,
           const BridgeReadObserver& observer, WritePermission* permission, const BridgeReload& reload)
        : entry_(entry), context_(context), setup_(setup), plan_(plan), queue_(queue), link_(link),
          memory_(memory), face_(face), observer_(observer), permission_(permission), reload_(reload) {
        const int64_t now = MonotonicMilliseconds();
        for (const BridgePoint& point : plan.points) AddPoint(point, false, now);
        healthTopic_ = plan.mqtt.topicPrefix + "/line";
        lastExchangeMs_ = setup.readTimeout * 10;
        windowStartMs_ = now;
        nextHealthMs_ = now + std::min(kFirstHealthMs, plan.healthMilliseconds);
    }

    // SIGHUP: the plan read again. What a restart needs is named and left
    // as it runs; a plan that does not check leaves all as it runs.
    void Reload() {
        notifier_.Reloading();
        BridgePlan fresh;
        std::vector<std::string> restartKeys;
        std::string error;
        if (!reload_.prepare || !reload_.prepare(&fresh, &restartKeys, &error)) {
            Log(LogLevel::kError, "reload refused: " + error + "; the bridge goes on as it was");
            notifier_.Reloaded();
            return;
        }
        const auto changed = [&restartKeys](bool differs, const char* key) {
            if (differs) restartKeys.push_back(key);
        };
        const MqttSettings& was = plan_.mqtt;
        const MqttSettings& now = fresh.mqtt;
        changed(fresh.mqttEnabled != plan_.mqttEnabled, "no-mqtt");
        if (fresh.mqttEnabled && plan_.mqttEnabled) {
            changed(now.host != was.host, "mqtt-host");
            changed(now.port != was.port, "mqtt-port");
            changed(now.user != was.user, "mqtt-user");
            changed(now.password != was.password, "the MQTT password");
            changed(now.tlsCaFile != was.tlsCaFile, "mqtt-tls-ca");
            changed(now.clientId != was.clientId, "client-id");
            changed(now.topicPrefix != was.topicPrefix, "topic-prefix");
        }
        const ModbusSettings& modbusWas = plan_.modbus;
        const ModbusSettings& modbusNow = fresh.modbus;
        changed(modbusNow.listen != modbusWas.listen, "modbus-listen");
        changed(modbusNow.waitMs != modbusWas.waitMs, "modbus-wait");
        changed(modbusNow.demandIdleMs != modbusWas.demandIdleMs, "modbus-idle");
        changed(modbusNow.demandPoints != modbusWas.demandPoints, "modbus-demand-points");
        changed(modbusNow.demandSharePercent != modbusWas.demandSharePercent, "modbus-demand-share");
        changed(modbusNow.maxAgeMs != modbusWas.maxAgeMs, "modbus-max-age");
        changed(modbusNow.maxClients != modbusWas.maxClients, "modbus-max-clients");
        changed(modbusNow.idleConnectionMs != modbusWas.idleConnectionMs, "modbus-idle-connection");
        // Points read on demand keep their period: the face's memory has it.
        changed(memory_ != nullptr && fresh.everyMilliseconds != plan_.everyMilliseconds,
                "every (for the points read on demand)");
        for (const std::string& key : restartKeys) {
            Log(LogLevel::kWarning, "reload: " + key + " changed; it takes effect when the bridge restarts");
        }
        ApplyPoints(fresh.points);
        plan_.allowAll = fresh.allowAll;
        plan_.allowed = fresh.allowed;
        permission_->Set(plan_);
        plan_.republishMilliseconds = fresh.republishMilliseconds;
        if (fresh.healthMilliseconds != plan_.healthMilliseconds) {
            plan_.healthMilliseconds = fresh.healthMilliseconds;
            nextHealthMs_ = MonotonicMilliseconds() + plan_.healthMilliseconds;
        }
        std::string allowed;
        for (const std::string& point : plan_.allowed) allowed += (allowed.empty() ? "" : ",") + point;
        Log(LogLevel::kNotice, "reloaded: " + std::to_string(fresh.points.size()) + " points configured, writes allowed: " +
                                   (plan_.allowAll ? std::string("all") : allowed.empty() ? "none" : allowed));
        notifier_.Reloaded();
    }

    // The configured points become `wanted`: new ones are due at once,
    // others keep their values and take their new periods; points no
    // longer configured leave (a Modbus client's read takes them again).
    void ApplyPoints(const std::vector<BridgePoint>& wanted) {
        const int64_t now = MonotonicMilliseconds();
        std::set<std::string> names;
        std::string added;
        std::string left;
        for (const BridgePoint& point : wanted) {
            names.insert(point.name);
            const auto known = index_.find(point.name);
            if (known == index_.end()) {
                AddPoint(point, false, now);
                added += " " + point.name;
                continue;
            }
            PolledPoint& polled = points_[known->second];
            if (polled.onDemand && memory_ != nullptr) memory_->Configured(polled.key, point.periodMilliseconds);
            polled.onDemand = false;
            if (polled.point.periodMilliseconds != point.periodMilliseconds) {
                polled.point.periodMilliseconds = point.periodMilliseconds;
                polled.dueMs = std::min(polled.dueMs, now + point.periodMilliseconds);
                if (memory_ != nullptr) memory_->Polled(polled.key, point.periodMilliseconds);
            }
        }
        for (size_t i = points_.size(); i-- > 0;) {
            if (points_[i].onDemand || names.count(points_[i].point.name) != 0) continue;
            left += " " + points_[i].point.name;
            if (memory_ != nullptr) memory_->NotPolled(points_[i].key);
            points_.erase(points_.begin() + static_cast<long>(i));
        }
        index_.clear();
        for (size_t i = 0; i < points_.size(); ++i) index_[points_[i].point.name] = i;
        if (!added.empty()) Log(LogLevel::kInfo, "reload: points added:" + added);
        if (!left.empty()) Log(LogLevel::kInfo, "reload: no longer polled:" + left);
    }

    // The port could not be opened at the start: as a device gone, but
    // opened (not reopened) when it comes.
    void StartWithoutPort() {
        neverOpened_ = true;
        LineDown(PortProblem());
    }
    bool EverOpened() const { return !neverOpened_; }

    void Run(const volatile std::sig_atomic_t* stop) {
        notifier_.Ready(StateLine());
        while (!*stop) {
            // Every turn of the loop, which never sleeps longer than
            // kLongestSleepMs: the watchdog sees the loop itself.
            notifier_.Alive(MonotonicMilliseconds());
            if (reload_.requested != nullptr && *reload_.requested != 0) {
                *reload_.requested = 0;
                Reload();
            }
            notifier_.Status(StateLine());
            RepublishAfterConnect();
            PublishHealthWhenDue();
            TakePointsOnDemand();
            if (lineDown_) {
                // Every set is answered at once: none can reach the line.
                while (CarryOutOneSet()) {
                }
                TryReopen();
                continue;
            }
            PolledPoint* next = NextConfigured();
            const int64_t now = MonotonicMilliseconds();
            const bool readDue = next != nullptr && next->dueMs <= now;
            // Sets and reads share the line: at most one write between two
            // reads that are due, so a flood of sets cannot stretch the
            // polling period by more than one exchange per set.
            if (!(readDue && wroteSinceRead_) && CarryOutOneSet()) {
                wroteSinceRead_ = true;
                continue;
            }
            if (readDue) {
                Read(next);
                wroteSinceRead_ = false;
                continue;
            }
            int64_t wait = next == nullptr ? kLongestSleepMs : next->dueMs - now;
            if (PolledPoint* demanded = NextOnDemand(now, next, &wait)) {
                Read(demanded);
                continue;
            }
            queue_->Wait(std::clamp<int64_t>(wait, 0, kLongestSleepMs));
        }
        EndWritesAtStop();
        notifier_.Stopping();
    }

    std::vector<BridgePointReport> Report() const {
        std::vector<BridgePointReport> report;
        for (const PolledPoint& point : points_) report.push_back(point.report);
        return report;
    }

private:
    // The bridge's state in one line, for systemd's STATUS=.
    std::string StateLine() const {
        const std::vector<int32_t> silentStations = SilentStations();
        const size_t silent = silentStations.size();
        std::string line = std::to_string(points_.size()) + (points_.size() == 1 ? " point" : " points") + " polled";
        if (link_ != nullptr && link_->Connected()) line += "; broker connected";
        if (link_ != nullptr && !link_->Connected()) {
            const std::string why = link_->NotConnectedReason();
            line += "; broker not connected" + (why.empty() ? "" : " (" + why + ")");
        }
        if (face_ != nullptr) {
            const size_t clients = face_->Clients();
            line += "; " + std::to_string(clients) + (clients == 1 ? " Modbus client" : " Modbus clients");
        }
        line += "; port " + setup_.name + " " + (lineDown_ ? portState_ : "open");
        if (silent == 0) return line;
        line += "; " + std::to_string(silent) + (silent == 1 ? " station" : " stations") + " silent (";
        for (size_t i = 0; i < silent; ++i) line += (i == 0 ? "" : ", ") + std::to_string(silentStations[i]);
        return line + ")";
    }

    // The configured point due first; points on demand take what it leaves
    // (NextOnDemand).
    PolledPoint* NextConfigured() {
        PolledPoint* next = nullptr;
        for (PolledPoint& point : points_) {
            if (!point.onDemand && (next == nullptr || point.dueMs < next->dueMs)) next = &point;
        }
        return next;
    }

    // The point on demand to read now, or null (and *wakeInMs lowered to
    // when one may be). Reads on demand never make a configured point late:
    // one starts only when its station's latest exchange would end before
    // the next configured read is due, and all of them together take at
    // most --modbus-demand-share of the line. A silent station's points wait
    // for its next try. Where the configured points leave no gap that long,
    // the point waiting longest goes all the same after kForcedDemandEveryMs,
    // one at a time, so a station that answers again is seen.
    PolledPoint* NextOnDemand(int64_t now, const PolledPoint* nextConfigured, int64_t* wakeInMs) {
        const int64_t room = nextConfigured == nullptr ? kNever : nextConfigured->dueMs - now;
        PolledPoint* fitting = nullptr;
        PolledPoint* waitingLongest = nullptr;
        int64_t soonest = kNever;
        for (PolledPoint& point : points_) {
            if (!point.onDemand) continue;
            const int32_t station = point.point.address.station;
            const auto silent = stationTryMs_.find(station);
            const int64_t since = silent == stationTryMs_.end() ? point.dueMs : std::max(point.dueMs, silent->second);
            const int64_t from = std::max(since, demandFreeAtMs_);
            if (from > now) {
                soonest = std::min(soonest, from);
                continue;
            }
            if (ExpectedExchangeMs(station) <= room && (fitting == nullptr || point.dueMs < fitting->dueMs)) {
                fitting = &point;
            }
            if (now - since >= kForcedDemandEveryMs && (waitingLongest == nullptr || point.dueMs < waitingLongest->dueMs)) {
                waitingLongest = &point;
            }
        }
        if (fitting != nullptr) return fitting;
        if (waitingLongest != nullptr && now - lastForcedDemandMs_ >= kForcedDemandEveryMs) {
            lastForcedDemandMs_ = now;
            return waitingLongest;
        }
        if (soonest != kNever) *wakeInMs = std::min(*wakeInMs, soonest - now);
        return nullptr;
    }

    // How long an exchange with `station` takes, by its latest one (three
    // read limits for one that does not answer); the line's latest for a
    // station not heard yet.
    int64_t ExpectedExchangeMs(int32_t station) const {
        const auto known = stationExchangeMs_.find(station);
        return known != stationExchangeMs_.end() ? known->second : lastExchangeMs_;
    }

    // After a read on demand of `milliseconds`: the line is left to the
    // rest for as long as the share asks.
    void SpendDemandShare(int64_t milliseconds, int64_t now) {
        const int64_t share = std::clamp<int64_t>(static_cast<int64_t>(plan_.modbus.demandSharePercent), 1, 100);
        demandFreeAtMs_ = now + milliseconds * (100 - share) / share;
    }

    void Read(PolledPoint* point) {
        uint16_t value = 0;
        const int64_t startMs = MonotonicMilliseconds();
        // How late polling runs is the configured points' measure; reads on
        // demand wait for the line by design.
        if (!point->onDemand) {
            const int64_t late = startMs - point->dueMs;
            behindMs_ = std::max(behindMs_, late);
            if (point->point.periodMilliseconds > 0 && late > point->point.periodMilliseconds) overloaded_ = true;
        }
        const int result = ReadPointValue(entry_, context_, point->point.address, &value);
        const int64_t endNs = NowNanoseconds();
        const int64_t now = MonotonicMilliseconds();
        CountExchange(result, now - startMs);
        if (result != kResultPortFailure || !lineDown_) {
            stationExchangeMs_[point->point.address.station] = now - startMs;
            if (result == kResultOk) lastExchangeMs_ = now - startMs;
        }
        if (point->onDemand) {
            SpendDemandShare(now - startMs, now);
            // The share and the gaps may read it less often than --every:
            // the face serves its value for three of the periods it gets
            // (at first, a round of all points on demand at this pace).
            const int64_t share = std::clamp<int64_t>(static_cast<int64_t>(plan_.modbus.demandSharePercent), 1, 100);
            const int64_t period = point->lastReadMs != 0
                                       ? now - point->lastReadMs
                                       : (now - startMs) * static_cast<int64_t>(memory_->OnDemand()) * 100 / share;
            memory_->Polled(point->key, std::max(point->point.periodMilliseconds, period));
            point->lastReadMs = now;
        }
        if (observer_) observer_(point->point.name, result, value, endNs);
        ++point->report.reads;
        point->report.lastResult = result;
        // A connection accepted during the read gets the old values first.
        RepublishAfterConnect();
        // The next read one period after this one was due. A point that fell
        // behind is due now, not as many times as it missed; the points
        // waiting longest go first, so every point gets its turn.
        point->dueMs += point->point.periodMilliseconds;
        if (point->dueMs < now) point->dueMs = now;

        if (result == kResultOk) {
            if (!point->haveValue || value != point->value ||
                now - point->valuePublishedMs >= plan_.republishMilliseconds) {
                point->haveValue = true;
                point->value = value;
                point->valuePublishedMs = now;
                Publish(point->valueTopic, std::to_string(value), true);
            }
            Remember(point, kResultOk, value, false);
            PublishState(point, StateJson(kResultOk, "success"));
            StationHeard(point->point.address.station, true, point);
            return;
        }
        ++point->report.failedReads;
        point->report.lastError = PointFailureReason(false, result, point->point.address, setup_);
        PublishState(point, StateJson(result, point->report.lastError));
        if (result == kResultPortFailure) CheckLine(startMs);
        // A line that failed as a whole says nothing of the station.
        const bool silent = result == kResultPortFailure && !lineDown_;
        Remember(point, result, 0, silent);
        if (silent) StationHeard(point->point.address.station, false, point);
    }

    // The read's outcome for the Modbus face (whose readers it wakes).
    void Remember(const PolledPoint* point, int result, uint16_t value, bool stationSilent) {
        if (memory_ != nullptr) memory_->Record(point->key, result, value, stationSilent, MonotonicMilliseconds());
    }

    void Publish(const std::string& topic, const std::string& payload, bool retain) {
        if (link_ != nullptr) link_->Publish(topic, payload, retain);
    }

    void AddPoint(const BridgePoint& point, bool onDemand, int64_t now) {
        PolledPoint polled;
        polled.point = point;
        polled.key = ModbusPoint{point.address.station, point.address.pointType, point.address.pointIndex};
        polled.onDemand = onDemand;
        polled.valueTopic = plan_.mqtt.topicPrefix + "/" + point.name;
        polled.stateTopic = polled.valueTopic + "/state";
        polled.dueMs = now;
        polled.report.point = point.name;
        index_[point.name] = points_.size();
        points_.push_back(polled);
        if (memory_ != nullptr) memory_->Polled(polled.key, point.periodMilliseconds);
    }

    // Points Modbus clients read that nobody polled join the poll set, due
    // at once; those no client has read for --modbus-idle leave it.
    void TakePointsOnDemand() {
        if (memory_ == nullptr) return;
        const int64_t now = MonotonicMilliseconds();
        std::string added;
        for (const ModbusPoint& asked : memory_->TakeAsked()) {
            const CheckedAddress address = CheckAddress(entry_, ModbusPointName(asked));
            if (address.result != kResultOk) {
                // The map holds only addresses the driver takes; should one
                // not be, its reads fail instead of waiting.
                memory_->Record(asked, address.result, 0, false, now);
                continue;
            }
            BridgePoint point;
            point.address = address;
            point.name = CanonicalAddress(address);
            point.periodMilliseconds = plan_.everyMilliseconds;
            if (index_.count(point.name) != 0) continue;
            AddPoint(point, true, now);
            added += " " + point.name;
            // A silent station's points answer 11 until its next try.
            if (stationTryMs_.count(address.station) != 0) memory_->Record(asked, kResultPortFailure, 0, true, now);
        }
        if (!added.empty()) {
            Log(LogLevel::kInfo, "modbus: read on demand, every " + PeriodText(plan_.everyMilliseconds) + ":" + added);
        }
        if (now < nextIdleCheckMs_) return;
        nextIdleCheckMs_ = now + kIdleCheckEveryMs;
        const std::vector<ModbusPoint> idle = memory_->TakeIdle(plan_.modbus.demandIdleMs, now);
        if (idle.empty()) return;
        std::string left;
        for (const ModbusPoint& key : idle) {
            const std::string name = ModbusPointName(key);
            const auto found = index_.find(name);
            if (found == index_.end() || !points_[found->second].onDemand) continue;
            points_.erase(points_.begin() + static_cast<long>(found->second));
            index_.clear();
            for (size_t i = 0; i < points_.size(); ++i) index_[points_[i].point.name] = i;
            left += " " + name;
        }
        ForgetStationsNotPolled();
        if (!left.empty()) {
            Log(LogLevel::kInfo, "modbus: no longer polled, no Modbus read for " + PeriodText(plan_.modbus.demandIdleMs) +
                                     ":" + left);
        }
    }

    // The log says when a station stops answering and when it answers
    // again, not at every read.
    void StationHeard(int32_t station, bool answered, const PolledPoint* point) {
        const auto known = stationSilent_.find(station);
        const bool wasSilent = known != stationSilent_.end() && known->second;
        stationSilent_[station] = !answered;
        if (answered) {
            stationTryMs_.erase(station);
        } else {
            stationTryMs_[station] = MonotonicMilliseconds() + kSilentStationTryEveryMs;
            if (!wasSilent) MarkDemandSilent(station);
        }
        if (answered && wasSilent) {
            Log(LogLevel::kNotice, "station " + std::to_string(station) + " answers again");
        } else if (!answered && !wasSilent) {
            Log(LogLevel::kWarning, "station " + std::to_string(station) + " does not answer (" +
                                        point->point.name + ": " + point->report.lastError + ")");
        }
    }

    // A station gone silent: its points on demand answer 11 from now on,
    // without a read each, until it answers again.
    void MarkDemandSilent(int32_t station) {
        for (const PolledPoint& point : points_) {
            if (point.onDemand && point.point.address.station == station && point.report.lastResult != kResultPortFailure) {
                Remember(&point, kResultPortFailure, 0, true);
            }
        }
    }

    // A station none of whose points is polled any longer is neither silent
    // nor answering: its points, asked for again, are read afresh.
    void ForgetStationsNotPolled() {
        std::map<int32_t, bool> polled;
        for (const PolledPoint& point : points_) polled[point.point.address.station] = true;
        for (auto it = stationSilent_.begin(); it != stationSilent_.end();) {
            if (polled.count(it->first) != 0) {
                ++it;
                continue;
            }
            stationTryMs_.erase(it->first);
            stationExchangeMs_.erase(it->first);
            it = stationSilent_.erase(it);
        }
    }

    // The stations whose last read found them silent (none while the port
    // is down: that says nothing of them).
    std::vector<int32_t> SilentStations() const {
        std::vector<int32_t> silent;
        if (lineDown_) return silent;
        for (const auto& station : stationSilent_) {
            if (station.second) silent.push_back(station.first);
        }
        return silent;
    }

    // After a read or write that failed as the line failed (result 2): a
    // silent station costs every attempt its full read limit, while a device
    // that went away fails at once or vanishes from /dev. Then a Reopen
    // either finds the device again (a line fault it clears) or the line is
    // down until a later Reopen succeeds.
    void CheckLine(int64_t callStartMs) {
        const int64_t elapsed = MonotonicMilliseconds() - callStartMs;
        if (elapsed >= setup_.readTimeout * 10 && DevicePresent(setup_.name)) return;
        if (ReopenPort(entry_, context_) == kResultOk) return;
        LineDown(PortProblem());
    }

    // Why the port cannot be opened now, asked of the system again (the
    // Open or Reopen that failed left no descriptor open, so the reason is
    // the device's own); sets portState_.
    std::string PortProblem() {
        int systemError = 0;
        std::string reason = DiagnosePortOpen(setup_.name, &systemError);
        if (reason.empty()) reason = neverOpened_ ? "Open failed" : "Reopen failed";
        portState_ = PortStateWord(systemError);
        const std::string device = "the serial device of port " + setup_.name;
        if (portState_ == "missing") return device + (neverOpened_ ? " is missing (" : " is gone (") + reason + ")";
        return device + " cannot be " + (neverOpened_ ? "opened: " : "reopened: ") + portState_ + " (" + reason + ")";
    }

    // Every state says why the line is down; sets are answered at once
    // until the port opens again.
    void LineDown(const std::string& why) {
        lineDown_ = true;
        lineDownProblem_ = why;
        lineDownReason_ = why + "; the bridge tries to " + (neverOpened_ ? "open" : "reopen") + " it every " +
                          std::to_string(kReopenEveryMs / 1000) + " s";
        nextReopenMs_ = MonotonicMilliseconds() + kReopenEveryMs;
        Log(LogLevel::kError, lineDownReason_);
        const std::string state = StateJson(kResultPortFailure, lineDownReason_);
        for (PolledPoint& point : points_) {
            PublishState(&point, state);
            Remember(&point, kResultPortFailure, 0, false);
        }
    }

    void TryReopen() {
        const int64_t now = MonotonicMilliseconds();
        if (now < nextReopenMs_) {
            queue_->Wait(std::min(nextReopenMs_ - now, kLongestSleepMs));
            return;
        }
        const int result = neverOpened_ ? OpenPort(entry_, context_, setup_) : ReopenPort(entry_, context_);
        if (result != kResultOk) {
            // A device that came back and fails otherwise (its group, the
            // unit's device policy, another program) is said as it is now.
            const std::string problem = PortProblem();
            if (problem != lineDownProblem_) {
                LineDown(problem);
            } else {
                nextReopenMs_ = now + kReopenEveryMs;
            }
            return;
        }
        lineDown_ = false;
        Log(LogLevel::kNotice, "port " + setup_.name + " is open" + (neverOpened_ ? "" : " again") + "; polling goes on");
        neverOpened_ = false;
        for (PolledPoint& point : points_) point.dueMs = now;
    }

    void CountExchange(int result, int64_t milliseconds) {
        ++exchanges_;
        if (result != kResultOk) ++failedExchanges_;
        busyMs_ += milliseconds;
    }

    // PREFIX/line: the totals since the start; lineBusy, behindMs and
    // overloaded over the time since the last report.
    void PublishHealthWhenDue() {
        const int64_t now = MonotonicMilliseconds();
        if (plan_.healthMilliseconds <= 0 || now < nextHealthMs_) return;
        Json silent = Json::array();
        for (const int32_t station : SilentStations()) silent.push_back(station);
        const int64_t window = std::max<int64_t>(1, now - windowStartMs_);
        const double busy = std::min(1.0, static_cast<double>(busyMs_) / static_cast<double>(window));
        const Json health = {{"time", IsoUtcNow()},
                             {"port", setup_.name},
                             {"portOpen", !lineDown_},
                             {"exchanges", exchanges_},
                             {"failedExchanges", failedExchanges_},
                             {"stationsSilent", silent},
                             {"lineBusy", static_cast<double>(static_cast<int64_t>(busy * 1000 + 0.5)) / 1000},
                             {"behindMs", behindMs_},
                             {"overloaded", overloaded_},
                             {"windowMs", window}};
        Publish(healthTopic_, JsonText(health), true);
        if (overloaded_) {
            Log(LogLevel::kWarning,
                "the line cannot keep up: reads came up to " + std::to_string(behindMs_) + " ms late");
        }
        windowStartMs_ = now;
        nextHealthMs_ = now + plan_.healthMilliseconds;
        busyMs_ = 0;
        behindMs_ = 0;
        overloaded_ = false;
    }

    void PublishState(PolledPoint* point, const std::string& json) {
        point->stateJson = json;
        Publish(point->stateTopic, json, true);
    }

    // After every accepted connection: status is the link's own business;
    // the latest value and state of every point are ours.
    void RepublishAfterConnect() {
        if (link_ == nullptr) return;
        const uint64_t connections = link_->Connections();
        if (connections == republishedFor_) return;
        republishedFor_ = connections;
        const int64_t now = MonotonicMilliseconds();
        for (PolledPoint& point : points_) {
            if (point.haveValue) {
                link_->Publish(point.valueTopic, std::to_string(point.value), true);
                point.valuePublishedMs = now;
            }
            if (!point.stateJson.empty()) link_->Publish(point.stateTopic, point.stateJson, true);
        }
    }

    // Answers the waiting sets that need no line, up to and including the
    // first one that was written (or tried). True when the line was used.
    bool CarryOutOneSet() {
        if (modbusJob_ && CarryOnModbusWrite()) return true;
        LineWork work;
        while (queue_->Take(&work)) {
            if (work.modbus) {
                modbusJob_ = work.modbus;
                if (CarryOnModbusWrite()) return true;
            } else if (CarryOut(work.set)) {
                return true;
            }
        }
        return false;
    }

    // The next point of the Modbus write under way: written, then read back
    // at once (published, and in the face's memory, when polled), one point
    // a turn so the polling goes on between them. True when the line was
    // used. At the end, or at the first failure, the job goes back to the
    // face with its outcome and the audit line says what was written.
    bool CarryOnModbusWrite() {
        const std::shared_ptr<ModbusWriteJob> job = modbusJob_;
        const ModbusRequest& request = job->request;
        if (job->abandoned.load()) {
            FinishModbusWrite(kModbusServerDeviceFailure, kResultRefused,
                              "the client has gone; the rest was dropped");
            return false;
        }
        if (lineDown_) {
            FinishModbusWrite(kModbusServerDeviceFailure, kResultPortFailure, lineDownReason_);
            return false;
        }
        const ModbusPoint& key = request.points[job->written];
        const CheckedAddress address = CheckAddress(entry_, ModbusPointName(key));
        if (address.result != kResultOk) {
            FinishModbusWrite(kModbusIllegalDataAddress, kResultRefused,
                              ModbusPointName(key) + " is not a valid point address: " + AddressRefusalReason(address));
            return false;
        }
        const int64_t startMs = MonotonicMilliseconds();
        const int result = WritePointValue(entry_, context_, address, request.values[job->written]);
        CountExchange(result, MonotonicMilliseconds() - startMs);
        if (result != kResultOk) {
            if (result == kResultPortFailure) CheckLine(startMs);
            const bool silent = result == kResultPortFailure && !lineDown_;
            const std::string reason = PointFailureReason(true, result, address, setup_) +
                                       "; the value may have been written";
            // As after a set: a polled point is read next, to show what the
            // controller holds.
            const auto polled = index_.find(CanonicalAddress(address));
            if (polled != index_.end()) points_[polled->second].dueMs = MonotonicMilliseconds();
            FinishModbusWrite(silent ? kModbusGatewayTargetFailed : kModbusServerDeviceFailure, result,
                              ModbusPointName(key) + ": " + reason);
            return true;
        }
        ++job->written;
        ReadBack(address);
        if (job->written == request.points.size()) FinishModbusWrite(0, kResultOk, "written");
        return true;
    }

    // A point just written, read again: through the poll when the bridge
    // polls it (published, in the memory), else once for the record.
    void ReadBack(const CheckedAddress& address) {
        const auto polled = index_.find(CanonicalAddress(address));
        if (polled != index_.end()) {
            PolledPoint* point = &points_[polled->second];
            point->dueMs = MonotonicMilliseconds();
            Read(point);
            return;
        }
        uint16_t value = 0;
        const int64_t startMs = MonotonicMilliseconds();
        const int result = ReadPointValue(entry_, context_, address, &value);
        CountExchange(result, MonotonicMilliseconds() - startMs);
    }

    void FinishModbusWrite(uint8_t exception, int result, const std::string& message) {
        const std::shared_ptr<ModbusWriteJob> job = modbusJob_;
        modbusJob_.reset();
        job->exception = exception;
        const ModbusRequest& request = job->request;
        std::string text = message;
        if (exception != 0) {
            text += "; exception " + std::to_string(exception);
            if (request.points.size() > 1) {
                text += job->written == 0 ? "; none written"
                                          : "; written: " + ModbusPointName(request.points.front()) +
                                                (job->written == 1 ? ""
                                                                   : ".." + ModbusPointName(request.points[job->written - 1]));
            }
        }
        SetRequest audit;
        audit.face = "modbus";
        audit.from = ModbusClientText(job->client, request.function);
        LogSet(ModbusWrittenPoints(request), ModbusWrittenValues(request), audit, result, text);
        if (face_ != nullptr) face_->Finished(job);
    }

    // A stop cuts short the Modbus write under way and every write waiting:
    // each is logged with what was written, and answered as not written
    // (an exception for a Modbus client, a result for an MQTT set).
    void EndWritesAtStop() {
        stopping_ = true;
        if (modbusJob_) {
            FinishModbusWrite(kModbusServerDeviceFailure, kResultRefused, "the bridge stopped; the rest was not written");
        }
        LineWork work;
        while (queue_->Take(&work)) {
            if (work.modbus) {
                modbusJob_ = work.modbus;
                FinishModbusWrite(kModbusServerDeviceFailure, kResultRefused, "the bridge stopped before the write");
            } else {
                CarryOut(work.set);
            }
        }
    }

    bool CarryOut(const SetRequest& request) {
        const SetJudgement judgement = JudgeSet(entry_, plan_, request.topic, request.payload, request.retained);
        if (!judgement.answer) return false;
        const std::string named = SetTopicPoint(plan_.mqtt.topicPrefix, request.topic);
        // A retained set is cleared; and where the broker cannot say whether
        // a set was retained, every set topic is, once the set is carried out.
        const auto finish = [&](int result, const std::string& message) {
            LogSet(named, judgement.shownValue, request, result, message);
            if (link_ == nullptr) return;
            link_->Result(judgement.resultTopic, SetResultText(request.payload, result, message));
            if (judgement.clear || !link_->SeesRetainedSets()) link_->Clear(judgement.setTopic);
        };
        if (!judgement.write) {
            finish(kResultRefused, judgement.message);
            return false;
        }
        if (lineDown_) {
            finish(kResultPortFailure, lineDownReason_ + "; nothing was sent");
            return false;
        }
        if (stopping_) {
            finish(kResultRefused, "the bridge stopped before the write; nothing was sent");
            return false;
        }
        const int64_t startMs = MonotonicMilliseconds();
        const int result = WritePointValue(entry_, context_, judgement.address, judgement.value);
        CountExchange(result, MonotonicMilliseconds() - startMs);
        const auto polled = index_.find(judgement.point);
        // The value read back goes out with the next read, which is now.
        if (polled != index_.end()) points_[polled->second].dueMs = MonotonicMilliseconds();
        if (result == kResultOk) {
            finish(kResultOk, "written");
            return true;
        }
        // The request went out; only its acknowledgement may have been lost,
        // so the controller may hold the value all the same.
        std::string message = PointFailureReason(true, result, judgement.address, setup_) +
                              "; the value may have been written";
        message += polled != index_.end()
                       ? ", and " + judgement.point + " is read again to show what the controller holds"
                       : " (the bridge does not poll " + judgement.point + ": read it to know)";
        finish(result, message);
        if (result == kResultPortFailure) CheckLine(startMs);
        return true;
    }

    QmxMainFunction entry_;
    PortContext* context_;
    const PortSetup& setup_;
    BridgePlan plan_;  // replaced by a reload
    LineWorkQueue* queue_;
    MqttLink* link_;
    PointMemory* memory_;
    ModbusFace* face_;
    BridgeReadObserver observer_;
    WritePermission* permission_;
    BridgeReload reload_;
    std::shared_ptr<ModbusWriteJob> modbusJob_;  // the Modbus write under way
    int64_t nextIdleCheckMs_ = 0;
    std::vector<PolledPoint> points_;
    std::map<std::string, size_t> index_;
    uint64_t republishedFor_ = 0;
    bool lineDown_ = false;
    bool neverOpened_ = false;
    std::string lineDownReason_;
    std::string lineDownProblem_;  // what LineDown was last told
    std::string portState_;        // the port's state in a few words, while down
    int64_t nextReopenMs_ = 0;
    bool wroteSinceRead_ = false;
    bool stopping_ = false;  // the loop has ended: no more writes reach the line
    std::map<int32_t, bool> stationSilent_;  // by station: silent at its last read
    // Reads on demand: by silent station, when its points may be tried
    // again; by station, how long its latest exchange took (and the line's
    // latest that succeeded); when the share leaves the line to them again.
    std::map<int32_t, int64_t> stationTryMs_;
    std::map<int32_t, int64_t> stationExchangeMs_;
    int64_t lastExchangeMs_ = 0;
    int64_t demandFreeAtMs_ = 0;
    int64_t lastForcedDemandMs_ = 0;
    ServiceNotifier notifier_;
    // The line's health.
    std::string healthTopic_;
    int64_t nextHealthMs_ = 0;
    int64_t windowStartMs_ = 0;
    int64_t exchanges_ = 0;
    int64_t failedExchanges_ = 0;
    int64_t busyMs_ = 0;
    int64_t behindMs_ = 0;
    bool overloaded_ = false;
};

}  // namespace

int RunBridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error,
              std::vector<BridgePointReport>* report, const std::string& missing, bool* opened,
              const BridgeReload& reload) {
    if (opened != nullptr) *opened = missing.empty();
    LineWorkQueue queue;
    std::unique_ptr<MqttLink> link;
    if (plan.mqttEnabled) {
        link = std::make_unique<MqttLink>(&queue);
        if (!link->Start(plan.mqtt, error)) return kExitUsage;
    }
    LogStart(setup, plan, missing.empty());
    WritePermission permission(plan);
    std::unique_ptr<PointMemory> memory;
    std::unique_ptr<ModbusFace> face;
    if (!plan.modbus.listen.empty()) {
        memory = std::make_unique<PointMemory>(plan.modbus.demandPoints, plan.everyMilliseconds, plan.modbus.maxAgeMs);
        const auto mayWrite = [&permission](const ModbusPoint& point) {
            return permission.Allows(ModbusPointName(point));
        };
        face = std::make_unique<ModbusFace>(plan.modbus, memory.get(), &queue, mayWrite);
        memory->Listen([&face] { face->MemoryChanged(); });
    }
    Bridge bridge(entry, context, setup, plan, &queue, link.get(), memory.get(), face.get(), observer, &permission,
                  reload);
    if (face && !face->Start(error)) {
        if (link && !link->Stop()) link.release();
        return kExitUsage;
    }
    if (!missing.empty()) bridge.StartWithoutPort();
    bridge.Run(stop);
    if (face) face->Stop();
    if (report != nullptr) *report = bridge.Report();
    if (opened != nullptr) *opened = bridge.EverOpened();
    // A link whose network thread would not end stays for the process's end.
    if (link && !link->Stop()) link.release();
    return kExitOk;
}
