// Feeds arbitrary bytes to the bridge's Modbus TCP codec as a client's
// request and checks:
//   - it never crashes, and it waits for more bytes only while the frame
//     the header announces is not all there;
//   - every reply it builds is one Modbus TCP frame whose length field
//     matches, which echoes the request's transaction, unit and function;
//   - an exception is one of 1, 2, 3, 4, 6, 10, 11;
//   - a read or a write names only points of the map at the request's unit,
//     one per address asked; only 1..4 read and only 5, 6, 15, 16 write;
//   - a write's values fit their points, and only points the predicate
//     allows are written.
// Input: one byte of flags (bit 0 every point may be written, else only
// the M points), then the request's bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/modbus/modbus_map.h"
#include "tools/tz52/bridge/modbus/modbus_request.h"
#include "tools/tz52/host/point_types.h"

namespace {

uint16_t Word(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

void RequireReply(const ModbusRequest& request, const std::vector<uint8_t>& reply) {
    Require(reply.size() >= 9 && reply.size() <= 6 + size_t{kModbusMostLength}, "a reply of a size no frame has");
    Require(Word(reply.data() + 2) == 0, "a reply's protocol identifier is not 0");
    Require(Word(reply.data() + 4) == reply.size() - 6, "a reply's length field does not match");
    Require(Word(reply.data()) == request.transaction, "a reply's transaction is not the request's");
    Require(reply[6] == request.unit, "a reply's unit is not the request's");
    Require((reply[7] & 0x7f) == (request.function & 0x7f), "a reply's function is not the request's");
}

bool InMap(const ModbusPoint& point) {
    for (size_t i = 0; i < kModbusMapRows; ++i) {
        const ModbusMapRow& row = kModbusMap[i];
        if (row.pointType == point.pointType && point.pointIndex >= row.firstIndex &&
            point.pointIndex <= row.lastIndex) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool allowAll = (data[0] & 1) != 0;
    const uint8_t* bytes = data + 1;
    const size_t count = size - 1;
    const ModbusMayWrite mayWrite = [allowAll](const ModbusPoint& point) {
        return allowAll || point.pointType == 'M';
    };
    const ModbusRequest request = ParseModbusRequest(bytes, count, mayWrite);

    switch (request.verdict) {
        case ModbusVerdict::kIncomplete:
            Require(count < kModbusHeaderBytes + 1 || count < 6 + size_t{Word(bytes + 4)},
                    "waited for bytes that were there");
            Require(request.points.empty() && request.values.empty(), "points named while waiting");
            return 0;
        case ModbusVerdict::kClose:
            Require(request.points.empty() && request.values.empty(), "points named for a closed connection");
            Require(!request.reason.empty(), "a close without its reason");
            return 0;
        case ModbusVerdict::kException: {
            const uint8_t code = request.exception;
            Require(code == 1 || code == 2 || code == 3 || code == 4 || code == 6 || code == 10 || code == 11,
                    "an exception code the bridge does not answer with");
            Require(request.points.empty() && request.values.empty(), "points named for an exception");
            const std::vector<uint8_t> reply = ModbusExceptionReply(request);
            RequireReply(request, reply);
            Require(reply.size() == 9 && reply[7] == (request.function | 0x80) && reply[8] == code,
                    "an exception reply that is not function|0x80 and the code");
            break;
        }
        case ModbusVerdict::kRead:
        case ModbusVerdict::kWrite:
            break;
    }
    Require(request.frameBytes >= kModbusHeaderBytes + 1 && request.frameBytes <= count &&
                request.frameBytes == 6 + size_t{Word(bytes + 4)},
            "a frame's size is not its length field's");
    Require(Word(bytes) == request.transaction && bytes[6] == request.unit && bytes[7] == request.function,
            "the request's fields are not the frame's");
    if (request.verdict == ModbusVerdict::kException) return 0;

    Require(request.unit >= 1 && request.unit <= 127, "a unit that is no station was served");
    Require(!request.points.empty() && request.points.size() == request.quantity,
            "not one point for each address asked");
    for (const ModbusPoint& point : request.points) {
        Require(point.station == request.unit, "a point of another station");
        Require(InMap(point), "a point outside the map");
    }
    if (request.verdict == ModbusVerdict::kRead) {
        Require(request.function >= 1 && request.function <= 4, "a read for a function that does not read");
        std::vector<uint16_t> values;
        for (const ModbusPoint& point : request.points) {
            values.push_back(static_cast<uint16_t>(LargestPointValue(point.pointType)));
        }
        RequireReply(request, ModbusReadReply(request, values));
        return 0;
    }
    const uint8_t function = request.function;
    Require(function == 5 || function == 6 || function == 15 || function == 16,
            "a write for a function that does not write");
    Require(request.values.size() == request.points.size(), "not one value for each point");
    for (size_t i = 0; i < request.points.size(); ++i) {
        const ModbusPoint& point = request.points[i];
        Require(IsWritableType(point.pointType) && mayWrite(point), "a point written that may not be");
        Require(request.values[i] <= LargestPointValue(point.pointType), "a value its point cannot hold");
    }
    const std::vector<uint8_t> reply = ModbusWriteReply(request);
    RequireReply(request, reply);
    Require(reply.size() == 12, "a write's echo is not 12 bytes");
    if (function == 5 || function == 6) {
        Require(std::equal(reply.begin(), reply.end(), bytes), "a single write's echo is not the request");
    }
    return 0;
}
