// The HTTP face's backups, for an operator: a scan of the stations that
// answer (one read of input B001 each, as tz52 scan probes), a station's
// dump (every point, in the text tz52 dump writes and tz52 restore reads)
// and a restore from such a text (its plan first: the writable points whose
// value differs; written only once confirmed). All of it goes through the
// line's one queue, a few points a turn, so the polling goes on: the reads
// as requests that only read, each write of a restore a write of face
// "http" with its read-back, in the journal like any other.
//
// One job runs at a time; the last few are kept for their results.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_BACKUP_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_BACKUP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/http/http_request.h"

class HttpBackup {
public:
    // Jobs kept, the running one among them.
    static constexpr size_t kJobsKept = 4;
    // A dump stops once this many reads in a row found the station silent.
    static constexpr size_t kSilentReadsToStop = 3;

    // Whether `request` comes from an operator allowed to change things
    // here; false with the refusal. *who names the caller for the journal.
    using Admit = std::function<bool(const HttpRequest& request, HttpResponse* refusal, std::string* who)>;

    HttpBackup(::Line* line, const PortSetup& setup) : line_(line), setup_(setup) {}
    HttpBackup(const HttpBackup&) = delete;
    HttpBackup& operator=(const HttpBackup&) = delete;

    // The routes under /api/v1/backup/, each behind `admit`.
    void AddRoutes(HttpRouter* router, Admit admit);

private:
    struct Job;

    HttpResponse StartScan(const HttpRequest& request, const std::string& who);
    HttpResponse StartDump(const HttpRequest& request, const std::string& who);
    HttpResponse StartRestore(const HttpRequest& request, const std::string& who);
    HttpResponse Confirm(const HttpRequest& request, const std::string& who);
    HttpResponse Cancel(const HttpRequest& request);
    HttpResponse JobDocument(const HttpRequest& request);
    HttpResponse JobList(const HttpRequest& request);
    HttpResponse DumpFile(const HttpRequest& request);

    // A new job, kept, when none runs; else null with the refusal.
    std::shared_ptr<Job> NewJob(const std::string& kind, const std::string& who, HttpResponse* refusal);
    std::shared_ptr<Job> FindJob(const HttpRequest& request);
    // The job's next points read, or its next write, through the queue;
    // the job ends when nothing is left or the queue is full.
    void ReadNext(const std::shared_ptr<Job>& job);
    void WriteNext(const std::shared_ptr<Job>& job);
    void Finish(Job* job, const std::string& state, const std::string& message);
    static Json JobJson(const Job& job);

    ::Line* line_;
    const PortSetup setup_;
    std::mutex mutex_;  // the jobs and everything in them
    std::deque<std::shared_ptr<Job>> jobs_;
    uint64_t lastJob_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_BACKUP_H
