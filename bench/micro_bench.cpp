// Nanoseconds per operation of the driver's own code, over the null-cost line:
// building and sending a request frame, checking a reply frame, a whole read
// and write command through QmxMain, and checking a point address.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "bench/null_line.h"
#include "driver/driver_api.h"
#include "protocol/frame_codec.h"

namespace {

// A valid reply with three data bytes (7F 7F 03). Every shorter reply the
// commands expect is a prefix of it that is itself valid: FE, any byte, then
// complement pairs.
constexpr uint8_t kReply[] = {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C};

PortContext g_context;

void OpenNullPort() {
    g_context = PortContext{};
    g_context.handle = NullLineHandle();
    g_context.readTimeout = 4;
    SetNullLineReply(kReply, sizeof kReply);
    // QmxMain records the context; any cheap operation will do.
    DriverInfo info{};
    DriverRequest request{};
    request.context = &g_context;
    request.operation = kOpDriverInfo;
    request.parameters = &info;
    QmxMain(&request);
}

void BM_SendFrame(benchmark::State& state) {
    OpenNullPort();
    const uint8_t payload[5] = {0x47, 0x5B, 0x7D, 0x02, 0x1A};
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        int result = SendFrame(1, payload, n);
        benchmark::DoNotOptimize(result);
        if (result != 0) state.SkipWithError("SendFrame failed");
    }
}
BENCHMARK(BM_SendFrame)->Arg(2)->Arg(5);

void BM_ReceiveFrame(benchmark::State& state) {
    OpenNullPort();
    uint8_t data[3];
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        int result = ReceiveFrame(data, n);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(data);
        if (result != 0) state.SkipWithError("ReceiveFrame failed");
    }
}
BENCHMARK(BM_ReceiveFrame)->Arg(0)->Arg(1)->Arg(3);

struct PointCase {
    const char* label;
    int32_t type;
    int32_t index;
};
constexpr PointCase kReadCases[] = {
    {"A", kPointA, 9}, {"B", kPointB, 1}, {"C", kPointC, 1},
    {"M", kPointM, 100}, {"O", kPointO, 1}, {"S", kPointS, 1},
};
constexpr PointCase kWriteCases[] = {
    {"C", kPointC, 1}, {"M", kPointM, 100}, {"O", kPointO, 1}, {"S", kPointS, 1},
};

void BM_ReadPoint(benchmark::State& state) {
    OpenNullPort();
    const PointCase& point = kReadCases[state.range(0)];
    state.SetLabel(point.label);
    uint8_t buffer[4] = {};
    PointIo io{};
    io.station = 1;
    io.pointType = point.type;
    io.pointIndex = point.index;
    io.valueBuffer = buffer;
    DriverRequest request{};
    request.context = &g_context;
    request.operation = kOpReadPoint;
    request.parameters = &io;
    for (auto _ : state) {
        int32_t result = QmxMain(&request);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(buffer);
        if (result != 0) state.SkipWithError("read failed");
    }
}
BENCHMARK(BM_ReadPoint)->DenseRange(0, 5);

void BM_WritePoint(benchmark::State& state) {
    OpenNullPort();
    const PointCase& point = kWriteCases[state.range(0)];
    state.SetLabel(point.label);
    uint8_t buffer[4] = {0, 0, 0x34, 0x12};
    PointIo io{};
    io.station = 1;
    io.pointType = point.type;
    io.pointIndex = point.index;
    io.valueBuffer = buffer;
    DriverRequest request{};
    request.context = &g_context;
    request.operation = kOpWritePoint;
    request.parameters = &io;
    for (auto _ : state) {
        int32_t result = QmxMain(&request);
        benchmark::DoNotOptimize(result);
        if (result != 0) state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_WritePoint)->DenseRange(0, 3);

void BM_CheckPointAddress(benchmark::State& state) {
    OpenNullPort();
    PointAddress address{};
    address.text = "001M025 ";
    DriverRequest request{};
    request.context = &g_context;
    request.operation = kOpCheckAddress;
    request.parameters = &address;
    for (auto _ : state) {
        int32_t result = QmxMain(&request);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(address);
        if (result != 0) state.SkipWithError("address refused");
    }
}
BENCHMARK(BM_CheckPointAddress);

// Reports as usual and remembers whether any benchmark failed, so that a
// smoke run fails when the driver does.
class FailureNoticingReporter : public benchmark::ConsoleReporter {
public:
    explicit FailureNoticingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.error_occurred) failed = true;
        ConsoleReporter::ReportRuns(runs);
    }
    bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    // Colours only for a person at a terminal, never into a log.
    FailureNoticingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                           : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.failed) std::fprintf(stderr, "a benchmark failed\n");
    return reporter.failed ? 1 : 0;
}
