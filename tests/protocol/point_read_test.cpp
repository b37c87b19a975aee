// Point reads over the fake line: the request of every point type, how the
// reply becomes the value, the attempts and their results, and the records
// refused before anything is sent.
#include <gtest/gtest.h>

#include <optional>

#include "tests/protocol/point_test_support.h"

namespace {

class PointRead : public ::testing::Test {
protected:
    void SetUp() override { FakeLine().Reset(); }
};

// A read whose reply carries `data` stores `value`, in bytes 2 and 3 only.
struct ReadExample {
    int32_t type;
    int32_t station;
    int32_t index;
    Bytes payload;
    Bytes data;
    uint16_t value;
};

TEST_F(PointRead, EachTypeSendsItsCommandAndStoresTheValueFromTheReply) {
    const ReadExample examples[] = {
        {'A', 1, 9, {0x34, 0x16}, {0x64, 0x01}, 201},
        {'A', 1, 12, {0x34, 0x19}, {0x7F, 0x01}, 255},
        {'A', 1, 12, {0x34, 0x19}, {0x7F, 0x7F}, 381},
        {'B', 1, 1, {0x38, 0x01}, {0x01}, 1},
        {'B', 1, 16, {0x38, 0x10}, {0x7F}, 127},
        {'O', 1, 1, {0x2C, 0x01}, {0x00}, 0},
        {'O', 1, 12, {0x2C, 0x0C}, {0x7F}, 127},
        {'C', 1, 1, {0x20, 0x60}, {0x7F, 0x7F, 0x03}, 0xFFFF},
        {'C', 1, 2, {0x20, 0x62}, {0x00, 0x00, 0x02}, 256},
        {'C', 1, 16, {0x20, 0x7E}, {0x01, 0x02, 0x01}, 0x0205},
        {'M', 1, 1, {0x24, 0x10}, {0x5B, 0x3C, 0x02}, 0xB778},
        {'M', 1, 32, {0x24, 0x4E}, {0x00, 0x00, 0x01}, 1},
        {'M', 1, 33, {0x48, 0x00}, {0x00, 0x01, 0x00}, 2},
        {'M', 1, 100, {0x48, 0x43}, {0x18, 0x1C, 0x01}, 12345},
        {'M', 1, 160, {0x48, 0x7F}, {0x40, 0x00, 0x00}, 0x8000},
        {'M', 1, 161, {0x4C, 0x00}, {0x00, 0x00, 0x02}, 256},
        {'M', 1, 256, {0x4C, 0x5F}, {0x03, 0x04, 0x05}, 2057},
        {'S', 1, 1, {0x41, 0x5B, 0x7C, 0x03}, {0x7F, 0x7F, 0x03}, 0xFFFF},
        {'S', 1, 125, {0x41, 0x5B, 0x00, 0x03}, {0x00, 0x00, 0x00}, 0},
        {'S', 1, 126, {0x41, 0x5B, 0x7F, 0x01}, {0x01, 0x00, 0x00}, 512},
        {'S', 1, 250, {0x41, 0x5B, 0x03, 0x01}, {0x00, 0x7F, 0x02}, 0x01FE},
        {'S', 127, 2, {0x41, 0x5B, 0x7B, 0x03}, {0x00, 0x00, 0x03}, 0x0101},
        {'M', 127, 64, {0x48, 0x1F}, {0x7F, 0x7F, 0x01}, 0xFEFF},
    };
    for (const ReadExample& e : examples) {
        const std::string what = std::string(1, static_cast<char>(e.type)) + std::to_string(e.index) +
                                 " at station " + std::to_string(e.station);
        FakeLine().Reset();
        FakeLine().QueueRead(ReplyFrame(e.data));
        PointCall call(e.station, e.type, e.index);
        const auto before = call.buffer;
        ASSERT_EQ(call.Call(kOpReadPoint), 0) << what;
        EXPECT_EQ(FakeLine().Sequence(), Exchange(e.payload.size(), e.data.size())) << what;
        ASSERT_EQ(FakeLine().Writes().size(), 1u) << what;
        EXPECT_EQ(FakeLine().Writes()[0], RequestFrame(e.station, e.payload)) << what;
        EXPECT_EQ(call.Slot(), e.value) << what;
        for (size_t i : {0u, 1u, 4u, 5u, 6u, 7u}) EXPECT_EQ(call.buffer[i], before[i]) << what;
    }
}

TEST_F(PointRead, WholeFramesOnTheLine) {
    struct Case {
        int32_t type;
        int32_t index;
        Bytes request;
        Bytes reply;
        uint16_t value;
    } cases[] = {
        {'A', 9, {0x81, 0x7E, 0x01, 0x7E, 0x4B, 0x34, 0x69, 0x16},
         {0xFE, 0x00, 0x00, 0x7F, 0x64, 0x1B, 0x01, 0x7E}, 201},
        {'C', 1, {0x81, 0x7E, 0x01, 0x7E, 0x5F, 0x20, 0x1F, 0x60},
         {0xFE, 0x00, 0x00, 0x7F, 0x7F, 0x00, 0x7F, 0x00, 0x03, 0x7C}, 0xFFFF},
        {'S', 1, {0x81, 0x7E, 0x01, 0x7E, 0x3E, 0x41, 0x24, 0x5B, 0x03, 0x7C, 0x7C, 0x03},
         ReplyFrame({0x7F, 0x7F, 0x03}), 0xFFFF},
    };
    for (const Case& c : cases) {
        FakeLine().Reset();
        FakeLine().QueueRead(c.reply);
        PointCall call(1, c.type, c.index);
        ASSERT_EQ(call.Call(kOpReadPoint), 0) << c.type;
        ASSERT_EQ(FakeLine().Writes().size(), 1u);
        EXPECT_EQ(FakeLine().Writes()[0], c.request) << c.type;
        EXPECT_EQ(call.Slot(), c.value) << c.type;
    }
}

// The split word's third byte is taken as it comes: bits above bit 1 still
// weigh 256 each.
TEST_F(PointRead, ThirdSplitByteAboveThreeGoesThroughTheSameArithmetic) {
    FakeLine().QueueRead(ReplyFrame({0x00, 0x00, 0x05}));
    PointCall call(1, 'C', 1);
    ASSERT_EQ(call.Call(kOpReadPoint), 0);
    EXPECT_EQ(call.Slot(), 2 * 256 + 1);
}

// What the line does in each attempt; a reply of nullopt is silence.
struct ReadFailureCase {
    const char* what;
    int32_t type;
    int32_t index;
    std::vector<int> writeResults;
    std::vector<std::optional<Bytes>> replies;
    std::string sequence;
    int result;
    std::optional<uint16_t> value;  // nullopt: the slot keeps its contents
};

TEST_F(PointRead, AttemptsAndTheirResults) {
    const std::string c = Exchange(2, 3);
    const std::string b = Exchange(2, 1);
    const Bytes good = ReplyFrame({0x00, 0x01, 0x00});
    const Bytes damaged = DamagedReplyFrame({0x00, 0x01, 0x00});
    const Bytes unframed = {0xFF, 0x00, 0x00, 0x7F, 0x00, 0x7F, 0x01, 0x7E, 0x00, 0x7F};
    const Bytes shortReply(good.begin(), good.end() - 1);
    const std::vector<int> failedSends = {7, 7, 7};
    const std::vector<std::optional<Bytes>> silence = {std::nullopt, std::nullopt, std::nullopt};
    const ReadFailureCase cases[] = {
        {"send fails every time", 'C', 1, failedSends, {}, Repeat(SendOnly(2), 3), 2, std::nullopt},
        {"send fails, M 33 keeps 2", 'M', 33, failedSends, {}, Repeat(SendOnly(2), 3), 2,
         std::nullopt},
        {"silent line", 'C', 1, {}, silence, Repeat(c, 3), 2, std::nullopt},
        {"silent line, B", 'B', 1, {}, silence, Repeat(b, 3), 2, std::nullopt},
        {"silent line, M 32", 'M', 32, {}, silence, Repeat(c, 3), 2, std::nullopt},
        {"silent line, M 33 gives 1", 'M', 33, {}, silence, Repeat(c, 3), 1, std::nullopt},
        {"silent line, M 256 gives 1", 'M', 256, {}, silence, Repeat(c, 3), 1, std::nullopt},
        {"unframed every time, M 33 gives 1", 'M', 33, {}, {unframed, unframed, unframed},
         Repeat(c, 3), 1, std::nullopt},
        {"damaged every time", 'S', 7, {}, {damaged, damaged, damaged}, Repeat(Exchange(4, 3), 3), 1,
         std::nullopt},
        {"short, damaged, then unframed", 'C', 3, {}, {shortReply, damaged, unframed}, Repeat(c, 3), 2,
         std::nullopt},
        {"damaged once, then good", 'C', 1, {}, {damaged, good}, Repeat(c, 2), 0, 2},
        {"silent once, then good", 'M', 33, {}, {std::nullopt, good}, Repeat(c, 2), 0, 2},
        {"send fails twice, then good", 'M', 1, {7, 2}, {good}, SendOnly(2) + " " + SendOnly(2) + " " + c,
         0, 2},
        {"good on the third attempt", 'C', 16, {}, {std::nullopt, damaged, good}, Repeat(c, 3), 0, 2},
    };
    for (const ReadFailureCase& k : cases) {
        FakeLine().Reset();
        // A short write (2) takes 3 bytes; a failed call (7) takes none.
        for (int result : k.writeResults)
            FakeLine().QueueWrite(result, result == 2 ? std::optional<uint32_t>(3u) : std::nullopt);
        for (const std::optional<Bytes>& reply : k.replies) {
            if (reply) FakeLine().QueueRead(*reply);
            else FakeLine().QueueReadFailure();
        }
        PointCall call(1, k.type, k.index);
        auto expected = call.buffer;
        if (k.value) {
            expected[2] = static_cast<uint8_t>(*k.value & 0xFF);
            expected[3] = static_cast<uint8_t>(*k.value >> 8);
        }
        EXPECT_EQ(call.Call(kOpReadPoint), k.result) << k.what;
        EXPECT_EQ(FakeLine().Sequence(), k.sequence) << k.what;
        EXPECT_EQ(call.buffer, expected) << k.what;
        // Every attempt sends the whole request anew.
        for (const Bytes& frame : FakeLine().Writes()) EXPECT_EQ(frame, FakeLine().Writes()[0]) << k.what;
    }
}

TEST_F(PointRead, ClosedPortFailsThreeTimesWithoutReading) {
    PointCall call(1, 'M', 100);
    call.context.handle = nullptr;
    const auto before = call.buffer;
    EXPECT_EQ(call.Call(kOpReadPoint), 2);
    EXPECT_EQ(FakeLine().Sequence(), Repeat(SendOnly(2), 3));
    EXPECT_EQ(call.buffer, before);
}

TEST_F(PointRead, RecordsNamingNoPointAreRefusedBeforeTheLine) {
    for (const InvalidRecord& r : InvalidRecords()) {
        FakeLine().Reset();
        PointCall call(r.station, r.type, r.index);
        const auto before = call.buffer;
        const PointIo record = call.point;
        EXPECT_EQ(call.Call(kOpReadPoint), 1) << r.what;
        EXPECT_TRUE(FakeLine().calls().empty()) << r.what;
        EXPECT_EQ(call.buffer, before) << r.what;
        EXPECT_EQ(std::memcmp(&call.point, &record, sizeof record), 0) << r.what;
    }
}

TEST_F(PointRead, MissingRecordOrValueBufferIsRefusedBeforeTheLine) {
    PointCall noRecord(1, 'C', 1);
    noRecord.request.parameters = nullptr;
    EXPECT_EQ(noRecord.Call(kOpReadPoint), 1);
    PointCall noBuffer(1, 'C', 1);
    noBuffer.point.valueBuffer = nullptr;
    EXPECT_EQ(noBuffer.Call(kOpReadPoint), 1);
    EXPECT_TRUE(FakeLine().calls().empty());
}

// Every valid index of every type names its own place: no two points of a
// type share a request, and every request byte fits the line code.
TEST_F(PointRead, EveryValidPointHasItsOwnRequestOfSevenBitBytes) {
    const struct {
        int32_t type, first, last;
    } ranges[] = {{'A', 9, 12}, {'B', 1, 16}, {'C', 1, 16}, {'M', 1, 256}, {'O', 1, 12}, {'S', 1, 250}};
    for (const auto& range : ranges) {
        std::vector<Bytes> seen;
        for (int32_t index = range.first; index <= range.last; ++index) {
            FakeLine().Reset();
            PointCall call(127, range.type, index);
            call.Call(kOpReadPoint);
            ASSERT_FALSE(FakeLine().Writes().empty());
            const Bytes payload = PayloadOf(FakeLine().Writes()[0]);
            for (uint8_t byte : payload) EXPECT_LE(byte, 0x7F) << range.type << index;
            for (const Bytes& other : seen) EXPECT_NE(payload, other) << range.type << index;
            seen.push_back(payload);
        }
    }
}

}  // namespace
