// tz52 restore: the writable points of a dump (C, M, O, S) written back,
// only those that differ, after the whole file has been checked.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/common/cli/stop_signal.h"
#include "tools/common/text/text_input.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/progress.h"
#include "tools/tz52/output/text.h"
#include "tools/tz52/commands/restore_file.h"
#include "tools/tz52/host/point_types.h"

namespace {

// What became of a point of the file; every point ends in exactly one.
enum class RestoreAction { kPlanned, kUnchanged, kWritten, kFailed };

const char* ActionName(RestoreAction action) {
    switch (action) {
        case RestoreAction::kUnchanged: return "unchanged";
        case RestoreAction::kWritten: return "written";
        case RestoreAction::kFailed: return "failed";
        case RestoreAction::kPlanned: break;
    }
    return "planned";
}

// The points of each action.
struct RestoreCounts {
    size_t written = 0;
    size_t unchanged = 0;
    size_t failed = 0;
    size_t notWritten = 0;  // still planned: a dry run, a "no", Ctrl-C
};

struct PlannedPoint {
    CheckedAddress address;
    std::string point;
    uint16_t value = 0;  // from the file
    int readResult = kResultPortFailure;
    uint16_t current = 0;
    bool differs = true;  // also when the current value could not be read
    RestoreAction action = RestoreAction::kPlanned;
    int result = kResultOk;
};

class RestoreCommand : public Command {
public:
    const char* Usage() const override { return "[--dry-run] [--verify] [--yes] [--incomplete-ok]"; }
    std::string Description() const override {
        return std::string("Writes the writable points (C, M, O, S) of a dump file (tz52 dump's text:\n"
               "POINT=VALUE lines, # comments) back. The whole file is checked first: a\n"
               "malformed line or a value its point cannot hold is named with FILE:LINE and\n"
               "nothing is written. Points of types A and B are inputs and are skipped. Then\n"
               "the current values are read, and only the points that differ are written,\n"
               "after the plan (point, current, new) is shown and, on a terminal, confirmed.\n"
               "Without a terminal to ask on, --yes is needed. A failed write is reported and\n"
               "the rest go on; the summary counts written, unchanged, failed and skipped\n"
               "points (a dry run: those it would write), which add up to the file's points.\n"
               "\n"
               "A dump whose header says \"# complete: no\" is refused unless --incomplete-ok\n"
               "is given. A file that names another station than its header, or several\n"
               "stations, is warned of before the plan. A file that cannot be read (a\n"
               "directory, a read error, a file without end such as /dev/zero) is exit\n"
               "code ") +
               std::to_string(kExitFileError) + "; nothing is written.\n";
    }

    void Define(CLI::App* app) override {
        app->add_option("FILE", operands);
        app->add_flag("--dry-run", dryRun_, "show the plan only; write nothing")->disable_flag_override();
        app->add_flag("--verify", verify_, "read every written point back; a different value is a\nfailure")
            ->disable_flag_override();
        app->add_flag("-y,--yes", yes_, "write without asking")->disable_flag_override();
        app->add_flag("--incomplete-ok", incompleteOk_,
                      "restore a dump whose header says it is not complete\n(one stopped by Ctrl-C)")
            ->disable_flag_override();
    }
    std::string CheckOperands() override { return ""; }

    int Run(Host& host) override {
        size_t skipped = 0;
        const int refusal = LoadFile(host, operands[0], &skipped);
        if (refusal != kExitOk) {
            Complain(host, "nothing was written; port " + host.invocation->port + " was not opened");
            return refusal;
        }
        if (host.invocation->json && !warnings_.empty()) host.document["warnings"] = warnings_;
        if (skipped > 0) {
            std::fprintf(stderr, "tz52 restore: %zu points of types A and B are inputs and are skipped\n", skipped);
        }
        if (!dryRun_ && !yes_ && !IsTerminal(stdin)) {
            Complain(host, "nothing was written: there is no terminal to ask on; give --yes to write without "
                           "asking, or --dry-run to see the plan");
            return kExitRefused;
        }

        std::vector<std::string> texts;
        for (const PlannedPoint& planned : plan_) texts.push_back(planned.point);
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, texts, &addresses, &setup, &context, &exitCode)) return exitCode;

        const StopOnSignal stopOnSignal;
        const size_t toWrite = ReadCurrentValues(host, &context, setup);
        if (StopOnSignal::Requested()) {
            Complain(host, "stopped by Ctrl-C before anything was written");
            return Worse(kExitRefused, CloseOrExplain(host, &context, setup));
        }
        if (!host.invocation->json) ShowPlan(toWrite, skipped);

        bool go = toWrite > 0 && !dryRun_;
        if (go && !yes_) go = Confirm(toWrite, setup);
        if (go) {
            exitCode = WriteAll(host, &context, setup);
        } else if (toWrite > 0 && !dryRun_) {
            Complain(host, "nothing was written");
            exitCode = kExitRefused;
        }
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        Report(host, setup, skipped);
        return exitCode;
    }

private:
    // Reads and checks the whole file; every fault is named with FILE:LINE.
    // Returns the exit code of a refusal, or kExitOk.
    int LoadFile(Host& host, const std::string& path, size_t* skipped) {
        std::vector<std::string> lines;
        std::string error;
        if (!ReadTextLines(path, TextLimits{}, &lines, &error)) {
            Complain(host, "cannot read " + error);
            return kExitFileError;
        }
        const std::string name = Printable(path);
        const PointFileCheck check = CheckPointFile(host.entry, lines);
        for (const PointFileFault& fault : check.faults) {
            Complain(host, name + ":" + std::to_string(fault.line) + ": " + fault.message, fault.result);
        }
        if (!check.faults.empty()) return kExitRefused;
        if (check.incomplete && !incompleteOk_) {
            Complain(host, name + ": the dump is not complete (" + check.incompleteReason +
                               "); restoring it would leave the points it lacks as they are. Give "
                               "--incomplete-ok to restore its points anyway",
                     kResultRefused);
            return kExitRefused;
        }
        if (check.incomplete) Warn(name + ": an incomplete dump (" + check.incompleteReason + "), restored as asked");
        // Not a refusal: a dump of one station may be meant for another.
        std::string stations;
        for (int station : check.stations) stations += (stations.empty() ? "" : ", ") + std::to_string(station);
        if (check.stations.size() > 1) {
            Warn(name + " holds points of " + std::to_string(check.stations.size()) + " stations: " + stations);
        } else if (check.headerStation != 0 && !check.stations.empty() &&
                   *check.stations.begin() != check.headerStation) {
            Warn(name + " is a dump of station " + std::to_string(check.headerStation) +
                           " by its header, but its points are of station " + stations);
        }
        for (const PointFileEntry& entry : check.entries) {
            if (IsReadOnlyType(entry.address.pointType)) {
                ++*skipped;
                continue;
            }
            PlannedPoint planned;
            planned.address = entry.address;
            planned.point = entry.point;
            planned.value = entry.value;
            plan_.push_back(planned);
        }
        return kExitOk;
    }

    // What the controller holds now, against the file; returns how many
    // points differ (a point whose value could not be read counts too).
    size_t ReadCurrentValues(Host& host, PortContext* context, const PortSetup& setup) {
        Progress progress;
        size_t toWrite = 0;
        for (size_t i = 0; i < plan_.size() && !StopOnSignal::Requested(); ++i) {
            PlannedPoint& planned = plan_[i];
            progress.Show("reading the current values: " + std::to_string(i) + " of " + std::to_string(plan_.size()));
            planned.readResult = ReadPointValue(host.entry, context, planned.address, &planned.current);
            if (planned.readResult != kResultOk) {
                Complain(host,
                         "read " + planned.point + ": result " + std::to_string(planned.readResult) + ": " +
                             PointFailureReason(false, planned.readResult, planned.address, setup) +
                             "; it is written without comparing",
                         planned.readResult);
            }
            planned.differs = planned.readResult != kResultOk || planned.current != planned.value;
            planned.action = planned.differs ? RestoreAction::kPlanned : RestoreAction::kUnchanged;
            toWrite += planned.differs ? 1 : 0;
        }
        return toWrite;
    }

    RestoreCounts Count() const {
        RestoreCounts counts;
        for (const PlannedPoint& planned : plan_) {
            switch (planned.action) {
                case RestoreAction::kWritten: ++counts.written; break;
                case RestoreAction::kUnchanged: ++counts.unchanged; break;
                case RestoreAction::kFailed: ++counts.failed; break;
                case RestoreAction::kPlanned: ++counts.notWritten; break;
            }
        }
        return counts;
    }

    // The summary: the document's points and counts, or one line.
    void Report(Host& host, const PortSetup& setup, size_t skipped) const {
        const RestoreCounts counts = Count();
        if (host.invocation->json) {
            AddPortJson(&host.document, setup);
            host.document["file"] = operands[0];
            host.document["dryRun"] = dryRun_;
            Json points = Json::array();
            for (const PlannedPoint& planned : plan_) {
                Json entry = {{"point", planned.point}};
                entry["current"] = planned.readResult == kResultOk ? Json(planned.current) : Json(nullptr);
                entry["new"] = planned.value;
                entry["action"] = ActionName(planned.action);
                if (planned.result != kResultOk) entry["result"] = planned.result;
                points.push_back(entry);
            }
            host.document["points"] = points;
            host.document["written"] = counts.written;
            host.document["unchanged"] = counts.unchanged;
            host.document["failed"] = counts.failed;
            host.document["skipped"] = skipped;
            host.document["planned"] = counts.notWritten;
        } else if (dryRun_) {
            std::printf("dry run: would write %zu, %zu unchanged; %zu skipped (types A and B)\n", counts.notWritten,
                        counts.unchanged, skipped);
        } else {
            const std::string notDone =
                counts.notWritten > 0 ? ", " + std::to_string(counts.notWritten) + " not written" : "";
            std::printf("%zu written, %zu unchanged, %zu failed%s; %zu skipped (types A and B)\n", counts.written,
                        counts.unchanged, counts.failed, notDone.c_str(), skipped);
        }
    }

    void Warn(const std::string& message) {
        std::fprintf(stderr, "tz52 restore: warning: %s\n", message.c_str());
        warnings_.push_back(message);
    }

    void ShowPlan(size_t toWrite, size_t skipped) const {
        if (toWrite == 0) {
            std::printf("nothing to write: all %zu writable points hold their values (%zu skipped)\n", plan_.size(),
                        skipped);
            return;
        }
        std::printf("POINT     CURRENT      NEW\n");
        for (const PlannedPoint& planned : plan_) {
            if (!planned.differs) continue;
            const std::string current = planned.readResult == kResultOk ? std::to_string(planned.current) : "?";
            std::printf("%s %9s %8u\n", planned.point.c_str(), current.c_str(), static_cast<unsigned>(planned.value));
        }
        std::fflush(stdout);
    }

    static bool Confirm(size_t toWrite, const PortSetup& setup) {
        std::fprintf(stderr, "Write %zu point%s on port %s? [y/N] ", toWrite, toWrite == 1 ? "" : "s",
                     setup.name.c_str());
        std::fflush(stderr);
        char answer[16] = {0};
        if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
        return answer[0] == 'y' || answer[0] == 'Y';
    }

    int WriteAll(Host& host, PortContext* context, const PortSetup& setup) {
        int exitCode = kExitOk;
        Progress progress;
        size_t done = 0;
        for (PlannedPoint& planned : plan_) {
            if (!planned.differs) continue;
            if (StopOnSignal::Requested()) {
                Complain(host, "stopped by Ctrl-C; the points not written are listed as planned");
                return Worse(exitCode, kExitRefused);
            }
            progress.Show("writing: " + std::to_string(done++) + " points written");
            int result = WritePointValue(host.entry, context, planned.address, planned.value);
            std::string failure;
            if (result != kResultOk) {
                failure = PointFailureReason(true, result, planned.address, setup);
            } else if (verify_) {
                uint16_t readBack = 0;
                result = ReadPointValue(host.entry, context, planned.address, &readBack);
                if (result != kResultOk) {
                    failure = "read-back: " + PointFailureReason(false, result, planned.address, setup);
                } else if (!ReadBackMatches(planned.address, planned.value, readBack)) {
                    result = kResultRefused;
                    failure = "wrong answer: wrote " + std::to_string(planned.value) + ", read back " +
                              std::to_string(readBack);
                }
            }
            planned.result = result;
            planned.action = result == kResultOk ? RestoreAction::kWritten : RestoreAction::kFailed;
            if (result != kResultOk) {
                Complain(host, "write " + planned.point + ": result " + std::to_string(result) + ": " + failure,
                         result);
            }
            exitCode = Worse(exitCode, ExitCodeOf(result));
        }
        progress.Clear();
        return exitCode;
    }

    bool dryRun_ = false;
    bool verify_ = false;
    bool yes_ = false;
    bool incompleteOk_ = false;
    std::vector<PlannedPoint> plan_;
    std::vector<std::string> warnings_;
};

}  // namespace

std::unique_ptr<Command> MakeRestoreCommand() { return std::make_unique<RestoreCommand>(); }
