// How exactly the read limit holds: a station that never answers, on a
// pseudo-terminal whose master side takes every request and says nothing.
// Each C read makes three attempts and each attempt waits one whole limit,
// so one read should take three limits: never less, and not much more.
//
//   tz52_bench_time_limit [--reads N] [--timeout T]
//
// T is the Open timeout in units of 10 ms (4 by default, the driver's default).
#include <cstdio>
#include <vector>

#include "bench/bench_support.h"

int main(int argc, char** argv) {
    const long reads = FlagNumber(argc, argv, "--reads", 50);
    const long timeout = FlagNumber(argc, argv, "--timeout", 4);
    if (reads < 1 || timeout < 1 || timeout > 1000) {
        std::fprintf(stderr, "tz52_bench_time_limit: --reads must be positive, --timeout 1 to 1000\n");
        return 2;
    }
    constexpr int kAttempts = 3;
    const double limitMs = 10.0 * static_cast<double>(timeout);
    const double expectedMs = kAttempts * limitMs;

    std::string error;
    PseudoTerminal line;
    if (!OpenPseudoTerminal(&line, &error)) {
        std::fprintf(stderr, "tz52_bench_time_limit: %s\n", error.c_str());
        return 1;
    }
    PortContext context{};
    const int opened = HostOpen(&context, line.name.c_str(), static_cast<int32_t>(timeout), 9600);
    if (opened != 0) {
        std::fprintf(stderr, "tz52_bench_time_limit: Open of %s returned %d\n", line.name.c_str(), opened);
        return 1;
    }
    Responder silence(line.master, 1, {});

    std::vector<double> totals;
    long wrongResults = 0;
    long early = 0;
    for (long i = 0; i < reads; ++i) {
        uint16_t value = 0;
        const int64_t start = NowNanoseconds();
        const int result = HostRead(&context, 1, kPointC, 1, &value);
        const double ms = static_cast<double>(NowNanoseconds() - start) / 1e6;
        if (result != 2) ++wrongResults;
        if (ms < expectedMs) ++early;
        totals.push_back(ms);
    }
    HostClose(&context);
    silence.Join();
    ClosePseudoTerminal(&line);

    const Summary s = Summarize(totals);
    std::printf("time limit: silent station, timeout %ld (%.0f ms), %d attempts per read, %ld reads\n",
                timeout, limitMs, kAttempts, reads);
    std::printf("read time ms:  expected %.1f  min %.3f  median %.3f  mean %.3f  max %.3f  stddev %.3f\n",
                expectedMs, s.min, s.median, s.mean, s.max, s.stddev);
    std::printf("late per limit ms:  min %.3f  median %.3f  max %.3f\n", (s.min - expectedMs) / kAttempts,
                (s.median - expectedMs) / kAttempts, (s.max - expectedMs) / kAttempts);
    std::printf("early reads: %ld of %ld\n", early, reads);
    if (wrongResults) {
        std::fprintf(stderr, "tz52_bench_time_limit: %ld reads did not return 2\n", wrongResults);
        return 1;
    }
    // A limit that ends early drops replies that were still on their way.
    if (early) {
        std::fprintf(stderr, "tz52_bench_time_limit: %ld reads ended before three limits\n", early);
        return 1;
    }
    return 0;
}
