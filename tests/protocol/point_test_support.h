// What the point read and point write tests share: a host call with its own
// PortContext, PointIo and value buffer, and the line format written out
// independently of the codec.
#ifndef TZ52DRV_TESTS_PROTOCOL_POINT_TEST_SUPPORT_H
#define TZ52DRV_TESTS_PROTOCOL_POINT_TEST_SUPPORT_H

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver_api.h"
#include "tests/support/fake_serial.h"

// A host's view of one read or write call. The value buffer is longer than
// the four bytes the driver may use and is filled with a recognisable pattern
// so that any stray write shows.
struct PointCall {
    PortContext context;
    DriverRequest request;
    PointIo point;
    std::array<uint8_t, 8> buffer;

    PointCall(int32_t station, int32_t type, int32_t index) {
        std::memset(&context, 0, sizeof context);
        context.handle = reinterpret_cast<void*>(0x1000);
        std::memset(&request, 0, sizeof request);
        request.context = &context;
        request.parameters = &point;
        std::memset(&point, 0xC3, sizeof point);
        point.station = station;
        point.pointType = type;
        point.pointIndex = index;
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(0xA0 + i);
        point.valueBuffer = buffer.data();
    }
    PointCall(const PointCall&) = delete;
    PointCall& operator=(const PointCall&) = delete;

    void SetSlot(uint16_t value) {
        buffer[2] = static_cast<uint8_t>(value & 0xFF);
        buffer[3] = static_cast<uint8_t>(value >> 8);
    }
    uint16_t Slot() const { return static_cast<uint16_t>(buffer[2] | (buffer[3] << 8)); }

    int Call(DriverOp operation) {
        request.operation = operation;
        return QmxMain(&request);
    }
};

// The request frame the controller expects for `payload`.
inline Bytes RequestFrame(int32_t station, const Bytes& payload) {
    const uint8_t first = static_cast<uint8_t>(station + 0x80);
    Bytes frame = {first, static_cast<uint8_t>(0xFF - first), 0x01, 0x7E};
    for (uint8_t byte : payload) {
        frame.push_back(static_cast<uint8_t>(0x7F - byte));
        frame.push_back(byte);
    }
    return frame;
}

// A well-formed reply carrying `data`.
inline Bytes ReplyFrame(const Bytes& data) {
    Bytes frame = {0xFE, 0x00, 0x00, 0x7F};
    for (uint8_t byte : data) {
        frame.push_back(byte);
        frame.push_back(static_cast<uint8_t>(0x7F - byte));
    }
    return frame;
}

// The same reply with its last pair damaged.
inline Bytes DamagedReplyFrame(const Bytes& data) {
    Bytes frame = ReplyFrame(data);
    frame.back() = static_cast<uint8_t>(frame.back() + 1);
    return frame;
}

// The payload bytes of a request frame as the line carried it.
inline Bytes PayloadOf(const Bytes& frame) {
    Bytes payload;
    for (size_t i = 5; i < frame.size(); i += 2) payload.push_back(frame[i]);
    return payload;
}

// "Purge Write(w) Read(r)" for one exchange of n payload and m data bytes.
inline std::string Exchange(size_t n, size_t m) {
    return "Purge Write(" + std::to_string(2 * n + 4) + ") Read(" + std::to_string(2 * m + 4) + ")";
}
inline std::string SendOnly(size_t n) { return "Purge Write(" + std::to_string(2 * n + 4) + ")"; }

// `step` repeated `times` times, separated by spaces.
inline std::string Repeat(const std::string& step, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += (i ? " " : "") + step;
    return out;
}

// Records that name no point of the controller, or reach no value buffer.
struct InvalidRecord {
    const char* what;
    int32_t station;
    int32_t type;
    int32_t index;
};

inline const std::vector<InvalidRecord>& InvalidRecords() {
    static const std::vector<InvalidRecord> records = {
        {"station 0", 0, 'C', 1},
        {"station 128 would start the frame with 0x00", 128, 'C', 1},
        {"station 257 would reach station 1", 257, 'C', 1},
        {"negative station", -1, 'M', 1},
        {"lower-case type", 1, 'c', 1},
        {"unknown type", 1, 'X', 1},
        {"type code with high bits", 1, 0x100 + 'C', 1},
        {"A below its range", 1, 'A', 8},
        {"A above its range", 1, 'A', 13},
        {"B 0", 1, 'B', 0},
        {"B 17", 1, 'B', 17},
        {"C 0", 1, 'C', 0},
        {"C 17 would carry operand 0x80", 1, 'C', 17},
        {"M 0", 1, 'M', 0},
        {"M 257", 1, 'M', 257},
        {"M 300 would reach device word 790", 1, 'M', 300},
        {"M most negative", 1, 'M', INT32_MIN},
        {"O 0", 1, 'O', 0},
        {"O 13", 1, 'O', 13},
        {"S 0", 1, 'S', 0},
        {"S 251", 1, 'S', 251},
        {"S largest", 1, 'S', INT32_MAX},
    };
    return records;
}

#endif  // TZ52DRV_TESTS_PROTOCOL_POINT_TEST_SUPPORT_H
