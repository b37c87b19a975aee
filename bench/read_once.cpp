// One C read through QmxMain, for counting its instructions:
//
//   valgrind --tool=callgrind --collect-atstart=no tz52_read_once_null
//
// Only the second read itself is collected (between the two toggles);
// opening and closing the port and the first read are not. Built twice: over the null-cost line, where the
// count is the driver's own, and over the tests' fake line, which records
// every call and so adds its bookkeeping to the count. Outside valgrind the
// toggles do nothing and the program just makes the read.
#include <cstdio>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "bench/bench_support.h"

#ifdef TZ52_READ_ONCE_FAKE_LINE
#include "tests/support/fake_serial.h"
#else
#include "bench/null_line.h"
#endif

namespace {

constexpr uint8_t kReply[] = {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C};

void PrepareLine() {
#ifdef TZ52_READ_ONCE_FAKE_LINE
    FakeLine().SetResponder([](const Bytes&) { return Bytes(kReply, kReply + sizeof kReply); });
#else
    SetNullLineReply(kReply, sizeof kReply);
#endif
}

}  // namespace

int main() {
    PrepareLine();
    PortContext context{};
    const int opened = HostOpen(&context, "COM1", 4, 9600);
    if (opened != 0) {
        std::fprintf(stderr, "tz52_read_once: Open returned %d\n", opened);
        return 1;
    }
    uint8_t buffer[4] = {};
    PointIo io{};
    io.station = 1;
    io.pointType = kPointC;
    io.pointIndex = 1;
    io.valueBuffer = buffer;
    DriverRequest request{};
    request.context = &context;
    request.operation = kOpReadPoint;
    request.parameters = &io;

    // A first read, not counted, binds the library calls the read makes
    // (lazy binding costs about a thousand instructions, once).
    if (QmxMain(&request) != 0) {
        std::fprintf(stderr, "tz52_read_once: the first read failed\n");
        return 1;
    }
    buffer[2] = buffer[3] = 0;

    CALLGRIND_TOGGLE_COLLECT;
    const int result = QmxMain(&request);
    CALLGRIND_TOGGLE_COLLECT;

    HostClose(&context);
    const unsigned value = buffer[2] | buffer[3] << 8;
    if (result != 0 || value != 0xFFFF) {
        std::fprintf(stderr, "tz52_read_once: read returned %d with value %u\n", result, value);
        return 1;
    }
    std::printf("C read: result %d, value %u\n", result, value);
    return 0;
}
