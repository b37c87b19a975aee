// Operation 7: write one point. C, M and O points take one request each (a
// word write, or a bit write for O); an S point is a word kept as two bytes,
// written by two byte writes, low byte first. Replies are acknowledgements and their data
// is never used. The host's value buffer is only ever read.
#include "driver/handlers.h"
#include "protocol/frame_codec.h"
#include "protocol/point_commands.h"

namespace {

// The write in progress, separate from the read's. Module-wide, so writes
// must not overlap.
const PointIo* g_writeRecord = nullptr;
const uint8_t* g_writeValueSlot = nullptr;
uint8_t g_writePayload[kMaxPayloadBytes];
uint8_t g_writeAcknowledgement[1];

constexpr uint8_t kWordWrite = 0x0F;
constexpr uint8_t kBitWrite = 0x28;
constexpr uint8_t kByteWrite = 0x47;
constexpr uint32_t kWordWriteLength = 5;
constexpr uint32_t kBitWriteLength = 2;
constexpr uint32_t kByteWriteLength = 5;

// Word write of `word` to the word at `address`: the split word of the value,
// with address bits 8 to 12 and bit 0 riding above it in the third byte, then
// address bits 7 to 1.
void BuildWordWrite(uint16_t word, uint16_t address) {
    g_writePayload[0] = kWordWrite;
    SplitWord(word, g_writePayload + 1);
    g_writePayload[3] = static_cast<uint8_t>(g_writePayload[3] + 8 * ((address >> 8) & 0x1F) +
                                             4 * (address & 1));
    g_writePayload[4] = static_cast<uint8_t>((address >> 1) & 0x7F);
}

// Bit write of bit 0 of `value` to O point `index`.
void BuildBitWrite(int32_t index, uint16_t value) {
    g_writePayload[0] = kBitWrite;
    g_writePayload[1] = static_cast<uint8_t>(2 * index + (value & 1));
}

// Byte write of `byte` to `address`: the split word of the address with bit 0
// of the byte in bit 2 of the third byte, then bits 7 to 1 of the byte.
void BuildByteWrite(uint8_t byte, uint16_t address) {
    g_writePayload[0] = kByteWrite;
    SplitWord(address, g_writePayload + 1);
    g_writePayload[3] = static_cast<uint8_t>(g_writePayload[3] + 4 * (byte & 1));
    g_writePayload[4] = static_cast<uint8_t>(byte >> 1);
}

// Sends the payload and, when that worked, awaits an acknowledgement carrying
// `dataCount` bytes. Returns the first failure unchanged.
int SendAndAcknowledge(uint32_t payloadLength, uint32_t dataCount) {
    const int sent = SendFrame(g_writeRecord->station, g_writePayload, payloadLength);
    if (sent != kResultOk) return sent;
    return ReceiveFrame(g_writeAcknowledgement, dataCount);
}

int WriteCPoint() {
    BuildWordWrite(LoadValueSlot(g_writeValueSlot), CPointAddress(g_writeRecord->pointIndex));
    return SendAndAcknowledge(kWordWriteLength, 0);
}

int WriteMPoint() {
    const int32_t index = g_writeRecord->pointIndex;
    BuildWordWrite(LoadValueSlot(g_writeValueSlot), MPointAddress(index));
    const int sent = SendFrame(g_writeRecord->station, g_writePayload, kWordWriteLength);
    // The high M points report a failed send as a refusal.
    if (sent != kResultOk) return IsHighMPoint(index) ? kResultRefused : sent;
    return ReceiveFrame(g_writeAcknowledgement, 0);
}

int WriteOPoint() {
    BuildBitWrite(g_writeRecord->pointIndex, LoadValueSlot(g_writeValueSlot));
    return SendAndAcknowledge(kBitWriteLength, 0);
}

// The low byte goes first, to the byte after the point's address; the high
// byte second, to the address itself, only once the low byte was taken. The
// value slot is read afresh for each byte.
int WriteSPoint() {
    const uint16_t highByteAddress = SPointAddress(g_writeRecord->pointIndex);
    const uint16_t lowByteAddress = static_cast<uint16_t>(highByteAddress + 1);
    BuildByteWrite(static_cast<uint8_t>(LoadValueSlot(g_writeValueSlot) & 0xFF), lowByteAddress);
    const int low = SendAndAcknowledge(kByteWriteLength, 1);
    if (low != kResultOk) return low;
    BuildByteWrite(static_cast<uint8_t>(LoadValueSlot(g_writeValueSlot) >> 8), highByteAddress);
    return SendAndAcknowledge(kByteWriteLength, 1);
}

// A and B points cannot be written.
int RefuseWrite() { return kResultRefused; }

struct WriteCommand {
    int32_t pointType;
    int (*attempt)();
};

constexpr WriteCommand kWriteCommands[] = {
    {kPointA, RefuseWrite}, {kPointB, RefuseWrite}, {kPointC, WriteCPoint},
    {kPointM, WriteMPoint}, {kPointO, WriteOPoint}, {kPointS, WriteSPoint},
};

}  // namespace

int WritePoint(DriverRequest* request) {
    const PointIo* point = CheckedPointIo(request);
    if (point == nullptr) return kResultRefused;
    for (const WriteCommand& command : kWriteCommands) {
        if (command.pointType != point->pointType) continue;
        g_writeRecord = point;
        g_writeValueSlot = ValueSlotOf(point->valueBuffer);
        return RunAttempts(command.attempt);
    }
    return kResultRefused;
}
