// The bridge's Modbus TCP codec: request bytes as a client sends them, the
// judgement (read, write, exception, close) and the reply bytes, written
// out by hand from the Modbus TCP frame; and the map's edges.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tz52/bridge/modbus/modbus_map.h"
#include "tools/tz52/bridge/modbus/modbus_request.h"

namespace {

std::vector<uint8_t> Bytes(const char* hex) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (const char* c = hex; *c != '\0'; ++c) {
        if (std::isxdigit(static_cast<unsigned char>(*c))) digits += *c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Name(const ModbusPoint& point) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d%c%03d", point.station, static_cast<char>(point.pointType),
                  point.pointIndex);
    return text;
}

// "001M001..001M125": each run of consecutive points as its first and last.
std::string Names(const std::vector<ModbusPoint>& points) {
    std::string text;
    for (size_t i = 0; i < points.size();) {
        size_t last = i;
        while (last + 1 < points.size() && points[last + 1].station == points[i].station &&
               points[last + 1].pointType == points[i].pointType &&
               points[last + 1].pointIndex == points[last].pointIndex + 1) {
            ++last;
        }
        if (!text.empty()) text += ' ';
        text += last == i ? Name(points[i]) : Name(points[i]) + ".." + Name(points[last]);
        i = last + 1;
    }
    return text;
}

// Every point may be written but 001M002.
bool MayWrite(const ModbusPoint& point) {
    return !(point.station == 1 && point.pointType == 'M' && point.pointIndex == 2);
}

struct RequestRow {
    const char* what;
    const char* request;
    ModbusVerdict verdict;
    const char* points;             // when a read or a write
    std::vector<uint16_t> values;   // a read: the values replied; a write: the values judged
    const char* reply;              // the reply's bytes; "" for none
};

constexpr ModbusVerdict kRead = ModbusVerdict::kRead;
constexpr ModbusVerdict kWrite = ModbusVerdict::kWrite;
constexpr ModbusVerdict kException = ModbusVerdict::kException;
constexpr ModbusVerdict kClose = ModbusVerdict::kClose;
constexpr ModbusVerdict kIncomplete = ModbusVerdict::kIncomplete;

TEST(ModbusRequest, JudgesEachFrameAndBuildsItsReply) {
    const RequestRow rows[] = {
        // Each table of the map, each function.
        {"read coils O001..O012", "0001 0000 0006 01 01 0000 000C", kRead, "001O001..001O012",
         {1, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 1}, "0001 0000 0005 01 01 02 0D 09"},
        {"read discrete inputs B001..B016, any value but 0 on", "0002 0000 0006 05 02 0000 0010", kRead,
         "005B001..005B016", {127, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "0002 0000 0005 05 02 02 01 80"},
        {"read input registers A009..A012", "0003 0000 0006 7F 04 0008 0004", kRead, "127A009..127A012",
         {381, 0, 1, 256}, "0003 0000 000B 7F 04 08 017D 0000 0001 0100"},
        {"read holding registers M255..M256", "0004 0000 0006 01 03 00FE 0002", kRead, "001M255..001M256",
         {0xBEEF, 0x0102}, "0004 0000 0007 01 03 04 BEEF 0102"},
        {"read holding register S001 at 1001", "0005 0000 0006 02 03 03E8 0001", kRead, "002S001", {65535},
         "0005 0000 0005 02 03 02 FFFF"},
        {"read holding register C016 at 2016", "0006 0000 0006 03 03 07DF 0001", kRead, "003C016", {7},
         "0006 0000 0005 03 03 02 0007"},
        {"read 125 holding registers, the most", "0007 0000 0006 01 03 0000 007D", kRead, "001M001..001M125", {},
         ""},
        {"write single coil O012 on", "0008 0000 0006 01 05 000B FF00", kWrite, "001O012", {1},
         "0008 0000 0006 01 05 000B FF00"},
        {"write single coil O001 off", "0009 0000 0006 01 05 0000 0000", kWrite, "001O001", {0},
         "0009 0000 0006 01 05 0000 0000"},
        {"write single register C001", "000A 0000 0006 09 06 07D0 1234", kWrite, "009C001", {0x1234},
         "000A 0000 0006 09 06 07D0 1234"},
        {"write multiple coils O001..O010", "000B 0000 0009 01 0F 0000 000A 02 CD 01", kWrite, "001O001..001O010",
         {1, 0, 1, 1, 0, 0, 1, 1, 1, 0}, "000B 0000 0006 01 0F 0000 000A"},
        {"write multiple registers S249..S250", "000C 0000 000B 01 10 04E0 0002 04 0001 FFFF", kWrite,
         "001S249..001S250", {1, 0xFFFF}, "000C 0000 0006 01 10 04E0 0002"},
        {"a frame followed by the next one's bytes", "000D 0000 0006 01 03 0000 0001 000E 0000", kRead, "001M001",
         {5}, "000D 0000 0005 01 03 02 0005"},
        // 10: a unit that is no station.
        {"unit 0", "0010 0000 0006 00 03 0000 0001", kException, "", {}, "0010 0000 0003 00 83 0A"},
        {"unit 128", "0011 0000 0006 80 03 0000 0001", kException, "", {}, "0011 0000 0003 80 83 0A"},
        {"unit 255", "0012 0000 0006 FF 01 0000 0001", kException, "", {}, "0012 0000 0003 FF 81 0A"},
        // 1: a function the map does not serve.
        {"function 43", "0013 0000 0005 01 2B 0E 01 00", kException, "", {}, "0013 0000 0003 01 AB 01"},
        {"function 23", "0014 0000 0002 01 17", kException, "", {}, "0014 0000 0003 01 97 01"},
        {"function 7", "0015 0000 0002 01 07", kException, "", {}, "0015 0000 0003 01 87 01"},
        // 2: a range touching a reference outside the map.
        {"coil 13", "0020 0000 0006 01 01 000C 0001", kException, "", {}, "0020 0000 0003 01 81 02"},
        {"discrete input 17", "0021 0000 0006 01 02 0010 0001", kException, "", {}, "0021 0000 0003 01 82 02"},
        {"input registers 8..9", "0022 0000 0006 01 04 0007 0002", kException, "", {}, "0022 0000 0003 01 84 02"},
        {"input registers 12..13", "0023 0000 0006 01 04 000B 0002", kException, "", {}, "0023 0000 0003 01 84 02"},
        {"holding registers 256..257", "0024 0000 0006 01 03 00FF 0002", kException, "", {},
         "0024 0000 0003 01 83 02"},
        {"holding register 1000", "0025 0000 0006 01 03 03E7 0001", kException, "", {}, "0025 0000 0003 01 83 02"},
        {"holding registers 2016..2017", "0026 0000 0006 01 03 07DF 0002", kException, "", {},
         "0026 0000 0003 01 83 02"},
        {"2000 coils, allowed, past the map", "0027 0000 0006 01 01 0000 07D0", kException, "", {},
         "0027 0000 0003 01 81 02"},
        {"a range past address 65535", "0028 0000 0006 01 03 FFFF 0002", kException, "", {},
         "0028 0000 0003 01 83 02"},
        {"write single coil 13", "0029 0000 0006 01 05 000C FF00", kException, "", {}, "0029 0000 0003 01 85 02"},
        {"write to a point not allowed", "002A 0000 0006 01 06 0001 0005", kException, "", {},
         "002A 0000 0003 01 86 02"},
        {"multiple write whose second point is not allowed", "002B 0000 000B 01 10 0000 0002 04 0001 0002",
         kException, "", {}, "002B 0000 0003 01 90 02"},
        // 3: a quantity, byte count or value the function does not allow.
        {"read 0 registers", "0030 0000 0006 01 03 0000 0000", kException, "", {}, "0030 0000 0003 01 83 03"},
        {"read 126 registers", "0031 0000 0006 01 03 0000 007E", kException, "", {}, "0031 0000 0003 01 83 03"},
        {"read 2001 coils", "0032 0000 0006 01 01 0000 07D1", kException, "", {}, "0032 0000 0003 01 81 03"},
        {"read 2001 discrete inputs", "0033 0000 0006 01 02 0000 07D1", kException, "", {},
         "0033 0000 0003 01 82 03"},
        {"read 126 input registers", "0034 0000 0006 01 04 0008 007E", kException, "", {},
         "0034 0000 0003 01 84 03"},
        {"write 1969 coils", "0035 0000 0008 01 0F 0000 07B1 01 FF", kException, "", {}, "0035 0000 0003 01 8F 03"},
        {"write 124 registers", "0036 0000 0009 01 10 0000 007C 02 0001", kException, "", {},
         "0036 0000 0003 01 90 03"},
        {"write 0 registers", "0037 0000 0007 01 10 0000 0000 00", kException, "", {}, "0037 0000 0003 01 90 03"},
        {"byte count short of the quantity", "0038 0000 0009 01 10 0000 0002 02 0001", kException, "", {},
         "0038 0000 0003 01 90 03"},
        {"coil byte count past the quantity", "0039 0000 0009 01 0F 0000 0008 02 FF 00", kException, "", {},
         "0039 0000 0003 01 8F 03"},
        {"single coil value 0x0001", "003A 0000 0006 01 05 0000 0001", kException, "", {},
         "003A 0000 0003 01 85 03"},
        {"single coil value 0xFFFF", "003B 0000 0006 01 05 0000 FFFF", kException, "", {},
         "003B 0000 0003 01 85 03"},
        // A frame that cannot be answered closes the connection.
        {"protocol identifier 1", "0040 0001 0006 01 03 0000 0001", kClose, "", {}, ""},
        {"protocol identifier known wrong from 4 bytes", "0041 0100", kClose, "", {}, ""},
        {"length field 1", "0042 0000 0001 01", kClose, "", {}, ""},
        {"length field 0", "0043 0000 0000", kClose, "", {}, ""},
        {"length field 255", "0044 0000 00FF", kClose, "", {}, ""},
        {"length field a byte over the read's fields", "0045 0000 0007 01 03 0000 0001 00", kClose, "", {}, ""},
        {"length field a byte short of the read's fields", "0046 0000 0005 01 03 0000 00", kClose, "", {}, ""},
        {"byte count past the bytes present", "0047 0000 0009 01 10 0000 0002 04 0001", kClose, "", {}, ""},
        {"multiple write without a byte count", "0048 0000 0006 01 10 0000 0001", kClose, "", {}, ""},
        // Not all of it yet.
        {"nothing", "", kIncomplete, "", {}, ""},
        {"header only", "0050 0000 0006 01", kIncomplete, "", {}, ""},
        {"a byte short", "0051 0000 0006 01 03 0000 00", kIncomplete, "", {}, ""},
    };
    for (const RequestRow& row : rows) {
        SCOPED_TRACE(row.what);
        const std::vector<uint8_t> bytes = Bytes(row.request);
        const ModbusRequest request = ParseModbusRequest(bytes.data(), bytes.size(), &MayWrite);
        if (request.verdict != row.verdict) {
            ADD_FAILURE() << "verdict " << static_cast<int>(request.verdict) << ", not "
                          << static_cast<int>(row.verdict) << " (" << request.reason << ")";
            continue;
        }
        EXPECT_EQ(Names(request.points), row.points);
        std::vector<uint8_t> reply;
        if (row.verdict == kRead) {
            EXPECT_EQ(request.frameBytes, 6u + bytes[5]);
            if (!row.values.empty()) reply = ModbusReadReply(request, row.values);
        } else if (row.verdict == kWrite) {
            EXPECT_EQ(request.values, row.values);
            reply = ModbusWriteReply(request);
        } else if (row.verdict == kException) {
            EXPECT_EQ(request.frameBytes, bytes.size());
            reply = ModbusExceptionReply(request);
        }
        EXPECT_EQ(reply, Bytes(row.reply));
    }
}

struct MapRow {
    ModbusTable table;
    uint16_t address;
    const char* point;  // "" for none
};

TEST(ModbusMap, EachRunEndsWhereItsPointsEnd) {
    const MapRow rows[] = {
        {ModbusTable::kCoils, 0, "000O001"},           {ModbusTable::kCoils, 11, "000O012"},
        {ModbusTable::kCoils, 12, ""},                 {ModbusTable::kDiscreteInputs, 15, "000B016"},
        {ModbusTable::kDiscreteInputs, 16, ""},        {ModbusTable::kInputRegisters, 7, ""},
        {ModbusTable::kInputRegisters, 8, "000A009"},  {ModbusTable::kInputRegisters, 11, "000A012"},
        {ModbusTable::kInputRegisters, 12, ""},        {ModbusTable::kInputRegisters, 0, ""},
        {ModbusTable::kHoldingRegisters, 0, "000M001"}, {ModbusTable::kHoldingRegisters, 255, "000M256"},
        {ModbusTable::kHoldingRegisters, 256, ""},     {ModbusTable::kHoldingRegisters, 999, ""},
        {ModbusTable::kHoldingRegisters, 1000, "000S001"}, {ModbusTable::kHoldingRegisters, 1249, "000S250"},
        {ModbusTable::kHoldingRegisters, 1250, ""},    {ModbusTable::kHoldingRegisters, 1999, ""},
        {ModbusTable::kHoldingRegisters, 2000, "000C001"}, {ModbusTable::kHoldingRegisters, 2015, "000C016"},
        {ModbusTable::kHoldingRegisters, 2016, ""},    {ModbusTable::kHoldingRegisters, 65535, ""},
    };
    for (const MapRow& row : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(row.table)) + " " + std::to_string(row.address));
        ModbusPoint point;
        const bool found = ModbusMapPoint(row.table, row.address, &point);
        EXPECT_EQ(found ? Name(point) : "", row.point);
    }
}

}  // namespace
