// The line's owner: the one thread that owns the port. It reads when due,
// writes between reads, takes in the points faces ask for and watches the
// line for a device that went away; everything it learns goes to the
// line's state and journal, where the faces take it.
#include "tools/tz52/bridge/core/line_owner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include <sys/stat.h>

#include "serial/port_names.h"
#include "tools/common/line/line_frames.h"
#include "tools/tz52/bridge/core/service_notify.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/point_types.h"
#include "tools/tz52/output/clock.h"

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// How often the owner tries Reopen while the serial device is gone.
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
// How often the owner looks for points on demand that no face asks for.
constexpr int64_t kIdleCheckEveryMs = 1000;
// The first health report comes this soon after the start (or sooner, with
// a shorter health period), so a new bridge shows how its line does.
constexpr int64_t kFirstHealthMs = 5000;
// What a read that succeeded says in the point's state.
constexpr char kReadSuccess[] = "success";

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

std::string AllowedText(const LinePlan& plan) {
    std::string allowed;
    for (const std::string& point : plan.allowed) allowed += (allowed.empty() ? "" : ",") + point;
    return plan.allowAll ? std::string("all") : allowed.empty() ? "none" : allowed;
}

struct PolledPoint {
    BridgePoint point;
    tz52line::PointRef ref;  // the point in the line's state
    bool onDemand = false;   // polled as a face asked; leaves when none asks
    std::string demandedBy;  // the face that asked, when onDemand
    int64_t dueMs = 0;
    int64_t lastReadMs = 0;  // of a point on demand: when its last read ended
    BridgePointReport report;
};

class LineOwner {
public:
    LineOwner(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const LinePlan& plan, Line* line,
              const BridgeReadObserver& observer, const LineReload& reload)
        : entry_(entry), context_(context), setup_(setup), plan_(plan), line_(line), observer_(observer),
          reload_(reload) {
        const int64_t now = MonotonicMilliseconds();
        for (const BridgePoint& point : plan.points) AddPoint(point, false, "", now);
        lastExchangeMs_ = setup.readTimeout * 10;
        windowStartMs_ = now;
        nextHealthMs_ = now + std::min(kFirstHealthMs, plan.healthMilliseconds);
        PublishLine();
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
            line_->loopTurnedMs = MonotonicMilliseconds();
            if (reload_.requested != nullptr && *reload_.requested != 0) {
                *reload_.requested = 0;
                Reload();
            }
            notifier_.Status(StateLine());
            line_->questions.AnswerAll(entry_);
            ReportHealthWhenDue();
            TakePointsOnDemand();
            if (lineDown_) {
                // Every write is answered at once: none can reach the line.
                while (CarryOutOneWrite()) {
                }
                TryReopen();
                continue;
            }
            PolledPoint* next = NextConfigured();
            const int64_t now = MonotonicMilliseconds();
            const bool readDue = next != nullptr && next->dueMs <= now;
            // Writes and reads share the line: at most one write between
            // two reads that are due, so a flood of writes cannot stretch
            // the polling period by more than one exchange per write.
            if (!(readDue && wroteSinceRead_) && CarryOutOneWrite()) {
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
            line_->queue.Wait(std::clamp<int64_t>(wait, 0, kLongestSleepMs));
        }
        EndWritesAtStop();
        line_->questions.AnswerAll(entry_);
        notifier_.Stopping();
    }

    std::vector<BridgePointReport> Report() const {
        std::vector<BridgePointReport> report;
        for (const PolledPoint& point : points_) report.push_back(point.report);
        return report;
    }

private:
    // SIGHUP: the plan read again. What a restart needs is named and left
    // as it runs; a plan that does not check leaves all as it runs.
    void Reload() {
        notifier_.Reloading();
        LinePlan fresh;
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
        changed(fresh.demand.points != plan_.demand.points, "modbus-demand-points");
        changed(fresh.demand.sharePercent != plan_.demand.sharePercent, "modbus-demand-share");
        changed(fresh.demand.idleMs != plan_.demand.idleMs, "modbus-idle");
        for (const std::string& key : restartKeys) {
            Log(LogLevel::kWarning, "reload: " + key + " changed; it takes effect when the bridge restarts");
        }
        ApplyPoints(fresh.points);
        plan_.allowAll = fresh.allowAll;
        plan_.allowed = fresh.allowed;
        line_->permission.Set(plan_.allowAll, plan_.allowed);
        if (fresh.healthMilliseconds != plan_.healthMilliseconds) {
            plan_.healthMilliseconds = fresh.healthMilliseconds;
            nextHealthMs_ = MonotonicMilliseconds() + plan_.healthMilliseconds;
        }
        Log(LogLevel::kNotice, "reloaded: " + std::to_string(fresh.points.size()) +
                                   " points configured, writes allowed: " + AllowedText(plan_));
        notifier_.Reloaded();
    }

    // The configured points become `wanted`: new ones are due at once,
    // others keep their values and take their new periods; points no
    // longer configured leave (a face that asks takes them in again).
    void ApplyPoints(const std::vector<BridgePoint>& wanted) {
        const int64_t now = MonotonicMilliseconds();
        std::set<std::string> names;
        std::string added;
        std::string left;
        for (const BridgePoint& point : wanted) {
            names.insert(point.name);
            const auto known = index_.find(point.name);
            if (known == index_.end()) {
                AddPoint(point, false, "", now);
                added += " " + point.name;
                continue;
            }
            PolledPoint& polled = points_[known->second];
            if (polled.onDemand) line_->state.Configured(polled.ref, point.periodMilliseconds);
            polled.onDemand = false;
            if (polled.point.periodMilliseconds != point.periodMilliseconds) {
                polled.point.periodMilliseconds = point.periodMilliseconds;
                polled.dueMs = std::min(polled.dueMs, now + point.periodMilliseconds);
                line_->state.Polled(polled.ref, point.periodMilliseconds);
            }
        }
        for (size_t i = points_.size(); i-- > 0;) {
            if (points_[i].onDemand || names.count(points_[i].point.name) != 0) continue;
            left += " " + points_[i].point.name;
            line_->state.NotPolled(points_[i].ref);
            points_.erase(points_.begin() + static_cast<long>(i));
        }
        Reindex();
        if (!added.empty()) Log(LogLevel::kInfo, "reload: points added:" + added);
        if (!left.empty()) Log(LogLevel::kInfo, "reload: no longer polled:" + left);
    }

    void Reindex() {
        index_.clear();
        for (size_t i = 0; i < points_.size(); ++i) index_[points_[i].point.name] = i;
    }

    // The line's state in one line, for systemd's STATUS=.
    std::string StateLine() const {
        const std::vector<int> silentStations = SilentStations();
        const size_t silent = silentStations.size();
        std::string line = std::to_string(points_.size()) + (points_.size() == 1 ? " point" : " points") + " polled";
        for (const LineFace* face : line_->faces) {
            const std::string words = face->Status();
            if (!words.empty()) line += "; " + words;
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
    // most their share of the line. A silent station's points wait for its
    // next try. Where the configured points leave no gap that long, the
    // point waiting longest goes all the same after kForcedDemandEveryMs,
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

    int64_t DemandShare() const {
        return std::clamp<int64_t>(static_cast<int64_t>(plan_.demand.sharePercent), 1, 100);
    }

    // After a read on demand of `milliseconds`: the line is left to the
    // rest for as long as the share asks.
    void SpendDemandShare(int64_t milliseconds, int64_t now) {
        const int64_t share = DemandShare();
        demandFreeAtMs_ = now + milliseconds * (100 - share) / share;
    }

    // Reads `point`; the driver's result, and *value when it is 0.
    int Read(PolledPoint* point, uint16_t* read = nullptr) {
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
            // faces serve its value for three of the periods it gets (at
            // first, a round of all points on demand at this pace).
            const int64_t period =
                point->lastReadMs != 0
                    ? now - point->lastReadMs
                    : (now - startMs) * static_cast<int64_t>(line_->state.OnDemand()) * 100 / DemandShare();
            line_->state.Polled(point->ref, std::max(point->point.periodMilliseconds, period));
            point->lastReadMs = now;
        }
        if (observer_) observer_(point->point.name, result, value, endNs);
        ++point->report.reads;
        point->report.lastResult = result;
        // The next read one period after this one was due. A point that fell
        // behind is due now, not as many times as it missed; the points
        // waiting longest go first, so every point gets its turn.
        point->dueMs += point->point.periodMilliseconds;
        if (point->dueMs < now) point->dueMs = now;
        if (read != nullptr) *read = value;

        if (result == kResultOk) {
            Record(*point, kResultOk, value, kReadSuccess, false, now - startMs);
            StationHeard(point->point.address.station, true, point);
            return result;
        }
        ++point->report.failedReads;
        point->report.lastError = PointFailureReason(false, result, point->point.address, setup_);
        // A line that failed as a whole says nothing of the station: should
        // the check find the port gone, every point is told so after this.
        Record(*point, result, 0, point->report.lastError, result == kResultPortFailure, now - startMs);
        if (result == kResultPortFailure) CheckLine(startMs);
        if (result == kResultPortFailure && !lineDown_) StationHeard(point->point.address.station, false, point);
        return result;
    }

    // A read's outcome, in the line's state and its journal.
    void Record(const PolledPoint& point, int result, uint16_t value, const std::string& message,
                bool stationSilent, int64_t durationMs = 0) {
        const ReadChange change =
            line_->state.RecordRead(point.ref, result, value, message, stationSilent, MonotonicMilliseconds());
        JournalEvent event;
        event.kind = JournalKind::kPointRead;
        event.point = point.ref;
        event.result = result;
        event.value = value;
        event.stationSilent = result != kResultOk && stationSilent;
        event.changed = change.point;
        event.durationMs = durationMs;
        event.wireUs = WireMicroseconds(tz52line::ReadExchangeLength(point.ref.type), setup_.line);
        event.message = message;
        line_->journal.Append(std::move(event));
    }

    void AddPoint(const BridgePoint& point, bool onDemand, const std::string& face, int64_t now) {
        PolledPoint polled;
        polled.point = point;
        polled.ref = PointRefOf(point.address);
        polled.onDemand = onDemand;
        polled.demandedBy = face;
        polled.dueMs = now;
        polled.report.point = point.name;
        index_[point.name] = points_.size();
        points_.push_back(polled);
        line_->state.Polled(polled.ref, point.periodMilliseconds);
    }

    // Points faces asked for that nobody polled join the poll set, due at
    // once; those no face has asked for in the idle time leave it.
    void TakePointsOnDemand() {
        const int64_t now = MonotonicMilliseconds();
        std::map<std::string, std::string> added;  // by face
        bool marked = false;
        for (const tz52line::PointRef& asked : line_->state.TakeAsked()) {
            const std::string name = tz52line::FormatPoint(asked);
            const CheckedAddress address = CheckAddress(entry_, name);
            if (address.result != kResultOk) {
                // Faces ask only for addresses the driver takes; should one
                // not be, its reads fail instead of waiting.
                line_->state.RecordRead(asked, address.result, 0, AddressRefusalReason(address), false, now);
                marked = true;
                continue;
            }
            if (index_.count(name) != 0) continue;
            std::string face;
            line_->state.Read([&](const LineSnapshot& state) {
                if (const PointState* found = state.Find(asked)) face = found->demandedBy;
            });
            BridgePoint point;
            point.address = address;
            point.name = name;
            point.periodMilliseconds = plan_.everyMilliseconds;
            AddPoint(point, true, face, now);
            added[face] += " " + name;
            // A silent station's points fail as silent until its next try.
            if (stationTryMs_.count(address.station) != 0) {
                line_->state.RecordRead(asked, kResultPortFailure, 0, "the station does not answer", true, now);
                marked = true;
            }
        }
        if (marked) line_->journal.Nudge();
        for (const auto& face : added) {
            Log(LogLevel::kInfo, face.first + ": read on demand, every " + PeriodText(plan_.everyMilliseconds) + ":" +
                                     face.second);
        }
        if (now < nextIdleCheckMs_) return;
        nextIdleCheckMs_ = now + kIdleCheckEveryMs;
        const std::vector<tz52line::PointRef> idle = line_->state.TakeIdle(plan_.demand.idleMs, now);
        if (idle.empty()) return;
        std::map<std::string, std::string> left;  // by face
        for (const tz52line::PointRef& ref : idle) {
            const std::string name = tz52line::FormatPoint(ref);
            const auto found = index_.find(name);
            if (found == index_.end() || !points_[found->second].onDemand) continue;
            left[points_[found->second].demandedBy] += " " + name;
            points_.erase(points_.begin() + static_cast<long>(found->second));
            Reindex();
        }
        ForgetStationsNotPolled();
        for (const auto& face : left) {
            Log(LogLevel::kInfo, face.first + ": no longer polled, not asked for in " +
                                     PeriodText(plan_.demand.idleMs) + ":" + face.second);
        }
    }

    // The log and the journal say when a station stops answering and when
    // it answers again, not at every read.
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
        if (answered == wasSilent) {
            JournalEvent event;
            event.kind = answered ? JournalKind::kStationAnswered : JournalKind::kStationSilent;
            event.point = point->ref;
            event.message = answered ? "" : point->report.lastError;
            line_->journal.Append(std::move(event));
        }
        if (answered && wasSilent) {
            Log(LogLevel::kNotice, "station " + std::to_string(station) + " answers again");
        } else if (!answered && !wasSilent) {
            Log(LogLevel::kWarning, "station " + std::to_string(station) + " does not answer (" +
                                        point->point.name + ": " + point->report.lastError + ")");
        }
    }

    // A station gone silent: its points on demand fail as silent from now
    // on, without a read each, until it answers again (the journal's event
    // of the station, which follows, wakes the faces).
    void MarkDemandSilent(int32_t station) {
        const int64_t now = MonotonicMilliseconds();
        for (const PolledPoint& point : points_) {
            if (point.onDemand && point.point.address.station == station &&
                point.report.lastResult != kResultPortFailure) {
                line_->state.RecordRead(point.ref, kResultPortFailure, 0, "the station does not answer", true, now);
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
    std::vector<int> SilentStations() const {
        std::vector<int> silent;
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

    // Every point's state says why the line is down; writes are answered at
    // once until the port opens again.
    void LineDown(const std::string& why) {
        lineDown_ = true;
        lineDownProblem_ = why;
        lineDownReason_ = why + "; the bridge tries to " + (neverOpened_ ? "open" : "reopen") + " it every " +
                          std::to_string(kReopenEveryMs / 1000) + " s";
        nextReopenMs_ = MonotonicMilliseconds() + kReopenEveryMs;
        Log(LogLevel::kError, lineDownReason_);
        JournalEvent event;
        event.kind = JournalKind::kPortLost;
        event.message = lineDownReason_;
        line_->journal.Append(std::move(event));
        PublishLine();
        for (const PolledPoint& point : points_) Record(point, kResultPortFailure, 0, lineDownReason_, false);
    }

    void TryReopen() {
        const int64_t now = MonotonicMilliseconds();
        if (now < nextReopenMs_) {
            line_->queue.Wait(std::min(nextReopenMs_ - now, kLongestSleepMs));
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
        JournalEvent event;
        event.kind = JournalKind::kPortBack;
        line_->journal.Append(std::move(event));
        PublishLine();
        for (PolledPoint& point : points_) point.dueMs = now;
    }

    void CountExchange(int result, int64_t milliseconds) {
        ++exchanges_;
        if (result != kResultOk) ++failedExchanges_;
        busyMs_ += milliseconds;
        line_->state.CountExchange(result, milliseconds);
    }

    // The line's figures: the totals since the start; the busy share, how
    // late reads came and whether the line is overloaded, over the time
    // since the last report.
    LineHealth Health(int64_t now) const {
        LineHealth health;
        health.portOpen = !lineDown_;
        health.exchanges = exchanges_;
        health.failedExchanges = failedExchanges_;
        health.windowMs = std::max<int64_t>(1, now - windowStartMs_);
        const double busy = std::min(1.0, static_cast<double>(busyMs_) / static_cast<double>(health.windowMs));
        health.busyShare = static_cast<double>(static_cast<int64_t>(busy * 1000 + 0.5)) / 1000;
        health.behindMs = behindMs_;
        health.overloaded = overloaded_;
        health.stationsSilent = SilentStations();
        return health;
    }

    // The line's state gets the port's condition now.
    void PublishLine() { line_->state.SetLine(Health(MonotonicMilliseconds()), lineDownReason_); }

    void ReportHealthWhenDue() {
        const int64_t now = MonotonicMilliseconds();
        if (plan_.healthMilliseconds <= 0 || now < nextHealthMs_) return;
        JournalEvent event;
        event.kind = JournalKind::kHealth;
        const auto health = std::make_shared<const LineHealth>(Health(now));
        line_->state.SetLine(*health, lineDownReason_);
        event.health = health;
        line_->journal.Append(std::move(event));
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

    // The write under way, or the next one waiting: the requests that need
    // no line are finished on the way, up to and including the first point
    // that was written (or tried). True when the line was used.
    bool CarryOutOneWrite() {
        for (;;) {
            if (!writing_) {
                writing_ = line_->queue.Take();
                if (!writing_) return false;
            }
            if (CarryOnWrite()) return true;
        }
    }

    // The next point of the write under way: written, then read back, one
    // point a turn so the polling goes on between them. True when the line
    // was used. At the end, or at the first failure, the request is
    // finished with every point's outcome.
    bool CarryOnWrite() {
        WriteRequest& request = *writing_;
        if (request.judge && !request.judged) {
            request.judged = true;
            WriteVerdict verdict = request.judge(entry_);
            if (!verdict.write) {
                request.refused = true;
                request.refusal = verdict.message;
                request.points = std::move(verdict.points);
                FinishWrite();
                return false;
            }
            request.points = std::move(verdict.points);
            request.outcomes.assign(request.points.size(), PointWriteOutcome{});
        }
        const size_t next = request.Written();
        if (next >= request.points.size()) {
            FinishWrite();
            return false;
        }
        PointWriteOutcome& outcome = request.outcomes[next];
        const auto unsent = [&](int result, const std::string& message) {
            outcome.result = result;
            outcome.message = message;
            FinishWrite();
            return false;
        };
        if (request.abandoned.load()) return unsent(kResultRefused, "the client has gone; the rest was dropped");
        if (stopping_) {
            return unsent(kResultRefused,
                          next == 0 ? "the bridge stopped before the write" : "the bridge stopped; the rest was not written");
        }
        if (lineDown_) return unsent(kResultPortFailure, lineDownReason_);
        const std::string name = tz52line::FormatPoint(request.points[next].point);
        const CheckedAddress address = CheckAddress(entry_, name);
        if (address.result != kResultOk) {
            outcome.invalidAddress = true;
            return unsent(kResultRefused, name + " is not a valid point address: " + AddressRefusalReason(address));
        }
        const auto polled = index_.find(name);
        outcome.polled = polled != index_.end();
        const int64_t startMs = MonotonicMilliseconds();
        if (request.readOnly) {
            const int read = ReadPointValue(entry_, context_, address, &outcome.readBackValue);
            CountExchange(read, MonotonicMilliseconds() - startMs);
            if (read == kResultPortFailure) CheckLine(startMs);
            outcome.result = outcome.readBackResult = read;
            outcome.sent = true;
            outcome.stationSilent = read == kResultPortFailure && !lineDown_;
            outcome.message = read == kResultOk ? "read" : PointFailureReason(false, read, address, setup_);
            if (request.Written() == request.points.size()) FinishWrite();
            return true;
        }
        const int result = WritePointValue(entry_, context_, address, request.points[next].value);
        CountExchange(result, MonotonicMilliseconds() - startMs);
        outcome.result = result;
        outcome.sent = true;
        if (result != kResultOk) {
            if (result == kResultPortFailure) CheckLine(startMs);
            outcome.stationSilent = result == kResultPortFailure && !lineDown_;
            // The request went out; only its acknowledgement may have been
            // lost, so the controller may hold the value all the same. A
            // polled point is read next, to show what the controller holds.
            outcome.message = PointFailureReason(true, result, address, setup_) + "; the value may have been written";
            const auto again = index_.find(name);
            if (again != index_.end()) points_[again->second].dueMs = MonotonicMilliseconds();
            FinishWrite();
            return true;
        }
        outcome.written = true;
        outcome.message = "written";
        if (request.readBackAtOnce) {
            ReadBack(address, &outcome);
        } else if (polled != index_.end()) {
            // The value read back comes with the next read, which is now.
            points_[polled->second].dueMs = MonotonicMilliseconds();
        }
        if (request.Written() == request.points.size()) FinishWrite();
        return true;
    }

    // A point just written, read again at once: through the poll when the
    // line polls it (in the state, for every face), else once for the
    // record.
    void ReadBack(const CheckedAddress& address, PointWriteOutcome* outcome) {
        const auto polled = index_.find(CanonicalAddress(address));
        if (polled != index_.end()) {
            PolledPoint* point = &points_[polled->second];
            point->dueMs = MonotonicMilliseconds();
            outcome->readBackResult = Read(point, &outcome->readBackValue);
            return;
        }
        const int64_t startMs = MonotonicMilliseconds();
        outcome->readBackResult = ReadPointValue(entry_, context_, address, &outcome->readBackValue);
        CountExchange(outcome->readBackResult, MonotonicMilliseconds() - startMs);
    }

    // The write under way is done: in the journal, counted, and handed back
    // to its face.
    void FinishWrite() {
        const std::shared_ptr<WriteRequest> request = std::move(writing_);
        writing_.reset();
        if (request->readOnly) {
            // Reads for a face's own use: not writes, so neither counted nor
            // in the journal.
            request->Complete();
            return;
        }
        const PointWriteOutcome* last = request->Last();
        JournalEvent event;
        event.kind = last != nullptr && last->sent ? JournalKind::kWriteDone : JournalKind::kWriteRefused;
        event.face = request->face;
        event.who = request->who;
        event.written = request->points;
        event.result = request->refused || last == nullptr ? kResultRefused : last->result;
        event.message = request->refused ? request->refusal : last != nullptr ? last->message : "";
        line_->state.CountWrite(request->face, event.result);
        line_->journal.Append(std::move(event));
        request->Complete();
    }

    // A stop cuts short the write under way and every write waiting: each
    // is finished with what was written, the rest refused.
    void EndWritesAtStop() {
        stopping_ = true;
        while (CarryOutOneWrite()) {
        }
    }

    QmxMainFunction entry_;
    PortContext* context_;
    const PortSetup& setup_;
    LinePlan plan_;  // replaced by a reload
    Line* line_;
    BridgeReadObserver observer_;
    LineReload reload_;
    std::shared_ptr<WriteRequest> writing_;  // the write under way
    int64_t nextIdleCheckMs_ = 0;
    std::vector<PolledPoint> points_;
    std::map<std::string, size_t> index_;
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
    int64_t nextHealthMs_ = 0;
    int64_t windowStartMs_ = 0;
    uint64_t exchanges_ = 0;
    uint64_t failedExchanges_ = 0;
    int64_t busyMs_ = 0;
    int64_t behindMs_ = 0;
    bool overloaded_ = false;
};

}  // namespace

tz52line::PointRef PointRefOf(const CheckedAddress& address) {
    tz52line::PointRef ref;
    ref.station = address.station;
    ref.type = PointTypeLetter(address.pointType);
    ref.index = address.pointIndex;
    return ref;
}

void LogLineStart(const PortSetup& setup, const LinePlan& plan, bool portOpen) {
    Log(LogLevel::kInfo, "port " + setup.name + (portOpen ? " is open, " : " (not open yet), ") +
                             DescribeLine(setup.line) + ", read timeout " + std::to_string(setup.readTimeout * 10) +
                             " ms");
    std::map<int64_t, std::string> byPeriod;
    for (const BridgePoint& point : plan.points) byPeriod[point.periodMilliseconds] += " " + point.name;
    for (const auto& period : byPeriod) {
        Log(LogLevel::kInfo, "points every " + PeriodText(period.first) + ":" + period.second);
    }
    Log(LogLevel::kInfo, "writes allowed: " + AllowedText(plan));
}

bool DriverQuestions::Ask(Question question) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= kMostWaiting) return false;
    waiting_.push_back(std::move(question));
    return true;
}

void DriverQuestions::AnswerAll(QmxMainFunction entry) {
    std::vector<Question> questions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        questions.swap(waiting_);
    }
    for (const Question& question : questions) question(entry);
}

void RunLine(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const LinePlan& plan, Line* line,
             const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, const LineReload& reload,
             const std::string& missing, std::vector<BridgePointReport>* report, bool* opened) {
    LineOwner owner(entry, context, setup, plan, line, observer, reload);
    if (!missing.empty()) owner.StartWithoutPort();
    owner.Run(stop);
    if (report != nullptr) *report = owner.Report();
    if (opened != nullptr) *opened = owner.EverOpened();
}
