// tz52 poll: the points read again and again, until Ctrl-C or --count.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/common/cli/stop_signal.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/clock.h"
#include "tools/tz52/output/text.h"

namespace {

// One point's latest reading and how often it failed.
struct PollRow {
    CheckedAddress address;
    std::string point;
    int result = kResultOk;
    uint16_t value = 0;
    bool haveValue = false;
    int64_t failures = 0;
    int lastFailedResult = kResultOk;
    std::string lastFailure;
    std::deque<int> trend;  // the last values, -1 for a failed read
};

// The most rounds --count takes.
constexpr uint64_t kMostRounds = 1000000000;

// How many of its last readings a row's trend shows.
constexpr size_t kTrendLength = 16;

// The trend as block characters from the lowest to the highest value shown;
// a failed read is a gap.
std::string Sparkline(const std::deque<int>& values) {
    static const char* const kBlocks[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                          "\u2585", "\u2586", "\u2587", "\u2588"};
    int low = 65536, high = -1;
    for (int value : values) {
        if (value < 0) continue;
        low = std::min(low, value);
        high = std::max(high, value);
    }
    std::string line;
    for (int value : values) {
        if (value < 0) {
            line += " ";
        } else if (high == low) {
            line += kBlocks[3];
        } else {
            line += kBlocks[static_cast<size_t>((value - low) * 7 / (high - low))];
        }
    }
    return PadRight(line, kTrendLength);
}

void SleepUntil(int64_t deadline) {
    // In short slices, so that Ctrl-C ends the wait on every platform.
    for (int64_t now = MonotonicMilliseconds(); now < deadline && !StopOnSignal::Requested();
         now = MonotonicMilliseconds()) {
        SleepMilliseconds(deadline - now < 100 ? deadline - now : 100);
    }
}

class PollCommand : public Command {
public:
    const char* Usage() const override { return "[--every DURATION] [--count N] [--csv] [-o FILE]"; }
    std::string Description() const override {
        return std::string("Opens the port and reads the points again and again: a table that redraws in\n"
                           "place on a terminal, with a trend of each point's last values, and one line\n"
                           "per round otherwise. Ctrl-C stops it. The exit code is the worst of all rounds.\n"
                           "\n"
                           "As a data logger (--csv): one row per round, the time (ISO 8601, UTC, with\n"
                           "milliseconds), one value column per point and a last column naming the points\n"
                           "that failed; a failed read leaves its cell empty. -o FILE appends the rows to\n"
                           "FILE and puts every round on the disk before the next. A row that cannot be\n"
                           "written stops the polling with exit code ") +
               std::to_string(kExitFileError) + ".\n\n" +
               kAddressHelp;
    }
    const char* JsonMeaning() const override { return "output for scripts: one JSON document per round"; }

    void Define(CLI::App* app) override {
        app->add_option("ADDRESS", operands);
        AddValueOption(app, "--every", "DURATION",
                       "time from the start of one round to the next: 500ms, 2s\n(default 1s)",
                       [this](const std::string& value) {
                           if (!ParseDuration(value, &everyMilliseconds_)) {
                               RefuseOptionValue("--every", value, "give a time such as 500ms, 2s or 10min (at most one day)");
                           }
                       });
        AddWholeNumberOption(app, "--count", "N", "stop after N rounds", 1, kMostRounds,
                             "the number of rounds must be 1 or more",
                             [this](uint64_t number) { rounds_ = static_cast<int64_t>(number); });
        app->add_flag("--csv", csv_, "one CSV row per round (to stdout, or to FILE with -o)")->disable_flag_override();
        app->add_option("-o,--output", csvPath_, "append the CSV rows to FILE (implies --csv)")->type_name("FILE");
    }
    std::string CheckOperands() override {
        if (!csvPath_.empty()) csv_ = true;
        return "";
    }

    int Run(Host& host) override {
        const bool json = host.invocation->json;
        if (json && csv_) {
            Complain(host, "--csv and --json are two kinds of output; choose one");
            return kExitUsage;
        }
        // The CSV file opens before the port does: a log that cannot be
        // kept is no reason to touch the line.
        FILE* csvFile = nullptr;
        if (!csvPath_.empty()) {
            csvFile = std::fopen(csvPath_.c_str(), "ab");
            if (csvFile == nullptr) {
                Complain(host, "cannot append to " + Printable(csvPath_) + ": " + std::strerror(errno));
                return kExitFileError;
            }
        }
        int exitCode = Poll(host, csvFile);
        if (csvFile != nullptr && std::fclose(csvFile) != 0 && !logFailed_) {
            Complain(host, "cannot write to " + Printable(csvPath_) + ": " + std::strerror(errno));
            exitCode = Worse(exitCode, kExitFileError);
        }
        return exitCode;
    }

private:
    int Poll(Host& host, FILE* csvFile) {
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, operands, &addresses, &setup, &context, &exitCode)) return exitCode;

        std::vector<PollRow> rows;
        for (const CheckedAddress& address : addresses) {
            PollRow row;
            row.address = address;
            row.point = CanonicalAddress(address);
            rows.push_back(row);
        }
        FILE* csvOut = csvFile != nullptr ? csvFile : (csv_ ? stdout : nullptr);
        if (csvOut != nullptr && !StartCsv(host, csvOut, rows)) {
            return Worse(kExitFileError, CloseOrExplain(host, &context, setup));
        }
        const StopOnSignal stopOnSignal;
        const int64_t start = MonotonicMilliseconds();
        int64_t round = 0;
        int drawnLines = 0;
        while (!StopOnSignal::Requested() && (rounds_ == 0 || round < rounds_)) {
            ++round;
            const int64_t roundStart = MonotonicMilliseconds();
            const std::string roundTime = csvOut != nullptr ? IsoUtcNow() : "";
            // A round cut short by Ctrl-C is not logged: its row would
            // lack values that were never read.
            if (!ReadRound(host, &context, setup, &rows, &exitCode)) break;
            // A log that cannot be kept stops the polling: nobody would
            // see the rounds it loses.
            if (csvOut != nullptr && !WriteCsv(host, csvOut, CsvRow(roundTime, rows))) {
                exitCode = Worse(exitCode, kExitFileError);
                break;
            }
            ShowRound(host, rows, round, roundStart - start, setup, csvFile != nullptr, &drawnLines);
            std::fflush(stdout);
            if (rounds_ != 0 && round >= rounds_) break;
            SleepUntil(roundStart + everyMilliseconds_);
        }
        for (const PollRow& row : rows) {
            if (row.failures == 0) continue;
            Complain(host,
                     row.point + " failed in " + std::to_string(row.failures) + " of " + std::to_string(round) +
                         " rounds; last: " + row.lastFailure,
                     row.lastFailedResult);
        }
        return Worse(exitCode, CloseOrExplain(host, &context, setup));
    }

    // The header row, unless the file already has rows.
    bool StartCsv(Host& host, FILE* csvOut, const std::vector<PollRow>& rows) {
        std::fseek(csvOut, 0, SEEK_END);
        if (csvOut != stdout && std::ftell(csvOut) != 0) return true;
        std::string header = "time";
        for (const PollRow& row : rows) header += "," + row.point;
        return WriteCsv(host, csvOut, header + ",failed\n");
    }

    // Reads every row once; false when Ctrl-C cut the round short.
    static bool ReadRound(Host& host, PortContext* context, const PortSetup& setup, std::vector<PollRow>* rows,
                          int* exitCode) {
        for (PollRow& row : *rows) {
            if (StopOnSignal::Requested()) return false;
            row.result = ReadPointValue(host.entry, context, row.address, &row.value);
            *exitCode = Worse(*exitCode, ExitCodeOf(row.result));
            if (row.result == kResultOk) {
                row.haveValue = true;
            } else {
                ++row.failures;
                row.lastFailedResult = row.result;
                row.lastFailure = PointFailureReason(false, row.result, row.address, setup);
            }
            row.trend.push_back(row.result == kResultOk ? row.value : -1);
            if (row.trend.size() > kTrendLength) row.trend.pop_front();
        }
        return true;
    }

    // A round on stdout: a JSON document, the terminal's table, or a line.
    // Lines only when stdout does not carry the CSV; with -o FILE only the
    // table of a terminal.
    void ShowRound(Host& host, const std::vector<PollRow>& rows, int64_t round, int64_t elapsed,
                   const PortSetup& setup, bool csvToFile, int* drawnLines) const {
        const bool json = host.invocation->json;
        const bool lines = !json && !csv_;
        if (json) {
            Json document = {{"round", round}, {"elapsedMs", elapsed}};
            AddPortJson(&document, setup);
            Json points = Json::array();
            for (const PollRow& row : rows) {
                points.push_back(PointJson(row.point, row.result, row.result == kResultOk ? "value" : nullptr,
                                           row.value, row.result == kResultOk ? "" : row.lastFailure));
            }
            document["points"] = points;
            PrintJson(document);
            host.documentPrinted = true;
        } else if (CanRedrawInPlace(stdout) && (lines || csvToFile)) {
            *drawnLines = DrawTable(rows, round, setup, *drawnLines);
        } else if (lines) {
            std::string line = "round " + std::to_string(round) + " at " + std::to_string(elapsed) + " ms:";
            for (const PollRow& row : rows) {
                line += " " + row.point + "=" +
                        (row.result == kResultOk ? std::to_string(row.value)
                                                 : "failed(" + std::to_string(row.result) + ")");
            }
            std::printf("%s\n", line.c_str());
        }
    }

    // One round: its time, each point's value or an empty cell, and the
    // points that failed.
    static std::string CsvRow(const std::string& time, const std::vector<PollRow>& rows) {
        std::string line = time;
        std::string failed;
        for (const PollRow& row : rows) {
            line += ",";
            if (row.result == kResultOk) {
                line += std::to_string(row.value);
            } else {
                failed += (failed.empty() ? "" : " ") + row.point;
            }
        }
        return line + "," + failed + "\n";
    }

    // Writes CSV text; a file is put on the disk at once. A failure is said
    // once, with the file's name and the system's reason.
    bool WriteCsv(Host& host, FILE* out, const std::string& text) {
        errno = 0;
        const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
        if (written && (out == stdout ? std::fflush(out) == 0 : SyncToDisk(out))) return true;
        const int reason = errno != 0 ? errno : EIO;
        const std::string name = out == stdout ? std::string("the standard output") : Printable(csvPath_);
        Complain(host, "cannot write to " + name + ": " + std::strerror(reason) + "; polling stopped");
        logFailed_ = true;
        return false;
    }

    // The table of a terminal, redrawn over the last one; returns its lines.
    int DrawTable(const std::vector<PollRow>& rows, int64_t round, const PortSetup& setup, int drawnLines) const {
        if (drawnLines > 0) std::printf("\x1b[%dA", drawnLines);
        std::printf("\x1b[2KPOINT     VALUE  HEX     %s  RESULT\n", PadRight("TREND", kTrendLength).c_str());
        for (const PollRow& row : rows) {
            std::string status = row.result == kResultOk ? "ok" : "failed (result " + std::to_string(row.result) + ")";
            if (row.result != kResultOk && row.haveValue) status += ", last value kept";
            if (row.failures > 0 && row.result == kResultOk) {
                status += " (" + std::to_string(row.failures) + " failed rounds)";
            }
            const std::string valueText = row.haveValue ? std::to_string(row.value) : "-";
            const std::string hexText = row.haveValue ? HexWord(row.value) : "-";
            std::printf("\x1b[2K%s %7s  %-6s  %s  %s\n", row.point.c_str(), valueText.c_str(), hexText.c_str(),
                        Sparkline(row.trend).c_str(), status.c_str());
        }
        std::printf("\x1b[2Kround %lld, every %lld ms, port %s, %s; Ctrl-C stops\n", static_cast<long long>(round),
                    static_cast<long long>(everyMilliseconds_), setup.name.c_str(), DescribeLine(setup.line).c_str());
        return static_cast<int>(rows.size()) + 2;
    }

    bool csv_ = false;
    bool logFailed_ = false;
    std::string csvPath_;
    int64_t everyMilliseconds_ = 1000;
    int64_t rounds_ = 0;  // 0 runs until interrupted
};

}  // namespace

std::unique_ptr<Command> MakePollCommand() { return std::make_unique<PollCommand>(); }
