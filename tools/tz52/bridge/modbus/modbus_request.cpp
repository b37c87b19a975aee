#include "tools/tz52/bridge/modbus/modbus_request.h"

#include "tools/tz52/host/point_types.h"

namespace {

uint16_t Word(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

void PutWord(std::vector<uint8_t>* bytes, uint16_t word) {
    bytes->push_back(static_cast<uint8_t>(word >> 8));
    bytes->push_back(static_cast<uint8_t>(word & 0xff));
}

ModbusRequest& Close(ModbusRequest& request, const char* reason) {
    request.verdict = ModbusVerdict::kClose;
    request.frameBytes = 0;
    request.points.clear();
    request.values.clear();
    request.reason = reason;
    return request;
}

ModbusRequest& Refuse(ModbusRequest& request, uint8_t code, const char* reason) {
    request.verdict = ModbusVerdict::kException;
    request.exception = code;
    request.points.clear();
    request.values.clear();
    request.reason = reason;
    return request;
}

const char* RangeReason(uint8_t code) {
    switch (code) {
        case kModbusGatewayPathUnavailable: return "unit identifier outside 1..127";
        case kModbusIllegalFunction: return "function not served";
        case kModbusIllegalDataValue: return "quantity outside what the function allows";
        default: return "range outside the map";
    }
}

// A header and PDU head of `function` with the rest of a reply to come.
std::vector<uint8_t> ReplyHead(const ModbusRequest& request, size_t pduBytes) {
    std::vector<uint8_t> reply;
    reply.reserve(kModbusHeaderBytes + pduBytes);
    PutWord(&reply, request.transaction);
    PutWord(&reply, 0);
    PutWord(&reply, static_cast<uint16_t>(1 + pduBytes));
    reply.push_back(request.unit);
    reply.push_back(request.function);
    return reply;
}

}  // namespace

namespace {

// The frame at the head of `data`: true once it is whole, with its header
// taken; false while it is not (the request stays kIncomplete) or when its
// header closes the connection. A wrong protocol or length is final as soon
// as its bytes are in: the frame's end cannot be known, so nothing after it
// can be answered.
bool TakeFrame(const uint8_t* data, size_t size, ModbusRequest* request) {
    if (size >= 4 && Word(data + 2) != 0) {
        Close(*request, "protocol identifier not 0");
        return false;
    }
    if (size >= 6) {
        const uint16_t length = Word(data + 4);
        if (length < kModbusLeastLength || length > kModbusMostLength) {
            Close(*request, "length field outside 2..254");
            return false;
        }
    }
    if (size < kModbusHeaderBytes + 1) return false;
    const size_t frameBytes = 6 + size_t{Word(data + 4)};
    if (size < frameBytes) return false;
    request->frameBytes = frameBytes;
    request->transaction = Word(data);
    request->unit = data[6];
    request->function = data[7];
    return true;
}

// The PDU's fields as `function` has them: start, quantity (or the single
// write's value, in *field), the coil value and the byte count; false when
// the request was refused or closes the connection.
bool TakeFields(const uint8_t* pdu, size_t pduBytes, const ModbusFunction& function, ModbusRequest* request,
                uint16_t* field) {
    const bool multiple =
        request->function == kModbusWriteMultipleCoils || request->function == kModbusWriteMultipleRegisters;
    if (multiple ? pduBytes < 6 || pduBytes != 6 + size_t{pdu[5]} : pduBytes != 5) {
        Close(*request, "length field does not match the function's fields");
        return false;
    }
    request->start = Word(pdu + 1);
    *field = Word(pdu + 3);
    request->quantity = function.write && !multiple ? 1 : *field;
    if (request->function == kModbusWriteSingleCoil && *field != 0x0000 && *field != 0xff00) {
        Refuse(*request, kModbusIllegalDataValue, "coil value other than 0x0000 or 0xFF00");
        return false;
    }
    if (multiple) {
        const size_t needed = request->function == kModbusWriteMultipleCoils ? (size_t{request->quantity} + 7) / 8
                                                                             : size_t{request->quantity} * 2;
        if (request->quantity >= function.leastQuantity && request->quantity <= function.mostQuantity &&
            pdu[5] != needed) {
            Refuse(*request, kModbusIllegalDataValue, "byte count does not match the quantity");
            return false;
        }
    }
    return true;
}

// The value each point of a write is to get: a coil 0 or 1, a register its
// word.
void TakeWriteValues(const uint8_t* pdu, uint16_t field, ModbusRequest* request) {
    request->values.reserve(request->points.size());
    for (size_t i = 0; i < request->points.size(); ++i) {
        uint16_t value = field;
        if (request->function == kModbusWriteSingleCoil) {
            value = field == 0xff00 ? 1 : 0;
        } else if (request->function == kModbusWriteMultipleCoils) {
            value = (pdu[6 + i / 8] >> (i % 8)) & 1;
        } else if (request->function == kModbusWriteMultipleRegisters) {
            value = Word(pdu + 6 + 2 * i);
        }
        request->values.push_back(value);
    }
}

// Every point of a write may be written and can hold its value; else the
// request is refused for the first that cannot, which the audit line names.
bool JudgeWrites(const ModbusMayWrite& mayWrite, ModbusRequest* request) {
    for (size_t i = 0; i < request->points.size(); ++i) {
        const ModbusPoint point = request->points[i];
        const uint16_t value = request->values[i];
        const bool allowed = IsWritableType(point.pointType) && mayWrite && mayWrite(point);
        if (allowed && value <= LargestPointValue(point.pointType)) continue;
        Refuse(*request, allowed ? kModbusIllegalDataValue : kModbusIllegalDataAddress,
               !allowed ? IsWritableType(point.pointType) ? "writes to the point are not allowed" : "the point is an input"
                        : "a value the point cannot hold");
        request->refusedWrite = true;
        request->refusedPoint = point;
        request->refusedValue = value;
        return false;
    }
    return true;
}

}  // namespace

ModbusRequest ParseModbusRequest(const uint8_t* data, size_t size, const ModbusMayWrite& mayWrite) {
    ModbusRequest request;
    if (!TakeFrame(data, size, &request)) return request;
    if (request.unit < 1 || request.unit > 127) {
        return Refuse(request, kModbusGatewayPathUnavailable, RangeReason(kModbusGatewayPathUnavailable));
    }
    const ModbusFunction* function = FindModbusFunction(request.function);
    if (function == nullptr) return Refuse(request, kModbusIllegalFunction, RangeReason(kModbusIllegalFunction));
    const uint8_t* pdu = data + kModbusHeaderBytes;
    uint16_t field = 0;  // quantity, or the single write's value
    if (!TakeFields(pdu, request.frameBytes - kModbusHeaderBytes, *function, &request, &field)) return request;
    const uint8_t code =
        ModbusMapRange(request.unit, request.function, request.start, request.quantity, &request.points);
    if (code != 0) return Refuse(request, code, RangeReason(code));
    if (!function->write) {
        request.verdict = ModbusVerdict::kRead;
        return request;
    }
    TakeWriteValues(pdu, field, &request);
    if (JudgeWrites(mayWrite, &request)) request.verdict = ModbusVerdict::kWrite;
    return request;
}

std::vector<uint8_t> ModbusReadReply(const ModbusRequest& request, const std::vector<uint16_t>& values) {
    const bool bits =
        request.function == kModbusReadCoils || request.function == kModbusReadDiscreteInputs;
    const size_t count = bits ? (values.size() + 7) / 8 : values.size() * 2;
    std::vector<uint8_t> reply = ReplyHead(request, 2 + count);
    reply.push_back(static_cast<uint8_t>(count));
    if (bits) {
        reply.resize(reply.size() + count, 0);
        for (size_t i = 0; i < values.size(); ++i) {
            if (values[i] != 0) reply[kModbusHeaderBytes + 2 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    } else {
        for (uint16_t value : values) PutWord(&reply, value);
    }
    return reply;
}

std::vector<uint8_t> ModbusWriteReply(const ModbusRequest& request) {
    std::vector<uint8_t> reply = ReplyHead(request, 5);
    PutWord(&reply, request.start);
    uint16_t field = request.quantity;
    if (request.function == kModbusWriteSingleCoil) {
        field = !request.values.empty() && request.values[0] != 0 ? 0xff00 : 0x0000;
    } else if (request.function == kModbusWriteSingleRegister) {
        field = request.values.empty() ? 0 : request.values[0];
    }
    PutWord(&reply, field);
    return reply;
}

std::vector<uint8_t> ModbusExceptionReply(uint16_t transaction, uint8_t unit, uint8_t function, uint8_t code) {
    return {static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction & 0xff), 0, 0, 0, 3, unit,
            static_cast<uint8_t>(function | 0x80), code};
}
