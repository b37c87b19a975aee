#include "protocol/point_commands.h"

#include "driver/point_ranges.h"

void SplitWord(uint16_t word, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(word >> 9);
    bytes[1] = static_cast<uint8_t>((word >> 1) & 0x7F);
    bytes[2] = static_cast<uint8_t>(2 * ((word >> 8) & 1) + (word & 1));
}

uint16_t JoinSplitWord(const uint8_t* bytes) {
    const uint32_t word = 512u * bytes[0] + 256u * (bytes[2] >> 1) + 2u * bytes[1] + (bytes[2] & 1u);
    return static_cast<uint16_t>(word);
}

uint16_t CPointAddress(int32_t index) { return static_cast<uint16_t>(2 * index + 94); }

uint16_t MPointAddress(int32_t index) {
    return static_cast<uint16_t>(IsHighMPoint(index) ? 2 * index + 190 : 2 * index + 142);
}

MReadOperands SelectMReadOperands(uint16_t address) {
    const uint8_t wordInBank = static_cast<uint8_t>((address >> 1) & 0x7F);
    if (address >= 512) return MReadOperands{0x4C, wordInBank};
    if (address >= 256) return MReadOperands{0x48, wordInBank};
    // Below 256 the operand is the address less 128, not half of it.
    return MReadOperands{0x24, static_cast<uint8_t>(address & 0x7F)};
}

uint16_t SPointAddress(int32_t index) { return static_cast<uint16_t>(0xB7FB - 2 * index); }

uint16_t LoadValueSlot(const uint8_t* slot) {
    return static_cast<uint16_t>(slot[0] | (slot[1] << 8));
}

void StoreValueSlot(uint8_t* slot, uint16_t value) {
    slot[0] = static_cast<uint8_t>(value & 0xFF);
    slot[1] = static_cast<uint8_t>(value >> 8);
}

const PointIo* CheckedPointIo(const DriverRequest* request) {
    // Without a context there is no port to send on: a refusal, as for every
    // other operation, not three failed attempts.
    if (request->context == nullptr) return nullptr;
    const PointIo* point = static_cast<const PointIo*>(request->parameters);
    if (point == nullptr || point->valueBuffer == nullptr) return nullptr;
    // Outside these ranges the formulas give bytes the line code cannot carry
    // or address controller memory that belongs to no point.
    if (!IsValidPoint(point->station, point->pointType, point->pointIndex)) return nullptr;
    return point;
}

int RunAttempts(int (*attempt)()) {
    int result = attempt();
    for (int made = 1; made < kPointAttempts && result != kResultOk; ++made) result = attempt();
    return result;
}
