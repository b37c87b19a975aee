#include "tools/tz52/bridge/http/http_backup.h"

#include <algorithm>

#include "driver/point_ranges.h"
#include "tools/common/cli/numbers.h"
#include "tools/tz52/bridge/core/write_audit.h"
#include "tools/tz52/commands/dump_text.h"
#include "tools/tz52/commands/restore_file.h"
#include "tools/tz52/host/point_types.h"
#include "tools/tz52/output/clock.h"

namespace {

// The probe of a scan, as tz52 scan's: input B001, which every controller
// has and whose read changes nothing.
constexpr char kProbeType = 'B';
constexpr int kProbeIndex = 1;
// Points read a turn: one probe (a silent station costs the driver's
// attempts), a few points of a dump.
constexpr size_t kProbesATurn = 1;
constexpr size_t kDumpPointsATurn = 8;

HttpResponse Refused(int status, const std::string& message) { return ErrorResponse(status, message); }

// "1\r\n2" is {"1", "2"}; a byte-order mark at the start is dropped.
std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// A station from a JSON body's field; false when absent or out of range.
bool StationOf(const Json& body, const char* name, int* station) {
    if (!body.is_object() || !body.contains(name) || !body[name].is_number_integer()) return false;
    const int64_t value = body[name].get<int64_t>();
    if (value < kMinStation || value > kMaxStation) return false;
    *station = static_cast<int>(value);
    return true;
}

}  // namespace

// One job: the points it reads (a scan's probes, a dump's points, a
// restore's current values) and, for a restore, the points it writes.
struct HttpBackup::Job {
    uint64_t id = 0;
    std::string kind;   // "scan", "dump", "restore"
    std::string who;
    std::string state = "running";  // "running", "planned", "writing", "done", "failed", "cancelled"
    std::string message;
    std::string started;
    int station = 0;  // of a dump
    std::vector<tz52line::PointRef> toRead;
    std::vector<int> readResults;  // one per point read so far
    std::vector<uint16_t> readValues;
    std::vector<std::string> readMessages;
    size_t silentInARow = 0;
    bool cancelled = false;
    std::shared_ptr<WriteRequest> underWay;
    // A restore: the file's value of each point read, whether it may be
    // written, and what writing it did.
    struct Planned {
        uint16_t value = 0;
        bool allowed = false;
        bool differs = false;
        std::string outcome;  // "", "written", "failed", "not allowed"
        int result = -1;
        int readBackResult = -1;
        uint16_t readBack = 0;
        std::string message;
    };
    std::vector<Planned> plan;
    std::vector<std::string> warnings;
    size_t skipped = 0;  // inputs in the file
    size_t nextWrite = 0;
    size_t toWrite = 0;
    size_t written = 0;
    size_t failed = 0;
};

void HttpBackup::AddRoutes(HttpRouter* router, Admit admit) {
    const auto guarded = [admit](std::function<HttpResponse(const HttpRequest&, const std::string&)> handler) {
        return [admit, handler](const HttpRequest& request) {
            HttpResponse refusal;
            std::string who;
            if (!admit(request, &refusal, &who)) return refusal;
            return handler(request, who);
        };
    };
    router->Add("POST", "/api/v1/backup/scan",
                guarded([this](const HttpRequest& r, const std::string& who) { return StartScan(r, who); }));
    router->Add("POST", "/api/v1/backup/dump",
                guarded([this](const HttpRequest& r, const std::string& who) { return StartDump(r, who); }));
    router->Add("POST", "/api/v1/backup/restore",
                guarded([this](const HttpRequest& r, const std::string& who) { return StartRestore(r, who); }));
    router->Add("GET", "/api/v1/backup/jobs",
                guarded([this](const HttpRequest& r, const std::string&) { return JobList(r); }));
    router->Add("GET", "/api/v1/backup/jobs/{id}",
                guarded([this](const HttpRequest& r, const std::string&) { return JobDocument(r); }));
    router->Add("GET", "/api/v1/backup/jobs/{id}/dump",
                guarded([this](const HttpRequest& r, const std::string&) { return DumpFile(r); }));
    router->Add("POST", "/api/v1/backup/jobs/{id}/confirm",
                guarded([this](const HttpRequest& r, const std::string& who) { return Confirm(r, who); }));
    router->Add("POST", "/api/v1/backup/jobs/{id}/cancel",
                guarded([this](const HttpRequest& r, const std::string&) { return Cancel(r); }));
}

// ---- jobs ------------------------------------------------------------------------------

std::shared_ptr<HttpBackup::Job> HttpBackup::NewJob(const std::string& kind, const std::string& who,
                                                    HttpResponse* refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& job : jobs_) {
        if (job->state == "running" || job->state == "writing") {
            *refusal = Refused(409, "job " + std::to_string(job->id) + " (" + job->kind +
                                        ") is running; one backup job runs at a time");
            return nullptr;
        }
    }
    // A restore's plan waiting for its confirmation is kept while others
    // come and go, up to the bound.
    while (jobs_.size() >= kJobsKept) jobs_.pop_front();
    auto job = std::make_shared<Job>();
    job->id = ++lastJob_;
    job->kind = kind;
    job->who = who;
    job->started = IsoUtcNow();
    jobs_.push_back(job);
    return job;
}

std::shared_ptr<HttpBackup::Job> HttpBackup::FindJob(const HttpRequest& request) {
    uint64_t id = 0;
    if (!ParseWholeNumber(request.pathParameters.at("id"), UINT64_MAX, &id)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& job : jobs_) {
        if (job->id == id) return job;
    }
    return nullptr;
}

void HttpBackup::Finish(Job* job, const std::string& state, const std::string& message) {
    job->state = state;
    job->message = message;
    job->underWay.reset();
}

void HttpBackup::ReadNext(const std::shared_ptr<Job>& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (job->cancelled) return Finish(job.get(), "cancelled", "cancelled after " +
                                                     std::to_string(job->readResults.size()) + " of " +
                                                     std::to_string(job->toRead.size()) + " points");
    const size_t from = job->readResults.size();
    if (from >= job->toRead.size()) {
        if (job->kind != "restore") return Finish(job.get(), "done", "");
        job->toWrite = 0;
        for (const Job::Planned& planned : job->plan) job->toWrite += planned.differs && planned.allowed ? 1 : 0;
        return Finish(job.get(), "planned",
                      job->toWrite == 0 ? "nothing to write: every point allowed holds its value"
                                        : std::to_string(job->toWrite) +
                                              (job->toWrite == 1 ? " point differs" : " points differ") +
                                              "; confirm to write them");
    }
    const size_t count = std::min(job->toRead.size() - from, job->kind == "scan" ? kProbesATurn : kDumpPointsATurn);
    std::vector<JournalWrittenPoint> points;
    for (size_t i = from; i < from + count; ++i) points.push_back({job->toRead[i], 0});
    auto request = std::make_shared<WriteRequest>(std::move(points), "http", job->who, [this, job](const WriteRequest& done) {
        {
            std::lock_guard<std::mutex> held(mutex_);
            for (size_t i = 0; i < done.Written(); ++i) {
                const PointWriteOutcome& outcome = done.outcomes[i];
                job->readResults.push_back(outcome.readBackResult);
                job->readValues.push_back(outcome.readBackValue);
                job->readMessages.push_back(outcome.message);
                job->silentInARow = outcome.stationSilent ? job->silentInARow + 1 : 0;
            }
            const size_t read = job->readResults.size();
            if (done.Written() < done.points.size() && !job->cancelled) {
                // Stopped short by the line (gone, the bridge stopping).
                const PointWriteOutcome* last = done.Last();
                return Finish(job.get(), "failed", last != nullptr ? last->message : "the line stopped the reads");
            }
            if (job->kind == "dump" && job->silentInARow >= kSilentReadsToStop) {
                return Finish(job.get(), "failed",
                              "station " + std::to_string(job->station) + " does not answer; stopped after " +
                                  std::to_string(read) + " of " + std::to_string(job->toRead.size()) + " points");
            }
            if (job->kind == "restore") {
                for (size_t i = read - done.Written(); i < read; ++i) {
                    Job::Planned& planned = job->plan[i];
                    planned.differs = job->readResults[i] != kResultOk || job->readValues[i] != planned.value;
                }
            }
        }
        ReadNext(job);
    });
    request->readOnly = true;
    job->underWay = request;
    if (!line_->queue.Push(request)) {
        Finish(job.get(), "failed",
               "more than " + std::to_string(WriteQueue::kMostWaiting) + " writes are waiting for the line");
    }
}

void HttpBackup::WriteNext(const std::shared_ptr<Job>& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t index = 0;
    for (;;) {
        while (job->nextWrite < job->plan.size() &&
               !(job->plan[job->nextWrite].differs && job->plan[job->nextWrite].allowed)) {
            ++job->nextWrite;
        }
        if (job->cancelled || job->nextWrite >= job->plan.size()) {
            const std::string counts = std::to_string(job->written) + " written, " + std::to_string(job->failed) +
                                       " failed, of " + std::to_string(job->toWrite);
            return Finish(job.get(), job->cancelled ? "cancelled" : job->failed > 0 ? "failed" : "done", counts);
        }
        index = job->nextWrite++;
        // The writes allowed may have changed (a reload) since the plan.
        if (line_->permission.Allows(tz52line::FormatPoint(job->toRead[index]))) break;
        job->plan[index].outcome = "not allowed";
        job->plan[index].message = "the bridge's --allow-write no longer names it; nothing was sent";
        ++job->failed;
    }
    const tz52line::PointRef point = job->toRead[index];
    Job::Planned& planned = job->plan[index];
    auto request = std::make_shared<WriteRequest>(
        std::vector<JournalWrittenPoint>{{point, planned.value}}, "http", job->who,
        [this, job, index](const WriteRequest& done) {
            {
                std::lock_guard<std::mutex> held(mutex_);
                Job::Planned& entry = job->plan[index];
                const PointWriteOutcome* outcome = done.Last();
                entry.result = outcome != nullptr ? outcome->result : kResultRefused;
                entry.message = outcome != nullptr ? outcome->message : done.refusal;
                const bool written = outcome != nullptr && outcome->written;
                if (written) {
                    entry.readBackResult = outcome->readBackResult;
                    entry.readBack = outcome->readBackValue;
                }
                entry.outcome = written ? "written" : "failed";
                ++(written ? job->written : job->failed);
                LogWrite(tz52line::FormatPoint(job->toRead[index]), Json(entry.value), "http", job->who,
                         entry.result, entry.message);
            }
            WriteNext(job);
        });
    request->readBackAtOnce = true;
    job->underWay = request;
    if (!line_->queue.Push(request)) {
        planned.outcome = "failed";
        planned.message = "the queue of writes is full; nothing was sent";
        ++job->failed;
        Finish(job.get(), "failed", planned.message);
    }
}

// ---- the endpoints ---------------------------------------------------------------------

HttpResponse HttpBackup::StartScan(const HttpRequest& request, const std::string& who) {
    int first = kMinStation;
    int last = kMaxStation;
    if (!request.body.empty()) {
        const Json body = Json::parse(request.body, nullptr, false);
        if (!body.is_object() || (body.contains("first") && !StationOf(body, "first", &first)) ||
            (body.contains("last") && !StationOf(body, "last", &last)) || last < first) {
            return Refused(400, "the body is {\"first\": N, \"last\": M}, stations " + std::to_string(kMinStation) +
                                    " to " + std::to_string(kMaxStation) + ", first not after last");
        }
    }
    HttpResponse refusal;
    const std::shared_ptr<Job> job = NewJob("scan", who, &refusal);
    if (!job) return refusal;
    for (int station = first; station <= last; ++station) job->toRead.push_back({station, kProbeType, kProbeIndex});
    ReadNext(job);
    std::lock_guard<std::mutex> lock(mutex_);
    return JsonResponse(202, JobJson(*job));
}

HttpResponse HttpBackup::StartDump(const HttpRequest& request, const std::string& who) {
    int station = 0;
    if (!StationOf(Json::parse(request.body, nullptr, false), "station", &station)) {
        return Refused(400, "the body is {\"station\": N}, a station " + std::to_string(kMinStation) + " to " +
                                std::to_string(kMaxStation));
    }
    HttpResponse refusal;
    const std::shared_ptr<Job> job = NewJob("dump", who, &refusal);
    if (!job) return refusal;
    job->station = station;
    for (const char* type = kPointTypeLetters; *type != '\0'; ++type) {
        const PointIndexRange* range = FindPointIndexRange(*type);
        for (int32_t index = range->first; index <= range->last; ++index) job->toRead.push_back({station, *type, index});
    }
    ReadNext(job);
    std::lock_guard<std::mutex> lock(mutex_);
    return JsonResponse(202, JobJson(*job));
}

HttpResponse HttpBackup::StartRestore(const HttpRequest& request, const std::string& who) {
    const std::vector<std::string> lines = TextLines(request.body);
    // The driver judges the file's addresses, on the owner's thread; the
    // plan's reads go through the queue from there.
    return LaterResponse([this, lines, who](std::function<void(HttpResponse)> answer) {
        const bool asked = line_->questions.Ask([this, lines, who, answer](QmxMainFunction entry) {
            const PointFileCheck check = CheckPointFile(entry, lines);
            if (!check.faults.empty()) {
                Json faults = Json::array();
                for (const PointFileFault& fault : check.faults) {
                    faults.push_back(Json{{"line", fault.line}, {"message", fault.message}});
                }
                answer(JsonResponse(400, Json{{"error", "the file has " + std::to_string(check.faults.size()) +
                                                            " faulty lines; nothing is planned"},
                                              {"faults", faults}}));
                return;
            }
            if (check.incomplete) {
                answer(Refused(400, "the dump is not complete (" + check.incompleteReason +
                                        "); restoring it would leave the points it lacks as they are"));
                return;
            }
            HttpResponse refusal;
            const std::shared_ptr<Job> job = NewJob("restore", who, &refusal);
            if (!job) return answer(refusal);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (check.stations.size() > 1) {
                    job->warnings.push_back("the file holds points of " + std::to_string(check.stations.size()) +
                                            " stations");
                } else if (check.headerStation != 0 && !check.stations.empty() &&
                           *check.stations.begin() != check.headerStation) {
                    job->warnings.push_back("the file is a dump of station " + std::to_string(check.headerStation) +
                                            " by its header, but its points are of station " +
                                            std::to_string(*check.stations.begin()));
                }
                for (const PointFileEntry& assignment : check.entries) {
                    if (IsReadOnlyType(assignment.address.pointType)) {
                        ++job->skipped;
                        continue;
                    }
                    job->toRead.push_back(PointRefOf(assignment.address));
                    Job::Planned planned;
                    planned.value = assignment.value;
                    planned.allowed = line_->permission.Allows(assignment.point);
                    job->plan.push_back(planned);
                }
                if (!check.entries.empty() && job->plan.empty()) job->warnings.push_back("the file holds inputs only");
            }
            ReadNext(job);
            std::lock_guard<std::mutex> lock(mutex_);
            answer(JsonResponse(202, JobJson(*job)));
        });
        if (!asked) answer(Refused(503, "too many questions wait for the line; try again"));
        else line_->queue.Wake();
    });
}

HttpResponse HttpBackup::Confirm(const HttpRequest& request, const std::string& who) {
    const std::shared_ptr<Job> job = FindJob(request);
    if (!job) return Refused(404, "no such backup job");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (job->kind != "restore" || job->state != "planned") {
            return Refused(409, "job " + std::to_string(job->id) + " is not a restore waiting for its confirmation");
        }
        for (const auto& other : jobs_) {
            if (other->state == "running" || other->state == "writing") {
                return Refused(409, "job " + std::to_string(other->id) + " is running; one backup job runs at a time");
            }
        }
        job->state = "writing";
        job->who = who;
        job->message = "";
    }
    WriteNext(job);
    std::lock_guard<std::mutex> lock(mutex_);
    return JsonResponse(202, JobJson(*job));
}

HttpResponse HttpBackup::Cancel(const HttpRequest& request) {
    const std::shared_ptr<Job> job = FindJob(request);
    if (!job) return Refused(404, "no such backup job");
    std::lock_guard<std::mutex> lock(mutex_);
    if (job->state == "planned") {
        Finish(job.get(), "cancelled", "nothing was written");
    } else if (job->state == "running" || job->state == "writing") {
        // What is under way ends at the owner's next turn; its completion
        // ends the job.
        job->cancelled = true;
        if (job->underWay) job->underWay->abandoned = true;
    }
    return JsonResponse(200, JobJson(*job));
}

HttpResponse HttpBackup::JobDocument(const HttpRequest& request) {
    const std::shared_ptr<Job> job = FindJob(request);
    if (!job) return Refused(404, "no such backup job");
    std::lock_guard<std::mutex> lock(mutex_);
    return JsonResponse(200, JobJson(*job));
}

HttpResponse HttpBackup::JobList(const HttpRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    Json jobs = Json::array();
    for (const auto& job : jobs_) {
        Json summary = JobJson(*job);
        summary.erase("stations");
        summary.erase("plan");
        jobs.push_back(summary);
    }
    return JsonResponse(200, Json{{"jobs", jobs}});
}

HttpResponse HttpBackup::DumpFile(const HttpRequest& request) {
    const std::shared_ptr<Job> job = FindJob(request);
    if (!job) return Refused(404, "no such backup job");
    std::lock_guard<std::mutex> lock(mutex_);
    if (job->kind != "dump" || job->state == "running") {
        return Refused(409, "job " + std::to_string(job->id) + " is not a dump that has ended");
    }
    DumpReading reading;
    reading.date = job->started;
    reading.setup = setup_;
    for (size_t i = 0; i < job->toRead.size(); ++i) {
        DumpedPoint point;
        point.point = tz52line::FormatPoint(job->toRead[i]);
        if (i < job->readResults.size()) {
            point.read = true;
            point.result = job->readResults[i];
            point.value = job->readValues[i];
            point.failure = job->readMessages[i];
            ++reading.done;
            reading.failed += point.result != kResultOk ? 1 : 0;
        }
        reading.points.push_back(point);
    }
    HttpResponse response = TextResponse(200, "text/plain; charset=utf-8", DumpText(job->station, kPointTypeLetters, reading));
    char name[64];
    std::snprintf(name, sizeof name, "attachment; filename=\"station-%03d.dump\"", job->station);
    response.headers.emplace_back("Content-Disposition", name);
    return response;
}

Json HttpBackup::JobJson(const Job& job) {
    Json document = {{"id", job.id},           {"kind", job.kind},
                     {"state", job.state},     {"message", job.message},
                     {"started", job.started}, {"by", job.who},
                     {"done", job.readResults.size()}, {"total", job.toRead.size()}};
    if (job.kind == "dump") document["station"] = job.station;
    if (job.kind == "scan") {
        Json stations = Json::array();
        for (size_t i = 0; i < job.readResults.size(); ++i) {
            stations.push_back(Json{{"station", job.toRead[i].station},
                                    {"answering", job.readResults[i] == kResultOk},
                                    {"result", job.readResults[i]},
                                    {"message", job.readMessages[i]}});
        }
        document["stations"] = stations;
    }
    if (job.kind == "restore") {
        Json plan = Json::array();
        for (size_t i = 0; i < job.plan.size(); ++i) {
            const Job::Planned& planned = job.plan[i];
            Json entry = {{"point", tz52line::FormatPoint(job.toRead[i])}, {"new", planned.value},
                          {"allowed", planned.allowed}};
            const bool read = i < job.readResults.size();
            entry["current"] = read && job.readResults[i] == kResultOk ? Json(job.readValues[i]) : Json(nullptr);
            entry["differs"] = read ? Json(planned.differs) : Json(nullptr);
            if (!planned.outcome.empty()) {
                entry["outcome"] = planned.outcome;
                entry["result"] = planned.result;
                entry["message"] = planned.message;
                if (planned.readBackResult >= 0) {
                    entry["readBack"] = planned.readBackResult == kResultOk ? Json(planned.readBack) : Json(nullptr);
                }
            }
            plan.push_back(entry);
        }
        document["plan"] = plan;
        document["toWrite"] = job.toWrite;
        document["written"] = job.written;
        document["failed"] = job.failed;
        document["skipped"] = job.skipped;
        document["warnings"] = job.warnings;
    }
    return document;
}
