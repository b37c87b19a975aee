// tz52 scan: which stations answer on the line, each probed with one read.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "driver/point_ranges.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/cli/stop_signal.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/progress.h"
#include "tools/tz52/output/clock.h"

namespace {

// The probe: input B001. Every controller has inputs B001 to B016, reading
// one changes nothing, and its exchange is the shortest the driver makes.
constexpr char kProbeType = 'B';
constexpr int kProbeIndex = 1;

// "1-127", "3,17,99", "1-10,20": stations in the order given, each once.
bool ParseStationList(const std::string& text, std::vector<int>* stations, std::string* error) {
    std::vector<bool> seen(kMaxStation + 1, false);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t dash = part.find('-');
        uint64_t first = 0;
        uint64_t last = 0;
        const bool ok = dash == std::string::npos
                            ? ParseUnsigned(part, kMaxStation, &first) && (last = first, true)
                            : ParseUnsigned(part.substr(0, dash), kMaxStation, &first) &&
                                  ParseUnsigned(part.substr(dash + 1), kMaxStation, &last);
        if (!ok || first < kMinStation || last < first) {
            const std::string span = std::to_string(kMinStation) + " to " + std::to_string(kMaxStation);
            *error = "--stations " + Quoted(text) + ": " + Quoted(part) + " is not a station (" + span +
                     ") or a range such as " + std::to_string(kMinStation) + "-" + std::to_string(kMaxStation);
            return false;
        }
        for (size_t station = static_cast<size_t>(first); station <= static_cast<size_t>(last); ++station) {
            if (!seen[station]) stations->push_back(static_cast<int>(station));
            seen[station] = true;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

struct Probe {
    int station = 0;
    int result = kResultPortFailure;
    double replyMs = 0;
};

std::string AnsweredList(const std::vector<Probe>& probes) {
    std::string list;
    for (const Probe& probe : probes) {
        if (probe.result == kResultOk) list += (list.empty() ? "" : ", ") + std::to_string(probe.station);
    }
    return list;
}

class ScanCommand : public Command {
public:
    const char* Usage() const override { return "[--stations LIST] [--all]"; }
    std::string Description() const override {
        return "Probes each station with one read of input B001 and shows which answered,\n"
               "with the driver's result and the reply time. B001 is the probe because every\n"
               "controller has inputs B001 to B016, reading one changes nothing, and its\n"
               "exchange is the shortest the driver makes (14 bytes). A silent station costs\n" +
               std::to_string(kDriverAttempts) +
               " attempts x the read limit. A station whose replies stayed damaged did not\n"
               "answer. The table lists the stations that answered (--all: every station\n"
               "probed); the JSON has every station probed. Ctrl-C stops with what was\n"
               "found so far.\n"
               "\n"
               "Exit 0 when a station answered, 1 when none did, 2 when the port failed.\n";
    }

    void Define(CLI::App* app) override {
        app->add_option("OPERAND", operands);
        app->add_option_function<std::string>(
               "--stations",
               [this](const std::string& value) {
                   std::string error;
                   stations_.clear();
                   if (!ParseStationList(value, &stations_, &error)) throw CLI::ValidationError(error);
               },
               "the stations to probe: 1-127 (the default), or a list\nsuch as 3,17,99 or 1-10,20")
            ->type_name("LIST");
        app->add_flag("--all", all_, "list every station probed, not only those that\nanswered")
            ->disable_flag_override();
    }
    std::string CheckOperands() override {
        if (stations_.empty()) {
            for (int station = kMinStation; station <= kMaxStation; ++station) stations_.push_back(station);
        }
        return "";
    }

    int Run(Host& host) override {
        std::vector<std::string> texts;
        for (int station : stations_) texts.push_back(PointText(station, kProbeType, kProbeIndex));
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, texts, &addresses, &setup, &context, &exitCode)) return exitCode;

        const StopOnSignal stopOnSignal;
        const std::vector<Probe> probes = ProbeAll(host, &context, setup, addresses);
        const bool complete = probes.size() == addresses.size();
        exitCode = CountAnswered(probes) > 0 ? kExitOk : kExitRefused;
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        if (!complete) {
            Complain(host, "stopped by Ctrl-C after " + std::to_string(probes.size()) + " of " +
                               std::to_string(addresses.size()) + " stations");
        }
        if (host.invocation->json) {
            ReportJson(host, setup, probes, complete);
        } else {
            ReportTable(probes);
        }
        return exitCode;
    }

private:
    // One probe a station, in order, until Ctrl-C.
    std::vector<Probe> ProbeAll(Host& host, PortContext* context, const PortSetup& setup,
                                const std::vector<CheckedAddress>& addresses) const {
        const double silentMs = kDriverAttempts * setup.readTimeout * 10.0;
        Progress progress;
        if (progress.Enabled()) {
            std::fprintf(stderr, "tz52 scan: %zu stations on port %s, %s: up to %.1f s (a silent station costs %d "
                                 "attempts x %s)\n",
                         stations_.size(), setup.name.c_str(), DescribeLine(setup.line).c_str(),
                         silentMs * static_cast<double>(stations_.size()) / 1000.0, kDriverAttempts,
                         DescribeReadTimeout(setup.readTimeout).c_str());
        }
        std::vector<Probe> probes;
        for (size_t i = 0; i < addresses.size() && !StopOnSignal::Requested(); ++i) {
            const size_t left = addresses.size() - i;
            progress.Show("station " + std::to_string(stations_[i]) + " (" + std::to_string(i + 1) + " of " +
                          std::to_string(addresses.size()) + "), " + std::to_string(CountAnswered(probes)) +
                          " answered, at most " + FormatSeconds(silentMs * static_cast<double>(left)) + " left");
            Probe probe;
            probe.station = stations_[i];
            uint16_t value = 0;
            const Stopwatch stopwatch;
            probe.result = ReadPointValue(host.entry, context, addresses[i], &value);
            probe.replyMs = stopwatch.Milliseconds();
            probes.push_back(probe);
        }
        return probes;
    }

    static void ReportJson(Host& host, const PortSetup& setup, const std::vector<Probe>& probes, bool complete) {
        AddPortJson(&host.document, setup);
        host.document["probe"] = std::string(1, kProbeType) + "001";
        Json list = Json::array();
        Json answeredJson = Json::array();
        for (const Probe& probe : probes) {
            Json entry = {{"station", probe.station}, {"answered", probe.result == kResultOk}, {"result", probe.result}};
            entry["reply_ms"] = probe.result == kResultOk ? Json(RoundedMs(probe.replyMs)) : Json(nullptr);
            list.push_back(entry);
            if (probe.result == kResultOk) answeredJson.push_back(probe.station);
        }
        host.document["stations"] = list;
        host.document["answered"] = answeredJson;
        host.document["complete"] = complete;
    }

    // The stations that answered (--all: every one probed), and the summary.
    void ReportTable(const std::vector<Probe>& probes) const {
        bool headerShown = false;
        for (const Probe& probe : probes) {
            if (probe.result != kResultOk && !all_) continue;
            if (!headerShown) std::printf("STATION  ANSWERED  RESULT  REPLY MS\n");
            headerShown = true;
            char replyText[32] = "-";
            if (probe.result == kResultOk) std::snprintf(replyText, sizeof replyText, "%.1f", probe.replyMs);
            std::printf("%7d  %-8s  %6d  %8s\n", probe.station, probe.result == kResultOk ? "yes" : "no",
                        probe.result, replyText);
        }
        const size_t count = CountAnswered(probes);
        const std::string summary = count == 0 ? "no station answered"
                                               : std::to_string(count) + (count == 1 ? " station" : " stations") +
                                                     " answered: " + AnsweredList(probes);
        std::printf("%s\n", summary.c_str());
    }

    static size_t CountAnswered(const std::vector<Probe>& probes) {
        size_t count = 0;
        for (const Probe& probe : probes) count += probe.result == kResultOk ? 1 : 0;
        return count;
    }
    static double RoundedMs(double ms) { return static_cast<double>(static_cast<int64_t>(ms * 10.0 + 0.5)) / 10.0; }

    std::vector<int> stations_;
    bool all_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeScanCommand() { return std::make_unique<ScanCommand>(); }
