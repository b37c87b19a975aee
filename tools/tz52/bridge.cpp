// tz52 bridge: the options checked before anything starts, then the polling
// thread: reads when due, writes between reads, the line watched for a
// device that went away.
#include "tools/tz52/bridge.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "serial/port_names.h"
#include "tools/common/quoted.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host_platform.h"

namespace {

// Members in the order the topics document them.
using Json = nlohmann::ordered_json;

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

bool IsWritableType(int32_t type) { return type == kPointC || type == kPointM || type == kPointO || type == kPointS; }

char TypeLetter(int32_t type) { return static_cast<char>(type); }

// ---- options ------------------------------------------------------------------

bool ReadPointsFile(QmxMainFunction entry, const std::string& path, int64_t defaultPeriod,
                    std::vector<BridgePoint>* points, std::map<std::string, std::string>* origins, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "--points " + Quoted(path) + ": cannot read the file";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.resize(comment);
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        if (fields.empty()) continue;
        BridgePoint point;
        point.periodMilliseconds = defaultPeriod;
        if (fields.size() == 3 && fields[1] == "every") {
            if (!ParseDuration(fields[2], &point.periodMilliseconds)) {
                *error = where + ": " + Quoted(fields[2]) + " is not a period such as 500ms or 2s (at most one day)";
                return false;
            }
        } else if (fields.size() != 1) {
            *error = where + ": expected ADDRESS or ADDRESS every DURATION, found " + Quoted(Trim(line));
            return false;
        }
        point.address = CheckAddress(entry, fields[0]);
        if (point.address.result != kResultOk) {
            *error = where + ": " + Quoted(fields[0]) + " is not a valid point address: " +
                     AddressRefusalReason(point.address);
            return false;
        }
        point.name = CanonicalAddress(point.address);
        const auto known = origins->find(point.name);
        if (known != origins->end()) {
            *error = where + ": " + point.name + " is listed twice (first at " + known->second + ")";
            return false;
        }
        (*origins)[point.name] = where;
        points->push_back(point);
    }
    return true;
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

bool ReadPassword(const std::string& path, std::string* password, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "--mqtt-password-file " + Quoted(path) + ": cannot read the file";
        return false;
    }
    std::getline(file, *password);
    if (!password->empty() && password->back() == '\r') password->pop_back();
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
    return Json{{"ok", result == kResultOk}, {"result", result}, {"message", message}, {"time", UtcTimestamp()}}
        .dump();
}

// A set payload: a whole number, decimal or 0x hexadecimal, with blanks
// around it allowed. A number too large for any point still counts as a
// number, so that the refusal can say "out of range".
enum class Payload { kNumber, kNegative, kTooLarge, kNotANumber };

Payload ParsePayload(const std::string& raw, uint64_t* value) {
    std::string text = Trim(raw);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.erase(0, 1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.erase(0, 2);
    }
    if (text.empty()) return Payload::kNotANumber;
    uint64_t number = 0;
    bool tooLarge = false;
    for (char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0) return Payload::kNotANumber;
        if (number > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
            tooLarge = true;
        } else {
            number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        }
    }
    if (negative && (number != 0 || tooLarge)) return Payload::kNegative;
    if (tooLarge) return Payload::kTooLarge;
    *value = number;
    return Payload::kNumber;
}

// The most a point of `type` holds: an O point is one bit.
uint64_t LargestValue(int32_t type) { return type == kPointO ? 1 : 65535; }

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
            index_[point.name] = points_.size();
            points_.push_back(polled);
        }
    }

    void Run(const volatile std::sig_atomic_t* stop) {
        while (!*stop) {
            CarryOutSets();
            RepublishAfterConnect();
            if (lineDown_) {
                TryReopen();
                continue;
            }
            PolledPoint* next = NextDue();
            const int64_t now = MonotonicMilliseconds();
            if (next == nullptr || next->dueMs > now) {
                const int64_t wait = next == nullptr ? kLongestSleepMs : next->dueMs - now;
                link_->Wait(std::min(wait, kLongestSleepMs));
                continue;
            }
            Read(next);
        }
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
        PublishState(point, StateJson(result, PointFailureReason(false, result, point->point.address, setup_)));
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

    void CarryOutSets() {
        for (const SetRequest& request : link_->TakeSetRequests()) CarryOut(request);
    }

    void CarryOut(const SetRequest& request) {
        uint64_t value = 0;
        const Payload payload = ParsePayload(request.payload, &value);
        // The value as a number whenever it is one, else the payload as sent.
        Json answer = {{"value", payload == Payload::kNumber ? Json(value) : Json(request.payload)}};
        const auto finish = [&](int result, const std::string& message) {
            answer["result"] = result;
            answer["message"] = message;
            link_->Publish(plan_.mqtt.topicPrefix + "/" + request.point + "/result", answer.dump(), false);
        };
        const CheckedAddress address = CheckAddress(entry_, request.point);
        if (address.result != kResultOk) {
            return finish(kResultRefused, Quoted(request.point) + " is not a valid point address: " +
                                              AddressRefusalReason(address) + "; nothing was sent");
        }
        const std::string name = CanonicalAddress(address);
        const char type = TypeLetter(address.pointType);
        if (!IsWritableType(address.pointType)) {
            return finish(kResultRefused, std::string("points of type ") + type +
                                              " are inputs; only C, M, O and S points can be written; nothing was sent");
        }
        if (!plan_.allowAll && plan_.allowed.count(name) == 0) {
            return finish(kResultRefused, "writes to " + name +
                                              " are not allowed (the bridge's --allow-write does not name it); "
                                              "nothing was sent");
        }
        if (payload == Payload::kNotANumber) {
            return finish(kResultRefused, "the value is not a number (decimal, or hexadecimal with 0x); nothing was sent");
        }
        const uint64_t largest = LargestValue(address.pointType);
        if (payload != Payload::kNumber || value > largest) {
            return finish(kResultRefused, "the value is outside 0 to " + std::to_string(largest) + " for type " + type +
                                              "; nothing was sent");
        }
        if (lineDown_) return finish(kResultPortFailure, lineDownReason_ + "; nothing was sent");
        const int64_t startMs = MonotonicMilliseconds();
        const int result = WritePointValue(entry_, context_, address, static_cast<uint16_t>(value));
        if (result != kResultOk) {
            finish(result, PointFailureReason(true, result, address, setup_));
            if (result == kResultPortFailure) CheckLine(startMs);
            return;
        }
        finish(kResultOk, "written");
        // The value read back goes out with the next read, which is now.
        const auto polled = index_.find(name);
        if (polled != index_.end()) points_[polled->second].dueMs = MonotonicMilliseconds();
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
};

}  // namespace

bool PrepareBridge(QmxMainFunction entry, const BridgeOptions& options, BridgePlan* plan, std::string* error) {
    std::map<std::string, std::string> origins;
    if (!options.pointsFile.empty() &&
        !ReadPointsFile(entry, options.pointsFile, options.everyMilliseconds, &plan->points, &origins, error)) {
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
    std::string& prefix = plan->mqtt.topicPrefix;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos) {
        *error = "--topic-prefix " + Quoted(options.mqtt.topicPrefix) + ": a topic prefix is not empty and has no + or #";
        return false;
    }
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
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error) {
    auto link = std::make_unique<MqttLink>();
    if (!link->Start(plan.mqtt, error)) return kExitUsage;
    Bridge bridge(entry, context, setup, plan, link.get(), observer);
    bridge.Run(stop);
    // A link whose network thread would not end stays for the process's end.
    if (!link->Stop()) link.release();
    return kExitOk;
}
