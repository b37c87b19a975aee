// tz52 bridge: the poller, the one thread that owns the port: reads when
// due, writes between reads, the line watched for a device that went away.
#include "tools/tz52/bridge/bridge.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include <sys/stat.h>

#include "serial/port_names.h"
#include "tools/tz52/bridge/service_notify.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/platform.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/json.h"

namespace {

// How often the bridge tries Reopen while the serial device is gone.
constexpr int64_t kReopenEveryMs = 3000;
// The longest the polling thread sleeps before it looks at the stop flag.
constexpr int64_t kLongestSleepMs = 100;
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

int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Log(LogLevel level, const std::string& message) { LogLine(level, "bridge", message); }

// "1s", "250ms": a period as the options take it.
std::string PeriodText(int64_t milliseconds) {
    if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + "s";
    return std::to_string(milliseconds) + "ms";
}

// What the bridge was started with, for whoever reads the log after an
// incident: the line, the points by period, the writes allowed, the broker.
void LogStart(const PortSetup& setup, const BridgePlan& plan) {
    Log(LogLevel::kInfo, "port " + setup.name + " is open, " + DescribeLine(setup.line) + ", read timeout " +
                             std::to_string(setup.readTimeout * 10) + " ms");
    std::map<int64_t, std::string> byPeriod;
    for (const BridgePoint& point : plan.points) byPeriod[point.periodMilliseconds] += " " + point.name;
    for (const auto& period : byPeriod) {
        Log(LogLevel::kInfo, "points every " + PeriodText(period.first) + ":" + period.second);
    }
    std::string allowed;
    for (const std::string& point : plan.allowed) allowed += (allowed.empty() ? "" : ",") + point;
    Log(LogLevel::kInfo, "writes allowed: " + (plan.allowAll ? std::string("all") : allowed.empty() ? "none" : allowed));
    const MqttSettings& mqtt = plan.mqtt;
    Log(LogLevel::kInfo, "broker " + mqtt.host + ":" + std::to_string(mqtt.port) +
                             (mqtt.tlsCaFile.empty() ? "" : " over TLS") +
                             (mqtt.user.empty() ? "" : ", user " + Printable(mqtt.user)) + ", client id " +
                             Printable(mqtt.clientId) + ", topic prefix " + Printable(mqtt.topicPrefix));
}

// ---- the polling thread ---------------------------------------------------------------

struct PolledPoint {
    BridgePoint point;
    std::string valueTopic;
    std::string stateTopic;
    int64_t dueMs = 0;
    bool haveValue = false;
    uint16_t value = 0;
    int64_t valuePublishedMs = 0;
    std::string stateJson;  // the last state, published again after a reconnect
    BridgePointReport report;
};

class Bridge {
public:
    Bridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
           MqttLink* link, const BridgeReadObserver& observer)
        : entry_(entry), context_(context), setup_(setup), plan_(plan), link_(link), observer_(observer) {
        const int64_t now = MonotonicMilliseconds();
        for (const BridgePoint& point : plan.points) {
            PolledPoint polled;
            polled.point = point;
            polled.valueTopic = plan.mqtt.topicPrefix + "/" + point.name;
            polled.stateTopic = polled.valueTopic + "/state";
            polled.dueMs = now;
            polled.report.point = point.name;
            index_[point.name] = points_.size();
            points_.push_back(polled);
        }
        healthTopic_ = plan.mqtt.topicPrefix + "/line";
        windowStartMs_ = now;
        nextHealthMs_ = now + std::min(kFirstHealthMs, plan.healthMilliseconds);
    }

    // The port could not be opened at the start: as a device gone, but
    // opened (not reopened) when it comes.
    void StartWithoutPort(const std::string& why) {
        neverOpened_ = true;
        LineDown("the serial device of port " + setup_.name + " is missing (" + why + ")");
    }
    bool EverOpened() const { return !neverOpened_; }

    void Run(const volatile std::sig_atomic_t* stop) {
        notifier_.Ready(StateLine());
        while (!*stop) {
            // Every turn of the loop, which never sleeps longer than
            // kLongestSleepMs: the watchdog sees the loop itself.
            notifier_.Alive(MonotonicMilliseconds());
            notifier_.Status(StateLine());
            RepublishAfterConnect();
            PublishHealthWhenDue();
            if (lineDown_) {
                // Every set is answered at once: none can reach the line.
                while (CarryOutOneSet()) {
                }
                TryReopen();
                continue;
            }
            PolledPoint* next = NextDue();
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
            const int64_t wait = next == nullptr ? kLongestSleepMs : next->dueMs - now;
            link_->Wait(std::min(wait, kLongestSleepMs));
        }
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
        const size_t silent = std::count_if(stationSilent_.begin(), stationSilent_.end(),
                                            [](const std::pair<const int32_t, bool>& station) { return station.second; });
        std::string line = std::to_string(points_.size()) + (points_.size() == 1 ? " point" : " points") +
                           " polled; broker " + (link_->Connected() ? "connected" : "not connected") + "; port " +
                           setup_.name + (lineDown_ ? " missing" : " open");
        if (silent > 0) line += "; " + std::to_string(silent) + (silent == 1 ? " station" : " stations") + " silent";
        return line;
    }

    PolledPoint* NextDue() {
        PolledPoint* next = nullptr;
        for (PolledPoint& point : points_) {
            if (next == nullptr || point.dueMs < next->dueMs) next = &point;
        }
        return next;
    }

    void Read(PolledPoint* point) {
        uint16_t value = 0;
        const int64_t startMs = MonotonicMilliseconds();
        const int64_t late = startMs - point->dueMs;
        behindMs_ = std::max(behindMs_, late);
        if (point->point.periodMilliseconds > 0 && late > point->point.periodMilliseconds) overloaded_ = true;
        const int result = ReadPointValue(entry_, context_, point->point.address, &value);
        const int64_t endNs = NowNanoseconds();
        const int64_t now = MonotonicMilliseconds();
        CountExchange(result, now - startMs);
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
                link_->Publish(point->valueTopic, std::to_string(value), true);
            }
            PublishState(point, StateJson(kResultOk, "success"));
            StationHeard(point->point.address.station, true, point);
            return;
        }
        ++point->report.failedReads;
        point->report.lastError = PointFailureReason(false, result, point->point.address, setup_);
        PublishState(point, StateJson(result, point->report.lastError));
        if (result == kResultPortFailure) CheckLine(startMs);
        // A line that failed as a whole says nothing of the station.
        if (result == kResultPortFailure && !lineDown_) StationHeard(point->point.address.station, false, point);
    }

    // The log says when a station stops answering and when it answers
    // again, not at every read.
    void StationHeard(int32_t station, bool answered, const PolledPoint* point) {
        const auto known = stationSilent_.find(station);
        const bool wasSilent = known != stationSilent_.end() && known->second;
        stationSilent_[station] = !answered;
        if (answered && wasSilent) {
            Log(LogLevel::kNotice, "station " + std::to_string(station) + " answers again");
        } else if (!answered && !wasSilent) {
            Log(LogLevel::kWarning, "station " + std::to_string(station) + " does not answer (" +
                                        point->point.name + ": " + point->report.lastError + ")");
        }
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
        // The Reopen left no descriptor open: the system's reason is now
        // the device's own.
        std::string reason = DiagnosePortOpen(setup_.name);
        if (reason.empty()) reason = "Reopen failed";
        LineDown("the serial device of port " + setup_.name + " is gone (" + reason + ")");
    }

    // Every state says why the line is down; sets are answered at once
    // until the port opens again.
    void LineDown(const std::string& why) {
        lineDown_ = true;
        lineDownReason_ = why + "; the bridge tries to " + (neverOpened_ ? "open" : "reopen") + " it every " +
                          std::to_string(kReopenEveryMs / 1000) + " s";
        nextReopenMs_ = MonotonicMilliseconds() + kReopenEveryMs;
        Log(LogLevel::kError, lineDownReason_);
        const std::string state = StateJson(kResultPortFailure, lineDownReason_);
        for (PolledPoint& point : points_) PublishState(&point, state);
    }

    void TryReopen() {
        const int64_t now = MonotonicMilliseconds();
        if (now < nextReopenMs_) {
            link_->Wait(std::min(nextReopenMs_ - now, kLongestSleepMs));
            return;
        }
        const int result = neverOpened_ ? OpenPort(entry_, context_, setup_) : ReopenPort(entry_, context_);
        if (result != kResultOk) {
            nextReopenMs_ = now + kReopenEveryMs;
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
        std::map<int32_t, bool> answering;  // per station: some point's last read succeeded
        for (const PolledPoint& point : points_) {
            if (point.report.lastResult < 0) continue;
            bool& any = answering[point.point.address.station];
            any = any || point.report.lastResult != kResultPortFailure;
        }
        Json silent = Json::array();
        if (!lineDown_) {
            for (const auto& station : answering) {
                if (!station.second) silent.push_back(station.first);
            }
        }
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
        link_->Publish(healthTopic_, JsonText(health), true);
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
        link_->Publish(point->stateTopic, json, true);
    }

    // After every accepted connection: status is the link's own business;
    // the latest value and state of every point are ours.
    void RepublishAfterConnect() {
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
        SetRequest request;
        while (link_->TakeSetRequest(&request)) {
            if (CarryOut(request)) return true;
        }
        return false;
    }

    bool CarryOut(const SetRequest& request) {
        const SetJudgement judgement = JudgeSet(entry_, plan_, request.topic, request.payload, request.retained);
        if (!judgement.answer) return false;
        if (judgement.clear) link_->Clear(judgement.setTopic);
        const std::string named = SetTopicPoint(plan_.mqtt.topicPrefix, request.topic);
        const auto finish = [&](int result, const std::string& message) {
            LogSet(named, judgement.resultValue, request, result, message);
            link_->Publish(judgement.resultTopic, SetResultText(judgement.resultValue, result, message), false);
        };
        if (!judgement.write) {
            LogSet(named, judgement.resultValue, request, kResultRefused, judgement.message);
            link_->Publish(judgement.resultTopic, judgement.resultText, false);
            return false;
        }
        if (lineDown_) {
            finish(kResultPortFailure, lineDownReason_ + "; nothing was sent");
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
    const BridgePlan& plan_;
    MqttLink* link_;
    BridgeReadObserver observer_;
    std::vector<PolledPoint> points_;
    std::map<std::string, size_t> index_;
    uint64_t republishedFor_ = 0;
    bool lineDown_ = false;
    bool neverOpened_ = false;
    std::string lineDownReason_;
    int64_t nextReopenMs_ = 0;
    bool wroteSinceRead_ = false;
    std::map<int32_t, bool> stationSilent_;  // by station: silent at its last read
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
              std::vector<BridgePointReport>* report, const std::string& missing, bool* opened) {
    if (opened != nullptr) *opened = missing.empty();
    auto link = std::make_unique<MqttLink>();
    if (!link->Start(plan.mqtt, error)) return kExitUsage;
    LogStart(setup, plan);
    Bridge bridge(entry, context, setup, plan, link.get(), observer);
    if (!missing.empty()) bridge.StartWithoutPort(missing);
    bridge.Run(stop);
    if (report != nullptr) *report = bridge.Report();
    if (opened != nullptr) *opened = bridge.EverOpened();
    // A link whose network thread would not end stays for the process's end.
    if (!link->Stop()) link.release();
    return kExitOk;
}
