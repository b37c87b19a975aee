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
#include "tools/tz52/commands/dump_text.h"
#include "tools/tz52/host/point_types.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/progress.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/file_writer.h"
#include "tools/tz52/output/text.h"

namespace {

enum class DumpFormat { kUnset, kText, kCsv, kJson };

constexpr struct {
    DumpFormat format;
    const char* name;
} kFormatNames[] = {{DumpFormat::kText, "text"}, {DumpFormat::kCsv, "csv"}, {DumpFormat::kJson, "json"}};

const char* FormatName(DumpFormat format) {
    for (const auto& each : kFormatNames) {
        if (each.format == format) return each.name;
    }
    return "";
}

std::string DumpCsv(const DumpReading& reading) {
    std::string text = "point,type,index,value,hex,result\n";
    for (const DumpedPoint& point : reading.points) {
        if (!point.read) continue;
        const bool ok = point.result == kResultOk;
        text += point.point + "," + TypeName(point.address.pointType) + "," + std::to_string(point.address.pointIndex) +
                "," + (ok ? std::to_string(point.value) : "") + "," + (ok ? HexWord(point.value) : "") + "," +
                std::to_string(point.result) + "\n";
    }
    return text;
}

// The points read, added to the dump's document.
void AddPointsJson(const DumpReading& reading, Json* document) {
    Json list = Json::array();
    for (const DumpedPoint& point : reading.points) {
        if (!point.read) continue;
        Json entry = {{"point", point.point},
                      {"type", TypeName(point.address.pointType)},
                      {"index", point.address.pointIndex}};
        if (point.result == kResultOk) entry["value"] = point.value;
        entry["result"] = point.result;
        if (point.result != kResultOk) entry["error"] = point.failure;
        list.push_back(entry);
    }
    (*document)["points"] = list;
    (*document)["failed"] = reading.failed;
    (*document)["complete"] = reading.complete();
}

class DumpCommand : public Command {
public:
    const char* Usage() const override {
        return "--station N [--types ABCMOS] [--format text|csv|json] [-o FILE]";
    }
    std::string Description() const override {
        return std::string("Reads every point of the chosen types of one station, in address order, with\n"
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
               "that cannot be written is exit code ") +
               std::to_string(kExitFileError) + ".\n";
    }

    void Define(CLI::App* app) override {
        app->add_option("OPERAND", operands);
        AddWholeNumberOption(app, "--station", "N",
                             "the station to read, " + std::to_string(kMinStation) + " to " +
                                 std::to_string(kMaxStation),
                             kMinStation, kMaxStation,
                             "a station is " + std::to_string(kMinStation) + " to " + std::to_string(kMaxStation),
                             [this](uint64_t number) { station_ = static_cast<int>(number); });
        AddValueOption(app, "--types", "TYPES", "the point types, in any order (default ABCMOS: all)",
                       [this](const std::string& value) { types_ = ParseTypes(value); });
        AddValueOption(app, "--format", "FORMAT", "text (the default), csv or json",
                       [this](const std::string& value) { format_ = ParseFormat(value); });
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
        if (json && format_ == DumpFormat::kUnset && outputPath_.empty()) format_ = DumpFormat::kJson;
        if (format_ == DumpFormat::kUnset) format_ = DumpFormat::kText;
        if (json && format_ != DumpFormat::kJson && outputPath_.empty()) {
            Complain(host, std::string("--json puts a JSON document on stdout; with --format ") + FormatName(format_) +
                               " give -o FILE");
            return kExitUsage;
        }
        DumpReading reading;
        PortContext context{};
        int exitCode = kExitOk;
        if (!OpenForDump(host, PointTexts(), &reading, &context, &exitCode)) return exitCode;
        const StopOnSignal stopOnSignal;
        exitCode = ReadAll(host, &context, &reading);
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, reading.setup));
        exitCode = Worse(exitCode, ComplainOfGaps(host, reading));

        Json document = Json::object();
        document["station"] = station_;
        document["date"] = reading.date;
        AddPortJson(&document, reading.setup);
        document["types"] = types_;
        std::string text;
        if (format_ == DumpFormat::kJson) {
            AddPointsJson(reading, &document);
            text = JsonText(document) + "\n";
        } else {
            text = format_ == DumpFormat::kCsv ? DumpCsv(reading) : DumpText(station_, types_, reading);
        }
        if (outputPath_.empty()) return Worse(exitCode, PrintDump(host, document, text));
        return Worse(exitCode, KeepDump(host, document, text, reading));
    }

private:
    // "bam" is "ABM": each type once, in order; a letter that is no type is
    // refused.
    static std::string ParseTypes(const std::string& value) {
        std::string types;
        for (char c : value) {
            const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (std::string(kPointTypeLetters).find(type) == std::string::npos) {
                RefuseOptionValue("--types", value, Quoted(std::string(1, c)) + " is not a point type (A B C M O S)");
            }
            if (types.find(type) == std::string::npos) types += type;
        }
        if (types.empty()) RefuseOptionValue("--types", value, "give point types");
        std::sort(types.begin(), types.end());
        return types;
    }

    static DumpFormat ParseFormat(const std::string& value) {
        for (const auto& each : kFormatNames) {
            if (value == each.name) return each.format;
        }
        RefuseOptionValue("--format", value, "the format is text, csv or json");
    }

    // Every point of the chosen types, in address order.
    std::vector<std::string> PointTexts() const {
        std::vector<std::string> texts;
        for (char type : types_) {
            const PointIndexRange* range = FindPointIndexRange(type);
            for (int32_t index = range->first; index <= range->last; ++index) {
                texts.push_back(PointText(station_, type, index));
            }
        }
        return texts;
    }

    // The addresses checked and the port opened, the points set out.
    static bool OpenForDump(Host& host, const std::vector<std::string>& texts, DumpReading* reading,
                            PortContext* context, int* exitCode) {
        std::vector<CheckedAddress> addresses;
        if (!StartOnPort(host, texts, &addresses, &reading->setup, context, exitCode)) return false;
        reading->date = IsoUtcNow();
        for (const CheckedAddress& address : addresses) {
            DumpedPoint point;
            point.address = address;
            point.point = CanonicalAddress(address);
            reading->points.push_back(point);
        }
        return true;
    }

    // Reads the points in order until Ctrl-C; a failed point is a refusal of
    // the dump, whatever its result (2 stays for a port that fails as a
    // whole).
    static int ReadAll(Host& host, PortContext* context, DumpReading* reading) {
        Progress progress;
        const Stopwatch stopwatch;
        int exitCode = kExitOk;
        for (DumpedPoint& point : reading->points) {
            if (StopOnSignal::Requested()) break;
            if (progress.Enabled()) progress.Show(ProgressText(*reading, stopwatch));
            point.result = ReadPointValue(host.entry, context, point.address, &point.value);
            point.read = true;
            ++reading->done;
            if (point.result != kResultOk) {
                point.failure = PointFailureReason(false, point.result, point.address, reading->setup);
                exitCode = Worse(exitCode, kExitRefused);
                ++reading->failed;
            }
        }
        return exitCode;
    }

    static std::string ProgressText(const DumpReading& reading, const Stopwatch& stopwatch) {
        std::string text = "dump: " + reading.DoneText();
        if (reading.done > 0) {
            const double perPoint = stopwatch.Milliseconds() / static_cast<double>(reading.done);
            text += ", " + FormatSeconds(perPoint * static_cast<double>(reading.points.size() - reading.done)) + " left";
        }
        return text;
    }

    // Says which points failed and whether the dump stopped short.
    static int ComplainOfGaps(Host& host, const DumpReading& reading) {
        if (reading.failed > 0) {
            const DumpedPoint& first = *std::find_if(reading.points.begin(), reading.points.end(),
                                                     [](const DumpedPoint& p) { return p.read && p.result != kResultOk; });
            Complain(host,
                     std::to_string(reading.failed) + " of " + std::to_string(reading.points.size()) +
                         " points failed; the first, " + first.point + ": result " + std::to_string(first.result) +
                         ": " + first.failure,
                     first.result);
        }
        if (reading.complete()) return kExitOk;
        Complain(host, "stopped by Ctrl-C after " + reading.DoneText() + "; the rest are not in the dump");
        return kExitRefused;
    }

    // The dump on stdout: the text, or the document (with --json, printed
    // at the end with the failures added).
    int PrintDump(Host& host, const Json& document, const std::string& text) const {
        if (format_ == DumpFormat::kJson && host.invocation->json) {
            host.document = document;
        } else if (format_ == DumpFormat::kJson) {
            PrintJson(document);
        } else {
            std::fputs(text.c_str(), stdout);
        }
        if (std::fflush(stdout) == 0) return kExitOk;
        Complain(host, std::string("cannot write the dump to the standard output: ") + std::strerror(errno));
        return kExitFileError;
    }

    // The dump in its file. One that did not finish never replaces the file
    // it names: the last full backup stays, and the part goes beside it.
    int KeepDump(Host& host, const Json& document, const std::string& text, const DumpReading& reading) const {
        const std::string target = reading.complete() ? outputPath_ : outputPath_ + ".incomplete";
        std::string error;
        if (!WriteFileWhole(target, text, &error)) {
            Complain(host, "cannot write the dump to " + Printable(target) + ": " + error);
            return kExitFileError;
        }
        if (!reading.complete()) {
            Complain(host, Printable(outputPath_) + " was left as it was; the points read are in " +
                               Printable(target));
        }
        if (host.invocation->json) {
            host.document = document;
            host.document.erase("points");
            host.document["file"] = target;
            host.document["format"] = FormatName(format_);
            host.document["failed"] = reading.failed;
        } else if (CanRedrawInPlace(stderr)) {
            std::fprintf(stderr, "tz52 dump: %zu points of station %d in %s (%zu failed)\n", reading.done, station_,
                         Printable(target).c_str(), reading.failed);
        }
        return kExitOk;
    }

    int station_ = 0;
    std::string types_ = kPointTypeLetters;
    DumpFormat format_ = DumpFormat::kUnset;
    std::string outputPath_;
};

}  // namespace

std::unique_ptr<Command> MakeDumpCommand() { return std::make_unique<DumpCommand>(); }
