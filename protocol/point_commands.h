// What the point reads and the point writes have in common: the split word,
// the device address of each addressable point type, the value slot of the
// host's value buffer and the attempt loop. The read and the write of the same
// point must address the same controller memory, so each formula lives here
// once.
#ifndef TZ52DRV_PROTOCOL_POINT_COMMANDS_H
#define TZ52DRV_PROTOCOL_POINT_COMMANDS_H

#include <cstdint>

#include "driver/driver_api.h"

// ---- Split word -------------------------------------------------------------
// A 16-bit quantity carried as three 7-bit bytes, since the line code carries
// only 0x00 to 0x7F: bits 15 to 9; bits 7 to 1; bit 8 in bit 1 and bit 0 in
// bit 0.
constexpr uint32_t kSplitWordBytes = 3;

// Stores the three bytes of `word` at bytes[0..2].
void SplitWord(uint16_t word, uint8_t* bytes);

// Takes three bytes back into a word, modulo 65536. A third byte above 3 goes
// through the same arithmetic (its bit 1 and up weigh 256 each).
uint16_t JoinSplitWord(const uint8_t* bytes);

// ---- Device addresses (valid point indices only) ----------------------------
// C points: words at 96 to 126.
uint16_t CPointAddress(int32_t index);

// M points: words at 144 to 206 for indices 1 to 32, and at 256 to 702 above;
// the controller memory in between is never addressed.
constexpr int32_t kLastLowMPoint = 32;
inline bool IsHighMPoint(int32_t index) { return index > kLastLowMPoint; }
uint16_t MPointAddress(int32_t index);

// An M read names its word by an opcode for the 128-word bank it lies in and
// a 7-bit operand within that bank.
struct MReadOperands {
    uint8_t opcode;
    uint8_t operand;
};
MReadOperands SelectMReadOperands(uint16_t address);

// S points: bytes counting down from 0xB7F9 (index 1) to 0xB607 (index 250).
// A read fetches the word at this address; a write stores the value's high
// byte here and its low byte at the next address.
uint16_t SPointAddress(int32_t index);

// ---- Value slot ----------------------------------------------------------------
// The point value crosses the host boundary as the little-endian word at byte
// 2 of the host's value buffer; no other byte of the buffer is ours.
constexpr uint32_t kValueSlotOffset = 2;
constexpr uint32_t kValueSlotSize = 2;
inline uint8_t* ValueSlotOf(uint8_t* valueBuffer) { return valueBuffer + kValueSlotOffset; }
uint16_t LoadValueSlot(const uint8_t* slot);
void StoreValueSlot(uint8_t* slot, uint16_t value);

// ---- Parameters and attempts -------------------------------------------------
// The PointIo of a read or write request when the request has a context and
// the record names a real point and has a value buffer; null otherwise (then
// nothing may be sent).
const PointIo* CheckedPointIo(const DriverRequest* request);

// Runs `attempt` up to three times, back to back, stopping at the first 0.
// Returns the last attempt's result.
constexpr int kPointAttempts = 3;
int RunAttempts(int (*attempt)());

#endif  // TZ52DRV_PROTOCOL_POINT_COMMANDS_H
