// tz52 restore: the writable points of a dump (C, M, O, S) written back,
// only those that differ, after the whole file has been checked.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "tools/common/point_file.h"
#include "tools/common/quoted.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output_text.h"

namespace {

struct PlannedPoint {
    CheckedAddress address;
    std::string point;
    uint16_t value = 0;  // from the file
    int readResult = kResultPortFailure;
    uint16_t current = 0;
    bool differs = true;  // also when the current value could not be read
    std::string action;   // "unchanged", "written", "failed", "planned"
    int result = kResultOk;
};

bool IsReadOnly(int32_t type) { return type == kPointA || type == kPointB; }

class RestoreCommand : public Command {
public:
    const char* Name() const override { return "restore"; }
    const char* Summary() const override { return "write a dump's writable points back"; }
    const char* Usage() const override {
        return "--port NAME [--dry-run] [--verify] [--yes] [line options] [--json] [--lib PATH] FILE";
    }
    std::string Description() const override {
        return "Writes the writable points (C, M, O, S) of a dump file (tz52 dump's text:\n"
               "POINT=VALUE lines, # comments) back. The whole file is checked first: a\n"
               "malformed line or a value its point cannot hold is named with FILE:LINE and\n"
               "nothing is written. Points of types A and B are inputs and are skipped. Then\n"
               "the current values are read, and only the points that differ are written,\n"
               "after the plan (point, current, new) is shown and, on a terminal, confirmed.\n"
               "Without a terminal to ask on, --yes is needed. A failed write is reported and\n"
               "the rest go on; the summary counts written, unchanged and failed points.\n";
    }
    bool UsesPort() const override { return true; }

    void Define(CLI::App* app) override {
        app->add_option("FILE", operands);
        app->add_flag("--dry-run", dryRun_, "show the plan only; write nothing")->disable_flag_override();
        app->add_flag("--verify", verify_, "read every written point back; a different value is a\nfailure")
            ->disable_flag_override();
        app->add_flag("-y,--yes", yes_, "write without asking")->disable_flag_override();
    }
    std::string CheckOperands() override {
        if (operands.size() != 1) return "restore needs one FILE (a dump)";
        return "";
    }

    int Run(Host& host) override {
        const std::string& path = operands[0];
        size_t skipped = 0;
        if (!LoadFile(host, path, &skipped)) {
            Complain(host, "nothing was written; port " + host.invocation->port + " was not opened");
            return kExitRefused;
        }
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

        // What the controller holds now.
        Progress progress;
        StopOnInterrupt interrupt;
        size_t toWrite = 0;
        for (size_t i = 0; i < plan_.size() && !StopOnInterrupt::Requested(); ++i) {
            PlannedPoint& planned = plan_[i];
            progress.Show("reading the current values: " + std::to_string(i) + " of " + std::to_string(plan_.size()));
            planned.readResult = ReadPointValue(host.entry, &context, planned.address, &planned.current);
            if (planned.readResult != kResultOk) {
                Complain(host,
                         "read " + planned.point + ": result " + std::to_string(planned.readResult) + ": " +
                             PointFailureReason(false, planned.readResult, planned.address, setup) +
                             "; it is written without comparing",
                         planned.readResult);
            }
            planned.differs = planned.readResult != kResultOk || planned.current != planned.value;
            planned.action = planned.differs ? "planned" : "unchanged";
            toWrite += planned.differs ? 1 : 0;
        }
        progress.Clear();
        if (StopOnInterrupt::Requested()) {
            Complain(host, "stopped by Ctrl-C before anything was written");
            return Worse(kExitRefused, CloseOrExplain(host, &context, setup));
        }
        const bool json = host.invocation->json;
        if (!json) ShowPlan(toWrite, skipped);

        bool go = toWrite > 0 && !dryRun_;
        if (go && !yes_) go = Confirm(toWrite, setup);
        if (go) {
            exitCode = WriteAll(host, &context, setup);
        } else if (toWrite > 0 && !dryRun_) {
            Complain(host, "nothing was written");
            exitCode = kExitRefused;
        }
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));

        size_t written = 0, unchanged = 0, failed = 0;
        for (const PlannedPoint& planned : plan_) {
            written += planned.action == "written" ? 1 : 0;
            unchanged += planned.action == "unchanged" ? 1 : 0;
            failed += planned.action == "failed" ? 1 : 0;
        }
        if (json) {
            AddPortJson(&host.document, setup);
            host.document["file"] = path;
            host.document["dryRun"] = dryRun_;
            Json points = Json::array();
            for (const PlannedPoint& planned : plan_) {
                Json entry = {{"point", planned.point}};
                entry["current"] = planned.readResult == kResultOk ? Json(planned.current) : Json(nullptr);
                entry["new"] = planned.value;
                entry["action"] = planned.action;
                if (planned.result != kResultOk) entry["result"] = planned.result;
                points.push_back(entry);
            }
            host.document["points"] = points;
            host.document["written"] = written;
            host.document["unchanged"] = unchanged;
            host.document["failed"] = failed;
            host.document["skipped"] = skipped;
        } else {
            std::printf("%s%zu written, %zu unchanged, %zu failed; %zu skipped (types A and B)\n",
                        dryRun_ ? "dry run: " : "", written, unchanged, failed, skipped);
        }
        return exitCode;
    }

private:
    // Reads and checks the whole file; every fault is named with FILE:LINE.
    bool LoadFile(Host& host, const std::string& path, size_t* skipped) {
        std::ifstream file(path);
        if (!file) {
            Complain(host, "cannot read " + path + ": " + std::strerror(errno));
            return false;
        }
        std::map<std::string, int> firstLine;
        bool ok = true;
        std::string line;
        for (int number = 1; std::getline(file, line); ++number) {
            const std::string where = path + ":" + std::to_string(number) + ": ";
            std::string pointText, valueText;
            const PointLineKind kind = SplitPointLine(line, &pointText, &valueText);
            if (kind == PointLineKind::kBlank) continue;
            if (kind == PointLineKind::kMalformed) {
                Complain(host, where + Quoted(line) + " is not POINT=VALUE (as 003M025=1234)", kResultRefused);
                ok = false;
                continue;
            }
            const CheckedAddress address = CheckAddress(host.entry, pointText);
            if (address.result != kResultOk) {
                Complain(host, where + Quoted(pointText) + " is not a valid point address: " +
                                   AddressRefusalReason(address),
                         address.result);
                ok = false;
                continue;
            }
            const char type = static_cast<char>(address.pointType);
            uint16_t value = 0;
            if (!ParsePointValue(valueText, &value) || value > MaxPointValue(type)) {
                Complain(host,
                         where + Quoted(valueText) + " is not a value a point of type " + TypeName(type) +
                             " holds (0 to " + std::to_string(MaxPointValue(type)) + ")",
                         kResultRefused);
                ok = false;
                continue;
            }
            const std::string point = CanonicalAddress(address);
            const auto seen = firstLine.emplace(point, number);
            if (!seen.second) {
                Complain(host, where + point + " is set again (first on line " + std::to_string(seen.first->second) +
                                   ")",
                         kResultRefused);
                ok = false;
                continue;
            }
            if (IsReadOnly(address.pointType)) {
                ++*skipped;
                continue;
            }
            PlannedPoint planned;
            planned.address = address;
            planned.point = point;
            planned.value = value;
            plan_.push_back(planned);
        }
        return ok;
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
            if (StopOnInterrupt::Requested()) {
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
            planned.action = result == kResultOk ? "written" : "failed";
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
    std::vector<PlannedPoint> plan_;
};

}  // namespace

std::unique_ptr<Command> MakeRestoreCommand() { return std::make_unique<RestoreCommand>(); }
