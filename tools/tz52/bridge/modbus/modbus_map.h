// The bridge's fixed Modbus map: which point each reference of each Modbus
// table is, and the judgement of (unit, function, start, quantity) into the
// points it names or the exception that answers it. References are 1-based
// as Modbus tools show them; the protocol address is the reference minus one.
// The unit identifier is the station.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_MAP_H
#define TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_MAP_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum class ModbusTable { kCoils, kDiscreteInputs, kInputRegisters, kHoldingRegisters };

// One run of points in one table: points firstIndex..lastIndex of the type
// at references firstReference onwards.
struct ModbusMapRow {
    ModbusTable table;
    char pointType;
    int32_t firstIndex;
    int32_t lastIndex;
    uint32_t firstReference;
};

extern const ModbusMapRow kModbusMap[];
extern const size_t kModbusMapRows;

// Function codes the map serves.
enum : uint8_t {
    kModbusReadCoils = 1,
    kModbusReadDiscreteInputs = 2,
    kModbusReadHoldingRegisters = 3,
    kModbusReadInputRegisters = 4,
    kModbusWriteSingleCoil = 5,
    kModbusWriteSingleRegister = 6,
    kModbusWriteMultipleCoils = 15,
    kModbusWriteMultipleRegisters = 16,
};

// Exception codes the bridge answers with.
enum : uint8_t {
    kModbusIllegalFunction = 1,
    kModbusIllegalDataAddress = 2,
    kModbusIllegalDataValue = 3,
    kModbusServerDeviceFailure = 4,
    kModbusServerDeviceBusy = 6,
    kModbusGatewayPathUnavailable = 10,
    kModbusGatewayTargetFailed = 11,
};

// What a function does: its table, whether it writes, and the quantities it
// allows (the single writes: always one).
struct ModbusFunction {
    uint8_t code;
    ModbusTable table;
    bool write;
    uint16_t leastQuantity;
    uint16_t mostQuantity;
};

// The function `code` of the map, or nullptr for one it does not serve.
const ModbusFunction* FindModbusFunction(uint8_t code);

struct ModbusPoint {
    int32_t station = 0;
    int32_t pointType = 0;
    int32_t pointIndex = 0;
};

inline bool operator==(const ModbusPoint& a, const ModbusPoint& b) {
    return a.station == b.station && a.pointType == b.pointType && a.pointIndex == b.pointIndex;
}

// The point at protocol `address` of `table`; false when the map has none.
bool ModbusMapPoint(ModbusTable table, uint16_t address, ModbusPoint* point);

// The points of `quantity` addresses from `start` for `function` at `unit`,
// in address order; 0, or the exception code that answers the request:
// a unit outside 1..127 10, a function the map does not serve 1, a quantity
// the function does not allow 3, a range touching an unmapped reference 2.
uint8_t ModbusMapRange(uint8_t unit, uint8_t function, uint16_t start, uint16_t quantity,
                       std::vector<ModbusPoint>* points);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_MAP_H
