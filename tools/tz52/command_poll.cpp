// tz52 poll: the points read again and again, until Ctrl-C or --count.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <memory>

#include "tools/common/quoted.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output_text.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

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
};

void SleepUntil(int64_t deadline) {
    // In short slices, so that Ctrl-C ends the wait on every platform.
    for (int64_t now = MonotonicMilliseconds(); now < deadline && !g_stopRequested; now = MonotonicMilliseconds()) {
        SleepMilliseconds(deadline - now < 100 ? deadline - now : 100);
    }
}

class PollCommand : public Command {
public:
    const char* Name() const override { return "poll"; }
    const char* Summary() const override { return "read points again and again"; }
    const char* Usage() const override {
        return "--port NAME [--every DURATION] [--count N] [line options] [--json] [--lib PATH] ADDRESS...";
    }
    std::string Description() const override {
        return std::string("Opens the port and reads the points again and again: a table that redraws in\n"
                           "place on a terminal, one line per round otherwise. Ctrl-C stops it. The exit\n"
                           "code is the worst of all rounds.\n\n") +
               kAddressHelp;
    }
    bool UsesPort() const override { return true; }
    const char* JsonMeaning() const override { return "output for scripts: one JSON document per round"; }

    void Define(CLI::App* app) override {
        app->add_option("ADDRESS", operands);
        app->add_option_function<std::string>(
               "--every",
               [this](const std::string& value) {
                   if (!ParseDuration(value, &everyMilliseconds_)) {
                       throw CLI::ValidationError("--every " + Quoted(value) +
                                                  ": give a time such as 500ms or 2s (at most one day)");
                   }
               },
               "time from the start of one round to the next: 500ms, 2s\n(default 1s)")
            ->type_name("DURATION");
        app->add_option_function<std::string>(
               "--count",
               [this](const std::string& value) {
                   uint64_t number = 0;
                   if (!ParseUnsigned(value, 1000000000, &number) || number == 0) {
                       throw CLI::ValidationError("--count " + Quoted(value) + ": the number of rounds must be 1 or more");
                   }
                   rounds_ = static_cast<int64_t>(number);
               },
               "stop after N rounds")
            ->type_name("N");
    }
    std::string CheckOperands() override { return operands.empty() ? "poll needs at least one ADDRESS" : ""; }

    int Run(Host& host) override {
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
        const bool json = host.invocation->json;
        const bool redraw = !json && CanRedrawInPlace(stdout);
        std::signal(SIGINT, RequestStop);
        std::signal(SIGTERM, RequestStop);
        const int64_t start = MonotonicMilliseconds();
        int64_t round = 0;
        int drawnLines = 0;
        while (!g_stopRequested && (rounds_ == 0 || round < rounds_)) {
            ++round;
            const int64_t roundStart = MonotonicMilliseconds();
            for (PollRow& row : rows) {
                if (g_stopRequested) break;
                row.result = ReadPointValue(host.entry, &context, row.address, &row.value);
                exitCode = Worse(exitCode, ExitCodeOf(row.result));
                if (row.result == kResultOk) {
                    row.haveValue = true;
                } else {
                    ++row.failures;
                    row.lastFailedResult = row.result;
                    row.lastFailure = PointFailureReason(false, row.result, row.address, setup);
                }
            }
            const int64_t elapsed = roundStart - start;
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
            } else if (redraw) {
                if (drawnLines > 0) std::printf("\x1b[%dA", drawnLines);
                std::printf("\x1b[2KPOINT     VALUE  HEX     RESULT\n");
                for (const PollRow& row : rows) {
                    std::string status =
                        row.result == kResultOk ? "ok" : "failed (result " + std::to_string(row.result) + ")";
                    if (row.result != kResultOk && row.haveValue) status += ", last value kept";
                    if (row.failures > 0 && row.result == kResultOk) {
                        status += " (" + std::to_string(row.failures) + " failed rounds)";
                    }
                    const std::string valueText = row.haveValue ? std::to_string(row.value) : "-";
                    const std::string hexText = row.haveValue ? HexWord(row.value) : "-";
                    std::printf("\x1b[2K%s %7s  %-6s  %s\n", row.point.c_str(), valueText.c_str(), hexText.c_str(),
                                status.c_str());
                }
                std::printf("\x1b[2Kround %lld, every %lld ms, port %s, %s; Ctrl-C stops\n",
                            static_cast<long long>(round), static_cast<long long>(everyMilliseconds_),
                            setup.name.c_str(), DescribeLine(setup.line).c_str());
                drawnLines = static_cast<int>(rows.size()) + 2;
            } else {
                std::string line = "round " + std::to_string(round) + " at " + std::to_string(elapsed) + " ms:";
                for (const PollRow& row : rows) {
                    line += " " + row.point + "=" +
                            (row.result == kResultOk ? std::to_string(row.value)
                                                     : "failed(" + std::to_string(row.result) + ")");
                }
                std::printf("%s\n", line.c_str());
            }
            std::fflush(stdout);
            if (rounds_ != 0 && round >= rounds_) break;
            SleepUntil(roundStart + everyMilliseconds_);
        }
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        for (const PollRow& row : rows) {
            if (row.failures == 0) continue;
            Complain(host,
                     row.point + " failed in " + std::to_string(row.failures) + " of " + std::to_string(round) +
                         " rounds; last: " + row.lastFailure,
                     row.lastFailedResult);
        }
        return Worse(exitCode, CloseOrExplain(host, &context, setup));
    }

private:
    int64_t everyMilliseconds_ = 1000;
    int64_t rounds_ = 0;  // 0 runs until interrupted
};

}  // namespace

std::unique_ptr<Command> MakePollCommand() { return std::make_unique<PollCommand>(); }
