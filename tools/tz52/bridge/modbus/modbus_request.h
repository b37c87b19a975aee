// The bridge's Modbus TCP codec, without sockets: the bytes a client sent
// judged into a read of points, a write of values to points, an exception
// reply or the end of the connection; and the replies' bytes. Every check
// of the frame (protocol identifier, length field, unit, function,
// quantity, byte count, coil values) happens here, before anything answers
// the client or touches the line, so every byte sequence can be tried
// against it (fuzz/modbus_request_fuzz.cpp).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_REQUEST_H
#define TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/tz52/bridge/modbus/modbus_map.h"

// The MBAP header: transaction, protocol, length, unit.
constexpr size_t kModbusHeaderBytes = 7;
// The length field counts the unit and the PDU (at most 253 bytes).
constexpr uint16_t kModbusLeastLength = 2;
constexpr uint16_t kModbusMostLength = 254;

enum class ModbusVerdict {
    kIncomplete,  // not all of the frame yet: wait for more bytes
    kClose,       // a frame that cannot be answered: close the connection
    kException,   // answer with ModbusExceptionReply(request)
    kRead,        // read `points`, then answer with ModbusReadReply
    kWrite,       // write `values` to `points` in order, then ModbusWriteReply
};

struct ModbusRequest {
    ModbusVerdict verdict = ModbusVerdict::kIncomplete;
    size_t frameBytes = 0;  // the bytes the frame took (not kIncomplete/kClose)
    uint16_t transaction = 0;
    uint8_t unit = 0;
    uint8_t function = 0;
    uint8_t exception = 0;  // when kException
    uint16_t start = 0;     // protocol address
    uint16_t quantity = 0;
    std::vector<ModbusPoint> points;
    std::vector<uint16_t> values;  // when kWrite: one per point (a coil 0 or 1)
    std::string reason;            // why, when kClose or kException, for the log
    // A write refused (exception 2 or 3) for one of its points: which, and
    // the value it was to get, for the audit line.
    bool refusedWrite = false;
    ModbusPoint refusedPoint;
    uint16_t refusedValue = 0;
};

// Whether the client may write this point (the bridge's --allow-write).
using ModbusMayWrite = std::function<bool(const ModbusPoint&)>;

// Judges the request at the head of `data`. A write to a point `mayWrite`
// refuses is exception 2; a value the point cannot hold, exception 3.
ModbusRequest ParseModbusRequest(const uint8_t* data, size_t size, const ModbusMayWrite& mayWrite);

// The reply to a read: one value per point, coils and discrete inputs as
// bits (any value but 0 is on), registers big-endian.
std::vector<uint8_t> ModbusReadReply(const ModbusRequest& request, const std::vector<uint16_t>& values);
// The reply to a write done: the echo of the request's fields.
std::vector<uint8_t> ModbusWriteReply(const ModbusRequest& request);
// The exception reply: the function with its high bit set, and the code.
std::vector<uint8_t> ModbusExceptionReply(uint16_t transaction, uint8_t unit, uint8_t function, uint8_t code);
inline std::vector<uint8_t> ModbusExceptionReply(const ModbusRequest& request) {
    return ModbusExceptionReply(request.transaction, request.unit, request.function, request.exception);
}

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_REQUEST_H
