#include "tools/tz52/bridge/modbus/modbus_map.h"

#include "driver/driver_api.h"

const ModbusMapRow kModbusMap[] = {
    {ModbusTable::kCoils, kPointO, 1, 12, 1},
    {ModbusTable::kDiscreteInputs, kPointB, 1, 16, 1},
    {ModbusTable::kInputRegisters, kPointA, 9, 12, 9},
    {ModbusTable::kHoldingRegisters, kPointM, 1, 256, 1},
    {ModbusTable::kHoldingRegisters, kPointS, 1, 250, 1001},
    {ModbusTable::kHoldingRegisters, kPointC, 1, 16, 2001},
};
const size_t kModbusMapRows = sizeof kModbusMap / sizeof kModbusMap[0];

namespace {

// Read quantities as far as a reply of 253 bytes holds them; writes as far
// as a request of 253 bytes does.
const ModbusFunction kFunctions[] = {
    {kModbusReadCoils, ModbusTable::kCoils, false, 1, 2000},
    {kModbusReadDiscreteInputs, ModbusTable::kDiscreteInputs, false, 1, 2000},
    {kModbusReadHoldingRegisters, ModbusTable::kHoldingRegisters, false, 1, 125},
    {kModbusReadInputRegisters, ModbusTable::kInputRegisters, false, 1, 125},
    {kModbusWriteSingleCoil, ModbusTable::kCoils, true, 1, 1},
    {kModbusWriteSingleRegister, ModbusTable::kHoldingRegisters, true, 1, 1},
    {kModbusWriteMultipleCoils, ModbusTable::kCoils, true, 1, 1968},
    {kModbusWriteMultipleRegisters, ModbusTable::kHoldingRegisters, true, 1, 123},
};

}  // namespace

const ModbusFunction* FindModbusFunction(uint8_t code) {
    for (const ModbusFunction& function : kFunctions) {
        if (function.code == code) return &function;
    }
    return nullptr;
}

bool ModbusMapPoint(ModbusTable table, uint16_t address, ModbusPoint* point) {
    const uint32_t reference = uint32_t{address} + 1;
    for (const ModbusMapRow& row : kModbusMap) {
        if (row.table != table || reference < row.firstReference) continue;
        const uint32_t offset = reference - row.firstReference;
        if (offset > static_cast<uint32_t>(row.lastIndex - row.firstIndex)) continue;
        point->pointType = row.pointType;
        point->pointIndex = row.firstIndex + static_cast<int32_t>(offset);
        return true;
    }
    return false;
}

uint8_t ModbusMapRange(uint8_t unit, uint8_t function, uint16_t start, uint16_t quantity,
                       std::vector<ModbusPoint>* points) {
    points->clear();
    if (unit < 1 || unit > 127) return kModbusGatewayPathUnavailable;
    const ModbusFunction* facts = FindModbusFunction(function);
    if (facts == nullptr) return kModbusIllegalFunction;
    if (quantity < facts->leastQuantity || quantity > facts->mostQuantity) return kModbusIllegalDataValue;
    if (uint32_t{start} + quantity > 0x10000) return kModbusIllegalDataAddress;
    points->reserve(quantity);
    for (uint32_t address = start; address < uint32_t{start} + quantity; ++address) {
        ModbusPoint point;
        if (!ModbusMapPoint(facts->table, static_cast<uint16_t>(address), &point)) {
            points->clear();
            return kModbusIllegalDataAddress;
        }
        point.station = unit;
        points->push_back(point);
    }
    return 0;
}
