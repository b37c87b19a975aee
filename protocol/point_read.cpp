// Operation 5: read one point. Each point type has one read command, a row of
// the table below: the payload it sends, the number of data bytes its reply
// carries and how they make the value. ReadPoint runs the command of the
// record's type up to three times and stores the value in the value slot only
// when an attempt succeeds.
#include "driver/handlers.h"
#include "protocol/frame_codec.h"
#include "protocol/point_commands.h"

namespace {

// The read in progress. Like the frame buffers they are module-wide, so reads
// must not overlap.
const PointIo* g_readRecord = nullptr;
uint8_t* g_readValueSlot = nullptr;
uint8_t g_readPayload[1 + kSplitWordBytes];
uint8_t g_readData[kSplitWordBytes];

struct ReadCommand {
    int32_t pointType;
    uint32_t payloadLength;
    uint32_t dataCount;
    void (*buildPayload)(int32_t index, uint8_t* payload);
    uint16_t (*value)(const uint8_t* data);
};

void BuildAPayload(int32_t index, uint8_t* payload) {
    payload[0] = 0x34;
    payload[1] = static_cast<uint8_t>(index + 13);
}

void BuildBPayload(int32_t index, uint8_t* payload) {
    payload[0] = 0x38;
    payload[1] = static_cast<uint8_t>(index);
}

void BuildCPayload(int32_t index, uint8_t* payload) {
    payload[0] = 0x20;
    payload[1] = static_cast<uint8_t>(CPointAddress(index));
}

void BuildMPayload(int32_t index, uint8_t* payload) {
    const MReadOperands operands = SelectMReadOperands(MPointAddress(index));
    payload[0] = operands.opcode;
    payload[1] = operands.operand;
}

void BuildOPayload(int32_t index, uint8_t* payload) {
    payload[0] = 0x2C;
    payload[1] = static_cast<uint8_t>(index);
}

void BuildSPayload(int32_t index, uint8_t* payload) {
    payload[0] = 0x41;
    SplitWord(SPointAddress(index), payload + 1);
}

uint16_t TwoBytesWeighted(const uint8_t* data) { return static_cast<uint16_t>(2 * data[0] + data[1]); }
uint16_t OneByte(const uint8_t* data) { return data[0]; }

constexpr ReadCommand kReadCommands[] = {
    {kPointA, 2, 2, BuildAPayload, TwoBytesWeighted},
    {kPointB, 2, 1, BuildBPayload, OneByte},
    {kPointC, 2, kSplitWordBytes, BuildCPayload, JoinSplitWord},
    {kPointM, 2, kSplitWordBytes, BuildMPayload, JoinSplitWord},
    {kPointO, 2, 1, BuildOPayload, OneByte},
    {kPointS, 1 + kSplitWordBytes, kSplitWordBytes, BuildSPayload, JoinSplitWord},
};

const ReadCommand* FindReadCommand(int32_t pointType) {
    for (const ReadCommand& command : kReadCommands) {
        if (command.pointType == pointType) return &command;
    }
    return nullptr;
}

// One attempt of the current record's read command.
int ReadAttempt() {
    const PointIo& point = *g_readRecord;
    const ReadCommand* command = FindReadCommand(point.pointType);
    if (command == nullptr) return kResultRefused;
    command->buildPayload(point.pointIndex, g_readPayload);
    const int sent = SendFrame(point.station, g_readPayload, command->payloadLength);
    if (sent != kResultOk) return sent;
    const int received = ReceiveFrame(g_readData, command->dataCount);
    if (received != kResultOk) {
        // The high M points report any failed reception as a wrong answer.
        if (point.pointType == kPointM && IsHighMPoint(point.pointIndex)) return kResultRefused;
        return received;
    }
    StoreValueSlot(g_readValueSlot, command->value(g_readData));
    return kResultOk;
}

}  // namespace

int ReadPoint(DriverRequest* request) {
    const PointIo* point = CheckedPointIo(request);
    if (point == nullptr) return kResultRefused;
    g_readRecord = point;
    g_readValueSlot = ValueSlotOf(point->valueBuffer);
    return RunAttempts(ReadAttempt);
}
