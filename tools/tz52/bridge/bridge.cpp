// tz52 bridge: the options checked before anything starts, then the polling
// thread: reads when due, writes between reads, the line watched for a
// device that went away.
#include "tools/tz52/bridge/bridge.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "serial/port_names.h"
#include "tools/tz52/output/json.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/platform.h"

namespace {

// How often the bridge tries Reopen while the serial device is gone.
constexpr int64_t kReopenEveryMs = 3000;
// The longest the polling thread sleeps before it looks at the stop flag.
constexpr int64_t kLongestSleepMs = 100;

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

char TypeLetter(int32_t type) { return static_cast<char>(type); }

// ---- options ------------------------------------------------------------------

bool ReadPointsFile(QmxMainFunction entry, const std::string& path, int64_t defaultPeriod,
                    std::vector<BridgePoint>* points, std::map<std::string, std::string>* origins, std::string* error,
                    int* exitCode) {
    // Read whole before any of it is used: a read error or a device that
    // never ends is no shorter points file.
    std::vector<std::string> lines;
    if (!ReadTextLines(path, TextLimits{}, &lines, error)) {
        *error = "--points " + *error;
        *exitCode = kExitFileError;
        return false;
    }
    return ParseBridgePoints(entry, lines, path, defaultPeriod, points, origins, error);
}

bool ParseAllowWrite(QmxMainFunction entry, const std::string& list, BridgePlan* plan, std::string* error) {
    if (list.empty()) return true;
    if (list == "all") {
        plan->allowAll = true;
        return true;
    }
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        item = Trim(item);
        const CheckedAddress address = CheckAddress(entry, item);
        if (address.result != kResultOk) {
            *error = "--allow-write: " + Quoted(item) + " is not a valid point address: " + AddressRefusalReason(address);
            return false;
        }
        if (!IsWritableType(address.pointType)) {
            *error = "--allow-write: " + CanonicalAddress(address) + " is an input (type " +
                     TypeLetter(address.pointType) + "); only C, M, O and S points can be written";
            return false;
        }
        plan->allowed.insert(CanonicalAddress(address));
    }
    return true;
}

// The first line of a regular file. A directory or a device would give
// no password or one without end; the broker would then be tried without.
bool ReadPassword(const std::string& path, std::string* password, std::string* error) {
    const std::string option = "--mqtt-password-file " + Quoted(path);
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *error = option + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = option + ": not a regular file";
        return false;
    }
    TextLimits limits;
    limits.maxLines = 1;
    limits.maxLineBytes = 1024;
    limits.maxFileBytes = 64 * 1024;
    std::vector<std::string> lines;
    if (!ReadTextLines(path, limits, &lines, error)) {
        *error = "--mqtt-password-file " + *error;
        return false;
    }
    *password = lines.empty() ? "" : lines[0];
    if ((status.st_mode & S_IROTH) != 0) {
        std::fprintf(stderr, "tz52 bridge: warning: %s can be read by every user of this machine (chmod o-r)\n",
                     option.c_str());
    }
    return true;
}

// ---- messages ----------------------------------------------------------------------

// "2026-12-08T23:40:01.123Z".
std::string UtcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long milliseconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, milliseconds);
    return text;
}

std::string StateJson(int result, const std::string& message) {
    return JsonText(
        Json{{"ok", result == kResultOk}, {"result", result}, {"message", message}, {"time", UtcTimestamp()}});
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
    }

    void Run(const volatile std::sig_atomic_t* stop) {
        while (!*stop) {
            RepublishAfterConnect();
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
    }

    std::vector<BridgePointReport> Report() const {
        std::vector<BridgePointReport> report;
        for (const PolledPoint& point : points_) report.push_back(point.report);
        return report;
    }

private:
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
        const int result = ReadPointValue(entry_, context_, point->point.address, &value);
        const int64_t endNs = NowNanoseconds();
        const int64_t now = MonotonicMilliseconds();
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
            return;
        }
        ++point->report.failedReads;
        point->report.lastError = PointFailureReason(false, result, point->point.address, setup_);
        PublishState(point, StateJson(result, point->report.lastError));
        if (result == kResultPortFailure) CheckLine(startMs);
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
        lineDown_ = true;
        lineDownReason_ = "the serial device of port " + setup_.name + " is gone (" + reason +
                          "); the bridge tries to reopen it every " + std::to_string(kReopenEveryMs / 1000) + " s";
        nextReopenMs_ = MonotonicMilliseconds() + kReopenEveryMs;
        std::fprintf(stderr, "tz52 bridge: %s\n", lineDownReason_.c_str());
        const std::string state = StateJson(kResultPortFailure, lineDownReason_);
        for (PolledPoint& point : points_) PublishState(&point, state);
    }

    void TryReopen() {
        const int64_t now = MonotonicMilliseconds();
        if (now < nextReopenMs_) {
            link_->Wait(std::min(nextReopenMs_ - now, kLongestSleepMs));
            return;
        }
        if (ReopenPort(entry_, context_) != kResultOk) {
            nextReopenMs_ = now + kReopenEveryMs;
            return;
        }
        lineDown_ = false;
        std::fprintf(stderr, "tz52 bridge: port %s is open again; polling goes on\n", setup_.name.c_str());
        for (PolledPoint& point : points_) point.dueMs = now;
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
        const auto finish = [&](int result, const std::string& message) {
            link_->Publish(judgement.resultTopic, SetResultText(judgement.resultValue, result, message), false);
        };
        if (!judgement.write) {
            link_->Publish(judgement.resultTopic, judgement.resultText, false);
            return false;
        }
        if (lineDown_) {
            finish(kResultPortFailure, lineDownReason_ + "; nothing was sent");
            return false;
        }
        const int64_t startMs = MonotonicMilliseconds();
        const int result = WritePointValue(entry_, context_, judgement.address, judgement.value);
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
    std::string lineDownReason_;
    int64_t nextReopenMs_ = 0;
    bool wroteSinceRead_ = false;
};

}  // namespace

bool PrepareBridge(QmxMainFunction entry, const BridgeOptions& options, BridgePlan* plan, std::string* error,
                   int* exitCode) {
    int unused = 0;
    if (exitCode == nullptr) exitCode = &unused;
    *exitCode = kExitUsage;
    std::map<std::string, std::string> origins;
    if (!options.pointsFile.empty() && !ReadPointsFile(entry, options.pointsFile, options.everyMilliseconds,
                                                       &plan->points, &origins, error, exitCode)) {
        return false;
    }
    for (const std::string& text : options.addresses) {
        BridgePoint point;
        point.address = CheckAddress(entry, text);
        if (point.address.result != kResultOk) {
            *error = Quoted(text) + " is not a valid point address: " + AddressRefusalReason(point.address);
            return false;
        }
        point.name = CanonicalAddress(point.address);
        point.periodMilliseconds = options.everyMilliseconds;
        const auto known = origins.find(point.name);
        if (known != origins.end()) {
            *error = point.name + " is given twice (first at " + known->second + ")";
            return false;
        }
        origins[point.name] = "the command line";
        plan->points.push_back(point);
    }
    if (plan->points.empty()) {
        *error = "no points to poll: give --points FILE or point addresses";
        return false;
    }
    if (!ParseAllowWrite(entry, options.allowWrite, plan, error)) return false;

    plan->mqtt = options.mqtt;
    if (!CheckTopicPrefix(options.mqtt.topicPrefix, &plan->mqtt.topicPrefix, error)) return false;
    if (plan->mqtt.port < 1 || plan->mqtt.port > 65535) {
        *error = "--mqtt-port " + std::to_string(plan->mqtt.port) + ": a TCP port is 1 to 65535";
        return false;
    }
    if (!plan->mqtt.tlsCaFile.empty() && access(plan->mqtt.tlsCaFile.c_str(), R_OK) != 0) {
        *error = "--mqtt-tls-ca " + Quoted(plan->mqtt.tlsCaFile) + ": " + std::strerror(errno);
        return false;
    }
    if (!options.mqttPasswordFile.empty()) {
        if (plan->mqtt.user.empty()) {
            *error = "--mqtt-password-file needs --mqtt-user";
            return false;
        }
        if (!ReadPassword(options.mqttPasswordFile, &plan->mqtt.password, error)) return false;
    }
    if (plan->mqtt.clientId.empty()) {
        char host[64] = "";
        gethostname(host, sizeof host - 1);
        plan->mqtt.clientId = std::string("tz52-bridge-") + host + "-" + std::to_string(getpid());
    }
    plan->republishMilliseconds = options.republishMilliseconds;
    return true;
}

int RunBridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error,
              std::vector<BridgePointReport>* report) {
    auto link = std::make_unique<MqttLink>();
    if (!link->Start(plan.mqtt, error)) return kExitUsage;
    Bridge bridge(entry, context, setup, plan, link.get(), observer);
    bridge.Run(stop);
    if (report != nullptr) *report = bridge.Report();
    // A link whose network thread would not end stays for the process's end.
    if (!link->Stop()) link.release();
    return kExitOk;
}
