// Feeds arbitrary line behaviour into every point read and write command
// through QmxMain operations 5 and 7, and checks:
//   - the result is 0, 1 or 2;
//   - a record naming no point is refused (1) with nothing on the line;
//   - the value slot (bytes 2 and 3 of the value buffer) changes only when a
//     read returns 0, and then holds the value the last reply carried;
//     a write never changes it;
//   - no other byte of the value buffer, and no byte of the record, changes;
//   - every request on the line is a well-formed frame for the station, of
//     7-bit payload bytes, and a call makes at most three attempts.
//
// Input layout:
//   byte 0  bit 0: 0 read, 1 write; bit 1: take station, type and index raw
//   byte 1  type: one of A B C M O S (value mod 6), or the raw code
//   byte 2, 3  index: within the type's range (little-endian value mod the
//           range's length), or raw as a signed 16-bit number
//   byte 4  station: 1 + (value mod 127), or raw 0 to 255
//   then up to six exchanges, one per request the driver makes:
//     one byte: bit 7 set makes the write of that request fail; bits 0 to 4
//     give the number of reply bytes that follow (0 leaves the line silent)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver_api.h"
#include "driver/point_ranges.h"
#include "tests/support/fake_serial.h"

namespace {

constexpr size_t kHeaderLength = 5;
constexpr int kMaxExchanges = 6;
constexpr uint8_t kFill = 0x5A;
constexpr int32_t kTypes[] = {kPointA, kPointB, kPointC, kPointM, kPointO, kPointS};

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "point_io_fuzz: %s\n", what);
    std::abort();
}

struct Point {
    int32_t station;
    int32_t type;
    int32_t index;
};

Point PointFromHeader(const uint8_t* header) {
    const bool raw = (header[0] & 2) != 0;
    const uint16_t indexBits = static_cast<uint16_t>(header[2] | (header[3] << 8));
    if (raw) {
        return Point{header[4], header[1], static_cast<int16_t>(indexBits)};
    }
    const int32_t type = kTypes[header[1] % 6];
    const PointIndexRange* range = FindPointIndexRange(type);
    const int32_t span = range->last - range->first + 1;
    return Point{1 + header[4] % kMaxStation, type, range->first + indexBits % span};
}

// The value a good reply to a read of `type` carries, decoded from the reply
// frame as it came off the line.
uint16_t ValueOfReply(int32_t type, const Bytes& reply) {
    const unsigned d0 = reply[4];
    switch (type) {
        case kPointA: return static_cast<uint16_t>(2 * d0 + reply[6]);
        case kPointB:
        case kPointO: return static_cast<uint16_t>(d0);
        default: {
            const unsigned d1 = reply[6], d2 = reply[8];
            return static_cast<uint16_t>(512 * d0 + 256 * (d2 >> 1) + 2 * d1 + (d2 & 1));
        }
    }
}

// Every request is a frame for `station`: start byte and its complement, the
// fixed marker, then complement pairs of 7-bit payload bytes.
void CheckRequest(const Bytes& frame, int32_t station) {
    Require(frame.size() >= 8 && frame.size() % 2 == 0, "request length");
    Require(frame[0] == static_cast<uint8_t>(station + 0x80), "request start byte");
    Require(frame[0] + frame[1] == 0xFF, "request start pair");
    Require(frame[2] == 0x01 && frame[3] == 0x7E, "request marker");
    for (size_t i = 4; i < frame.size(); i += 2) {
        Require(frame[i + 1] <= 0x7F, "payload byte above 0x7F");
        Require(frame[i] + frame[i + 1] == 0x7F, "payload pair");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderLength) return -1;
    const bool write = (data[0] & 1) != 0;
    const Point point = PointFromHeader(data);

    // The line's behaviour, request by request. Once the input runs out,
    // writes succeed and the line stays silent.
    FakeLine().Reset();
    size_t at = kHeaderLength;
    for (int exchange = 0; exchange < kMaxExchanges && at < size; ++exchange) {
        const uint8_t control = data[at++];
        FakeLine().QueueWrite((control & 0x80) ? 7 : 0);
        size_t length = control & 0x1F;
        if (length > size - at) length = size - at;
        FakeLine().QueueRead(Bytes(data + at, data + at + length));
        at += length;
    }
    if (at < size) return -1;  // bytes no exchange can use

    PortContext context;
    std::memset(&context, 0, sizeof context);
    context.handle = reinterpret_cast<void*>(0x1000);
    uint8_t buffer[16];
    std::memset(buffer, kFill, sizeof buffer);
    PointIo record;
    std::memset(&record, kFill, sizeof record);
    record.station = point.station;
    record.pointType = point.type;
    record.pointIndex = point.index;
    record.valueBuffer = buffer;
    const PointIo recordBefore = record;
    DriverRequest request{};
    request.context = &context;
    request.operation = write ? kOpWritePoint : kOpReadPoint;
    request.parameters = &record;

    const int result = QmxMain(&request);

    Require(result == 0 || result == 1 || result == 2, "result other than 0, 1 or 2");
    Require(std::memcmp(&record, &recordBefore, sizeof record) == 0, "the record changed");
    for (size_t i = 0; i < sizeof buffer; ++i) {
        if (i == 2 || i == 3) continue;
        Require(buffer[i] == kFill, "a value buffer byte outside the slot changed");
    }

    const bool valid = IsValidPoint(point.station, point.type, point.index);
    const bool refusedType = write && (point.type == kPointA || point.type == kPointB);
    if (!valid || refusedType) {
        Require(result == 1, "an invalid record or unwritable type was not refused");
        Require(FakeLine().calls().empty(), "the line was used for a refused record");
    }

    const std::vector<Bytes> requests = FakeLine().Writes();
    const size_t maxRequests = (write && point.type == kPointS) ? 6 : 3;
    Require(requests.size() <= maxRequests, "more than three attempts");
    for (const Bytes& frame : requests) CheckRequest(frame, point.station);

    const uint16_t slot = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    const uint16_t fill = static_cast<uint16_t>(kFill | (kFill << 8));
    if (write || result != 0) {
        Require(slot == fill, "the value slot changed without a successful read");
    } else {
        const std::vector<SerialCall> reads = FakeLine().CallsOf(SerialCall::kRead);
        Require(!reads.empty() && reads.back().result == 0, "a read succeeded without a reply");
        Require(slot == ValueOfReply(point.type, reads.back().bytes), "stored value differs from the reply");
    }
    return 0;
}
