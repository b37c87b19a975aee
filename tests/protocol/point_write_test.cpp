// Point writes over the fake line: the requests of every writable type, the
// two exchanges of an S point, the attempts and their results, the refused
// types and records, and a value buffer that no write ever changes.
#include <gtest/gtest.h>

#include <optional>

#include "tests/protocol/point_test_support.h"

namespace {

class PointWrite : public ::testing::Test {
protected:
    void SetUp() override { FakeLine().Reset(); }
};

const Bytes kAck = ReplyFrame({});
const Bytes kByteAck = ReplyFrame({0x00});

// The acknowledgement an exchange of this type waits for.
Bytes AckFor(int32_t type) { return type == 'S' ? kByteAck : kAck; }

// The payloads a write of `value` sends, in order, each acknowledged.
struct WriteExample {
    int32_t type;
    int32_t index;
    uint16_t value;
    std::vector<Bytes> payloads;
};

TEST_F(PointWrite, EachTypeSendsItsPayloadsAndLeavesTheBufferAlone) {
    const WriteExample examples[] = {
        {'C', 1, 0x1234, {{0x0F, 0x09, 0x1A, 0x00, 0x30}}},
        {'C', 16, 0xFFFF, {{0x0F, 0x7F, 0x7F, 0x03, 0x3F}}},
        {'C', 2, 0x0100, {{0x0F, 0x00, 0x00, 0x02, 0x31}}},
        {'C', 16, 0x0001, {{0x0F, 0x00, 0x00, 0x01, 0x3F}}},
        {'M', 1, 0x1234, {{0x0F, 0x09, 0x1A, 0x00, 0x48}}},
        {'M', 32, 0xFFFF, {{0x0F, 0x7F, 0x7F, 0x03, 0x67}}},
        {'M', 33, 0x1234, {{0x0F, 0x09, 0x1A, 0x08, 0x00}}},
        {'M', 160, 0x8000, {{0x0F, 0x40, 0x00, 0x08, 0x7F}}},
        {'M', 161, 0x0101, {{0x0F, 0x00, 0x00, 0x13, 0x00}}},
        {'M', 256, 0xABCD, {{0x0F, 0x55, 0x66, 0x13, 0x5F}}},
        {'O', 1, 0x0001, {{0x28, 0x03}}},
        {'O', 1, 0x1234, {{0x28, 0x02}}},
        {'O', 12, 0xFFFF, {{0x28, 0x19}}},
        {'O', 12, 0xFFFE, {{0x28, 0x18}}},
        {'O', 5, 0x0002, {{0x28, 0x0A}}},
        {'S', 1, 0x1234, {{0x47, 0x5B, 0x7D, 0x02, 0x1A}, {0x47, 0x5B, 0x7C, 0x03, 0x09}}},
        {'S', 125, 0x00FF, {{0x47, 0x5B, 0x01, 0x06, 0x7F}, {0x47, 0x5B, 0x00, 0x03, 0x00}}},
        {'S', 126, 0x0100, {{0x47, 0x5B, 0x00, 0x02, 0x00}, {0x47, 0x5B, 0x7F, 0x05, 0x00}}},
        {'S', 127, 0x0000, {{0x47, 0x5B, 0x7F, 0x00, 0x00}, {0x47, 0x5B, 0x7E, 0x01, 0x00}}},
        {'S', 250, 0xABCD, {{0x47, 0x5B, 0x04, 0x04, 0x66}, {0x47, 0x5B, 0x03, 0x05, 0x55}}},
    };
    for (const WriteExample& e : examples) {
        const std::string what = std::string(1, static_cast<char>(e.type)) + std::to_string(e.index);
        FakeLine().Reset();
        for (size_t i = 0; i < e.payloads.size(); ++i) FakeLine().QueueRead(AckFor(e.type));
        PointCall call(1, e.type, e.index);
        call.SetSlot(e.value);
        const auto before = call.buffer;
        ASSERT_EQ(call.Call(kOpWritePoint), 0) << what;
        const size_t ackData = e.type == 'S' ? 1 : 0;
        EXPECT_EQ(FakeLine().Sequence(), Repeat(Exchange(e.payloads[0].size(), ackData),
                                                static_cast<int>(e.payloads.size())))
            << what;
        std::vector<Bytes> sent;
        for (const Bytes& frame : FakeLine().Writes()) sent.push_back(PayloadOf(frame));
        EXPECT_EQ(sent, e.payloads) << what;
        EXPECT_EQ(call.buffer, before) << what;
    }
}

TEST_F(PointWrite, WholeFramesOnTheLine) {
    struct Case {
        int32_t type;
        int32_t index;
        uint16_t value;
        std::vector<Bytes> frames;
    } cases[] = {
        {'C', 1, 0x1234,
         {{0x81, 0x7E, 0x01, 0x7E, 0x70, 0x0F, 0x76, 0x09, 0x65, 0x1A, 0x7F, 0x00, 0x4F, 0x30}}},
        {'M', 256, 0xABCD,
         {{0x81, 0x7E, 0x01, 0x7E, 0x70, 0x0F, 0x2A, 0x55, 0x19, 0x66, 0x6C, 0x13, 0x20, 0x5F}}},
        {'O', 1, 0x0001, {{0x81, 0x7E, 0x01, 0x7E, 0x57, 0x28, 0x7C, 0x03}}},
        {'S', 1, 0x1234,
         {{0x81, 0x7E, 0x01, 0x7E, 0x38, 0x47, 0x24, 0x5B, 0x02, 0x7D, 0x7D, 0x02, 0x65, 0x1A},
          {0x81, 0x7E, 0x01, 0x7E, 0x38, 0x47, 0x24, 0x5B, 0x03, 0x7C, 0x7C, 0x03, 0x76, 0x09}}},
    };
    for (const Case& c : cases) {
        FakeLine().Reset();
        for (size_t i = 0; i < c.frames.size(); ++i) FakeLine().QueueRead(AckFor(c.type));
        PointCall call(1, c.type, c.index);
        call.SetSlot(c.value);
        EXPECT_EQ(call.Call(kOpWritePoint), 0) << c.type;
        EXPECT_EQ(FakeLine().Writes(), c.frames) << c.type;
    }
}

TEST_F(PointWrite, AAndBAreRefusedWithoutTraffic) {
    for (int32_t type : {'A', 'B'}) {
        for (bool open : {true, false}) {
            FakeLine().Reset();
            PointCall call(1, type, type == 'A' ? 9 : 1);
            if (!open) call.context.handle = nullptr;
            const auto before = call.buffer;
            EXPECT_EQ(call.Call(kOpWritePoint), 1) << type << open;
            EXPECT_TRUE(FakeLine().calls().empty()) << type << open;
            EXPECT_EQ(call.buffer, before) << type << open;
        }
    }
}

// What the line does: the write results in order (7 a failed call), then the
// replies in order (nullopt: silence).
struct WriteFailureCase {
    const char* what;
    int32_t type;
    int32_t index;
    std::vector<int> writeResults;
    std::vector<std::optional<Bytes>> replies;
    std::string sequence;
    int result;
};

TEST_F(PointWrite, AttemptsAndTheirResults) {
    const std::string word = Exchange(5, 0);
    const std::string bit = Exchange(2, 0);
    const std::string sByte = Exchange(5, 1);
    const std::string s = sByte + " " + sByte;
    const std::optional<Bytes> silent;
    const Bytes damagedAck = DamagedReplyFrame({});
    const Bytes damagedByteAck = DamagedReplyFrame({0x00});
    const std::vector<int> sendsFail = {7, 7, 7};
    const std::vector<std::optional<Bytes>> silence = {silent, silent, silent};
    const WriteFailureCase cases[] = {
        {"send fails every time, C", 'C', 1, sendsFail, {}, Repeat(SendOnly(5), 3), 2},
        {"send fails every time, O", 'O', 1, sendsFail, {}, Repeat(SendOnly(2), 3), 2},
        {"send fails every time, M 32", 'M', 32, sendsFail, {}, Repeat(SendOnly(5), 3), 2},
        {"send fails every time, M 33 gives 1", 'M', 33, sendsFail, {}, Repeat(SendOnly(5), 3), 1},
        {"short send every time, M 256 gives 1", 'M', 256, {2, 2, 2}, {}, Repeat(SendOnly(5), 3), 1},
        {"send fails every time, S tries only the low byte", 'S', 1, sendsFail, {},
         Repeat(SendOnly(5), 3), 2},
        {"silent line, C", 'C', 1, {}, silence, Repeat(word, 3), 2},
        {"silent line, M 33 keeps 2", 'M', 33, {}, silence, Repeat(word, 3), 2},
        {"silent line, O", 'O', 12, {}, silence, Repeat(bit, 3), 2},
        {"silent line, S stops at the first reception", 'S', 1, {}, silence, Repeat(sByte, 3), 2},
        {"damaged every time, M 100", 'M', 100, {}, {damagedAck, damagedAck, damagedAck},
         Repeat(word, 3), 1},
        {"damaged once, C", 'C', 1, {}, {damagedAck, kAck}, Repeat(word, 2), 0},
        {"damaged once, M 200", 'M', 200, {}, {damagedAck, kAck}, Repeat(word, 2), 0},
        {"damaged once, O", 'O', 3, {}, {damagedAck, kAck}, Repeat(bit, 2), 0},
        {"S, damaged low-byte ack once", 'S', 9, {}, {damagedByteAck, kByteAck, kByteAck},
         Repeat(sByte, 3), 0},
        {"S, damaged high-byte ack once", 'S', 9, {}, {kByteAck, damagedByteAck, kByteAck, kByteAck},
         Repeat(sByte, 4), 0},
        {"S, high-byte send fails once: both bytes again", 'S', 200, {0, 7}, {kByteAck, kByteAck, kByteAck},
         sByte + " " + SendOnly(5) + " " + s, 0},
        {"S, high-byte ack silent every time", 'S', 9, {},
         {kByteAck, silent, kByteAck, silent, kByteAck, silent}, Repeat(s, 3), 2},
        {"S, high-byte ack damaged every time", 'S', 9, {},
         {kByteAck, damagedByteAck, kByteAck, damagedByteAck, kByteAck, damagedByteAck}, Repeat(s, 3), 1},
    };
    for (const WriteFailureCase& k : cases) {
        FakeLine().Reset();
        // A short write (2) takes 3 bytes; a failed call (7) takes none.
        for (int result : k.writeResults)
            FakeLine().QueueWrite(result, result == 2 ? std::optional<uint32_t>(3u) : std::nullopt);
        for (const std::optional<Bytes>& reply : k.replies) {
            if (reply) FakeLine().QueueRead(*reply);
            else FakeLine().QueueReadFailure();
        }
        PointCall call(1, k.type, k.index);
        call.SetSlot(0xBEEF);
        const auto before = call.buffer;
        EXPECT_EQ(call.Call(kOpWritePoint), k.result) << k.what;
        EXPECT_EQ(FakeLine().Sequence(), k.sequence) << k.what;
        EXPECT_EQ(call.buffer, before) << k.what;
    }
}

// Every S attempt starts again from the low byte, so after a failed high byte
// the low byte goes out again, unchanged.
TEST_F(PointWrite, SRetrySendsTheLowByteAgainFirst) {
    FakeLine().QueueWrite(0);
    FakeLine().QueueWrite(7);
    for (int i = 0; i < 3; ++i) FakeLine().QueueRead(kByteAck);
    PointCall call(1, 'S', 1);
    call.SetSlot(0x1234);
    ASSERT_EQ(call.Call(kOpWritePoint), 0);
    const std::vector<Bytes> writes = FakeLine().Writes();
    ASSERT_EQ(writes.size(), 4u);
    const Bytes low = {0x47, 0x5B, 0x7D, 0x02, 0x1A};
    const Bytes high = {0x47, 0x5B, 0x7C, 0x03, 0x09};
    EXPECT_EQ(PayloadOf(writes[0]), low);
    EXPECT_EQ(PayloadOf(writes[1]), high);
    EXPECT_EQ(PayloadOf(writes[2]), low);
    EXPECT_EQ(PayloadOf(writes[3]), high);
}

// The high byte is taken from the value slot as it stands when the second
// exchange is built.
TEST_F(PointWrite, SHighByteIsReadWhenItIsSent) {
    PointCall call(1, 'S', 1);
    call.SetSlot(0x1234);
    int writes = 0;
    FakeLine().SetResponder([&](const Bytes&) -> std::optional<Bytes> {
        if (++writes == 1) call.SetSlot(0x5634);
        return kByteAck;
    });
    ASSERT_EQ(call.Call(kOpWritePoint), 0);
    ASSERT_EQ(FakeLine().Writes().size(), 2u);
    EXPECT_EQ(PayloadOf(FakeLine().Writes()[1]), (Bytes{0x47, 0x5B, 0x7C, 0x03, 0x2B}));
}

TEST_F(PointWrite, ClosedPortFailsThreeTimesWithoutReading) {
    for (int32_t type : {'C', 'O', 'S'}) {
        FakeLine().Reset();
        PointCall call(1, type, 1);
        call.context.handle = nullptr;
        EXPECT_EQ(call.Call(kOpWritePoint), 2) << type;
        EXPECT_EQ(FakeLine().CallsOf(SerialCall::kWrite).size(), 3u) << type;
        EXPECT_TRUE(FakeLine().CallsOf(SerialCall::kRead).empty()) << type;
    }
}

TEST_F(PointWrite, RecordsNamingNoPointAreRefusedBeforeTheLine) {
    for (const InvalidRecord& r : InvalidRecords()) {
        FakeLine().Reset();
        PointCall call(r.station, r.type, r.index);
        const auto before = call.buffer;
        const PointIo record = call.point;
        EXPECT_EQ(call.Call(kOpWritePoint), 1) << r.what;
        EXPECT_TRUE(FakeLine().calls().empty()) << r.what;
        EXPECT_EQ(call.buffer, before) << r.what;
        EXPECT_EQ(std::memcmp(&call.point, &record, sizeof record), 0) << r.what;
    }
}

TEST_F(PointWrite, MissingRecordOrValueBufferIsRefusedBeforeTheLine) {
    PointCall noRecord(1, 'S', 1);
    noRecord.request.parameters = nullptr;
    EXPECT_EQ(noRecord.Call(kOpWritePoint), 1);
    PointCall noBuffer(1, 'S', 1);
    noBuffer.point.valueBuffer = nullptr;
    EXPECT_EQ(noBuffer.Call(kOpWritePoint), 1);
    EXPECT_TRUE(FakeLine().calls().empty());
}

// What a write puts into an M word, a read of the same point fetches: the
// write's address bits and the read's bank opcode and operand name one word.
TEST_F(PointWrite, WriteAndReadOfAnMPointAddressTheSameWord) {
    for (int32_t index = 1; index <= 256; ++index) {
        FakeLine().Reset();
        PointCall call(1, 'M', index);
        FakeLine().QueueRead(kAck);
        ASSERT_EQ(call.Call(kOpWritePoint), 0);
        const Bytes write = PayloadOf(FakeLine().Writes()[0]);
        const unsigned written = 256u * (write[3] >> 3) + 2u * write[4] + ((write[3] >> 2) & 1u);
        FakeLine().Reset();
        call.Call(kOpReadPoint);
        const Bytes read = PayloadOf(FakeLine().Writes()[0]);
        unsigned fetched = 0;
        if (read[0] == 0x24) fetched = 128u + read[1];
        else if (read[0] == 0x48) fetched = 256u + 2u * read[1];
        else if (read[0] == 0x4C) fetched = 512u + 2u * read[1];
        EXPECT_EQ(written, fetched) << "M" << index;
    }
}

}  // namespace
