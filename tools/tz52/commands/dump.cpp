// tz52 dump: every point of the chosen types of one station, in address
// order; as text that tz52sim --set-file and tz52 restore read, as CSV or
// as JSON.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/point_ranges.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/cli/stop_signal.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/progress.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/file_writer.h"
#include "tools/tz52/output/text.h"

namespace {

const char kAllTypes[] = "ABCMOS";

struct DumpedPoint {
    CheckedAddress address;
    std::string point;
    int result = kResultPortFailure;
    uint16_t value = 0;
    std::string failure;
    bool read = false;  // false: not reached (Ctrl-C)
};

class DumpCommand : public Command {
public:
    const char* Usage() const override {
        return "--station N [--types ABCMOS] [--format text|csv|json] [-o FILE]";
    }
    std::string Description() const override {
        return "Reads every point of the chosen types of one station, in address order, with\n"
               "its value and the driver's result. A point that fails stays in the output as a\n"
               "failure, never with a value, and makes the exit code 1.\n"
               "\n"
               "Formats: text is one POINT=VALUE a line with # comments (date, port, station,\n"
               "line settings, each failed point): what tz52 restore and tz52sim --set-file\n"
               "read, so a dump starts a simulator that answers like the controller. csv has\n"
               "the columns point, type, index, value, hex, result. json is one document.\n"
               "Progress on stderr when it is a terminal; Ctrl-C stops with what was read.\n"
               "\n"
               "The text header says \"# complete: yes\", or \"no\" with where the dump\n"
               "stopped; tz52 restore refuses an incomplete dump. With -o FILE the dump goes\n"
               "to FILE.part and is renamed to FILE once it is on the disk; a dump stopped\n"
               "by Ctrl-C leaves FILE as it was and is kept as FILE.incomplete. A file\n"
               "that cannot be written is exit code 74.\n";
    }

    void Define(CLI::App* app) override {
        app->add_option("OPERAND", operands);
        app->add_option_function<std::string>(
               "--station",
               [this](const std::string& value) {
                   uint64_t number = 0;
                   if (!ParseUnsigned(value, kMaxStation, &number) || number < kMinStation) {
                       throw CLI::ValidationError("--station " + Quoted(value) + ": a station is 1 to 127");
                   }
                   station_ = static_cast<int>(number);
               },
               "the station to read, 1 to 127")
            ->type_name("N");
        app->add_option_function<std::string>(
               "--types",
               [this](const std::string& value) {
                   std::string types;
                   for (char c : value) {
                       const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                       if (std::string(kAllTypes).find(type) == std::string::npos) {
                           throw CLI::ValidationError("--types " + Quoted(value) + ": " + Quoted(std::string(1, c)) +
                                                      " is not a point type (A B C M O S)");
                       }
                       if (types.find(type) == std::string::npos) types += type;
                   }
                   if (types.empty()) throw CLI::ValidationError("--types " + Quoted(value) + ": give point types");
                   std::sort(types.begin(), types.end());
                   types_ = types;
               },
               "the point types, in any order (default ABCMOS: all)")
            ->type_name("TYPES");
        app->add_option_function<std::string>(
               "--format",
               [this](const std::string& value) {
                   if (value != "text" && value != "csv" && value != "json") {
                       throw CLI::ValidationError("--format " + Quoted(value) + ": the format is text, csv or json");
                   }
                   format_ = value;
               },
               "text (the default), csv or json")
            ->type_name("FORMAT");
        app->add_option("-o,--output", outputPath_, "write the dump to FILE (replaced only once the dump\nis done and on the disk)")
            ->type_name("FILE");
    }
    std::string CheckOperands() override {
        if (station_ == 0) return "dump needs --station N";
        return "";
    }

    int Run(Host& host) override {
        const bool json = host.invocation->json;
        // --json alone: the dump itself is the document on stdout.
        if (json && format_.empty() && outputPath_.empty()) format_ = "json";
        if (format_.empty()) format_ = "text";
        if (json && format_ != "json" && outputPath_.empty()) {
            Complain(host, "--json puts a JSON document on stdout; with --format " + format_ + " give -o FILE");
            return kExitUsage;
        }

        std::vector<std::string> texts;
        for (char type : types_) {
            const PointIndexRange* range = FindPointIndexRange(type);
            for (int32_t index = range->first; index <= range->last; ++index) {
                texts.push_back(PointText(station_, type, index));
            }
        }
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, texts, &addresses, &setup, &context, &exitCode)) return exitCode;
        const std::string date = IsoUtcNow();

        std::vector<DumpedPoint> points;
        for (const CheckedAddress& address : addresses) {
            DumpedPoint point;
            point.address = address;
            point.point = CanonicalAddress(address);
            points.push_back(point);
        }
        Progress progress;
        const StopOnSignal stopOnSignal;
        const Stopwatch stopwatch;
        size_t failed = 0;
        size_t done = 0;
        for (DumpedPoint& point : points) {
            if (StopOnSignal::Requested()) break;
            if (progress.Enabled()) {
                std::string text = "dump: " + std::to_string(done) + " of " + std::to_string(points.size()) + " points";
                if (done > 0) {
                    const double perPoint = stopwatch.Milliseconds() / static_cast<double>(done);
                    text += ", " + FormatSeconds(perPoint * static_cast<double>(points.size() - done)) + " left";
                }
                progress.Show(text);
            }
            point.result = ReadPointValue(host.entry, &context, point.address, &point.value);
            point.read = true;
            ++done;
            if (point.result != kResultOk) {
                point.failure = PointFailureReason(false, point.result, point.address, setup);
                // A failed point is a refusal of the dump, whatever its result;
                // 2 stays for a port that fails as a whole.
                exitCode = Worse(exitCode, kExitRefused);
                ++failed;
            }
        }
        progress.Clear();
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        if (failed > 0) {
            const DumpedPoint& first = *std::find_if(points.begin(), points.end(), [](const DumpedPoint& p) {
                return p.read && p.result != kResultOk;
            });
            Complain(host,
                     std::to_string(failed) + " of " + std::to_string(points.size()) + " points failed; the first, " +
                         first.point + ": result " + std::to_string(first.result) + ": " + first.failure,
                     first.result);
        }
        const bool complete = done == points.size();
        if (!complete) {
            Complain(host, "stopped by Ctrl-C after " + std::to_string(done) + " of " + std::to_string(points.size()) +
                               " points; the rest are not in the dump");
            exitCode = Worse(exitCode, kExitRefused);
        }

        Json document = Json::object();
        document["station"] = station_;
        document["date"] = date;
        AddPortJson(&document, setup);
        document["types"] = types_;
        std::string text;
        if (format_ == "json") {
            Json list = Json::array();
            for (const DumpedPoint& point : points) {
                if (!point.read) continue;
                Json entry = {{"point", point.point},
                              {"type", TypeName(point.address.pointType)},
                              {"index", point.address.pointIndex}};
                if (point.result == kResultOk) entry["value"] = point.value;
                entry["result"] = point.result;
                if (point.result != kResultOk) entry["error"] = point.failure;
                list.push_back(entry);
            }
            document["points"] = list;
            document["failed"] = failed;
            document["complete"] = complete;
            text = document.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        } else if (format_ == "csv") {
            text = "point,type,index,value,hex,result\n";
            for (const DumpedPoint& point : points) {
                if (!point.read) continue;
                const bool ok = point.result == kResultOk;
                text += point.point + "," + TypeName(point.address.pointType) + "," +
                        std::to_string(point.address.pointIndex) + "," + (ok ? std::to_string(point.value) : "") +
                        "," + (ok ? HexWord(point.value) : "") + "," + std::to_string(point.result) + "\n";
            }
        } else {
            // "# complete:" tells tz52 restore whether every point was
            // reached; failed points do not make a dump incomplete.
            text = "# tz52 dump of station " + std::to_string(station_) + "\n# date " + date + "\n# port " +
                   setup.name + ", " + DescribeLine(setup.line) + ", read limit " +
                   DescribeReadTimeout(setup.readTimeout) + "\n# complete: " +
                   (complete ? std::string("yes")
                             : "no (stopped after " + std::to_string(done) + " of " +
                                   std::to_string(points.size()) + " points)") +
                   "\n# types " + types_ + ", " + std::to_string(points.size()) + " points, " +
                   std::to_string(failed) + " failed\n";
            for (const DumpedPoint& point : points) {
                if (!point.read) continue;
                if (point.result == kResultOk) {
                    text += point.point + "=" + std::to_string(point.value) + "\n";
                } else {
                    text += "# " + point.point + " failed: result " + std::to_string(point.result) + " (" +
                            ResultMeaning(point.result) + "): " + point.failure + "\n";
                }
            }
        }

        if (outputPath_.empty()) {
            if (format_ == "json" && json) {
                host.document = document;  // printed at the end, failures added
            } else if (format_ == "json") {
                PrintJson(document);
            } else {
                std::fputs(text.c_str(), stdout);
            }
            if (std::fflush(stdout) != 0) {
                Complain(host, std::string("cannot write the dump to the standard output: ") + std::strerror(errno));
                return Worse(exitCode, kExitFileError);
            }
            return exitCode;
        }
        // A dump that did not finish never replaces the file it names: the
        // last full backup stays, and the part goes beside it.
        const std::string target = complete ? outputPath_ : outputPath_ + ".incomplete";
        std::string error;
        if (!WriteFileWhole(target, text, &error)) {
            Complain(host, "cannot write the dump to " + Printable(target) + ": " + error);
            return Worse(exitCode, kExitFileError);
        }
        if (!complete) {
            Complain(host, Printable(outputPath_) + " was left as it was; the points read are in " +
                               Printable(target));
        }
        if (json) {
            host.document = document;
            host.document.erase("points");
            host.document["file"] = target;
            host.document["format"] = format_;
            host.document["failed"] = failed;
        } else if (progress.Enabled()) {
            std::fprintf(stderr, "tz52 dump: %zu points of station %d in %s (%zu failed)\n", done, station_,
                         Printable(target).c_str(), failed);
        }
        return exitCode;
    }

private:
    int station_ = 0;
    std::string types_ = kAllTypes;
    std::string format_;
    std::string outputPath_;
};

}  // namespace

std::unique_ptr<Command> MakeDumpCommand() { return std::make_unique<DumpCommand>(); }
