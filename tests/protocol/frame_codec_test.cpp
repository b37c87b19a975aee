// The frame codec over the fake line: request bytes, reply checks in their
// order, the calls made on the line, and what is refused before the line.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/handlers.h"
#include "protocol/frame_codec.h"
#include "tests/support/fake_serial.h"

namespace {

class FrameCodec : public ::testing::Test {
protected:
    void SetUp() override {
        FakeLine().Reset();
        std::memset(&context, 0, sizeof context);
        context.handle = reinterpret_cast<SerialHandle>(0x1000);
        g_currentContext = &context;
    }
    void TearDown() override { g_currentContext = nullptr; }
    PortContext context;
};

struct RequestCase {
    const char* what;
    int32_t station;
    Bytes payload;
    Bytes frame;
};

TEST_F(FrameCodec, RequestFramesArePairedComplementFirst) {
    const RequestCase cases[] = {
        {"two payload bytes", 1, {0x28, 0x05}, {0x81, 0x7E, 0x01, 0x7E, 0x57, 0x28, 0x7A, 0x05}},
        {"highest station, no payload", 127, {}, {0xFF, 0x00, 0x01, 0x7E}},
        {"payload extremes", 5, {0x00, 0x7F}, {0x85, 0x7A, 0x01, 0x7E, 0x7F, 0x00, 0x00, 0x7F}},
        {"only the station's low byte", 0x101, {}, {0x81, 0x7E, 0x01, 0x7E}},
        {"largest payload", 2, {0x0F, 0x01, 0x02, 0x03, 0x04},
         {0x82, 0x7D, 0x01, 0x7E, 0x70, 0x0F, 0x7E, 0x01, 0x7D, 0x02, 0x7C, 0x03, 0x7B, 0x04}},
    };
    for (const RequestCase& c : cases) {
        FakeLine().Reset();
        EXPECT_EQ(SendFrame(c.station, c.payload.data(), static_cast<uint32_t>(c.payload.size())), 0)
            << c.what;
        EXPECT_EQ(FakeLine().Sequence(), "Purge Write(" + std::to_string(c.frame.size()) + ")")
            << c.what;
        ASSERT_EQ(FakeLine().Writes().size(), 1u) << c.what;
        EXPECT_EQ(FakeLine().Writes()[0], c.frame) << c.what;
        for (const SerialCall& call : FakeLine().calls()) EXPECT_EQ(call.handle, context.handle);
    }
}

TEST_F(FrameCodec, SendSucceedsOnlyWhenTheWholeFrameIsTaken) {
    const uint8_t payload[] = {0x28, 0x05};
    struct Case {
        const char* what;
        int purgeResult;
        int writeResult;
        std::optional<uint32_t> written;
        int expected;
    } cases[] = {
        {"a failed purge is ignored", 1, 0, std::nullopt, 0},
        {"write call fails", 0, 7, std::nullopt, 2},
        {"write takes fewer bytes", 0, 2, 7u, 2},
    };
    for (const Case& c : cases) {
        FakeLine().Reset();
        FakeLine().QueuePurge(c.purgeResult);
        FakeLine().QueueWrite(c.writeResult, c.written);
        EXPECT_EQ(SendFrame(1, payload, 2), c.expected) << c.what;
        EXPECT_EQ(FakeLine().Sequence(), "Purge Write(8)") << c.what;
    }
}

TEST_F(FrameCodec, SendOnAClosedPortFailsThroughTheLine) {
    context.handle = nullptr;
    EXPECT_EQ(SendFrame(1, nullptr, 0), 2);
    EXPECT_EQ(FakeLine().Sequence(), "Purge Write(4)");
}

TEST_F(FrameCodec, SendRefusesWhatItCannotBuildWithoutTouchingTheLine) {
    const uint8_t payload[kMaxPayloadBytes + 1] = {};
    EXPECT_EQ(SendFrame(1, payload, kMaxPayloadBytes + 1), 2);
    EXPECT_EQ(SendFrame(1, nullptr, 1), 2);
    g_currentContext = nullptr;
    EXPECT_EQ(SendFrame(1, payload, 1), 2);
    EXPECT_TRUE(FakeLine().calls().empty());
}

struct ReplyCase {
    const char* what;
    uint32_t n;
    Bytes reply;  // what the line delivers
    int expected;
    Bytes data;   // stored on success
};

TEST_F(FrameCodec, RepliesAreCheckedInOrderAndStoredOnlyWhenGood) {
    const ReplyCase cases[] = {
        {"one data byte", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03, 0x7C}, 0, {0x03}},
        {"acknowledgement, any byte 1", 0, {0xFE, 0x55, 0x00, 0x7F}, 0, {}},
        {"three data bytes", 3, {0xFE, 0x99, 0x7F, 0x00, 0x01, 0x7E, 0x7F, 0x00, 0x40, 0x3F}, 0,
         {0x01, 0x7F, 0x40}},
        {"bad data pair", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03, 0x7D}, 1, {}},
        {"bad first pair", 0, {0xFE, 0x55, 0x00, 0x7E}, 1, {}},
        {"bad last pair", 3, {0xFE, 0x00, 0x10, 0x6F, 0x01, 0x7E, 0x02, 0x7D, 0x03, 0x7B}, 1, {}},
        {"pair that adds up only modulo 256", 1, {0xFE, 0x00, 0x10, 0x6F, 0x80, 0xFF}, 1, {}},
        {"wrong start byte", 1, {0xFF, 0x00, 0x10, 0x6F, 0x03, 0x7C}, 2, {}},
        {"wrong start byte wins over a bad pair", 1, {0xFF, 0x00, 0x10, 0x6F, 0x03, 0x7D}, 2, {}},
        {"one byte short", 1, {0xFE, 0x00, 0x10, 0x6F, 0x03}, 2, {}},
        {"one byte short with a bad start", 1, {0x00, 0x00, 0x10, 0x6F, 0x03}, 2, {}},
        {"silence", 2, {}, 2, {}},
    };
    for (const ReplyCase& c : cases) {
        FakeLine().Reset();
        FakeLine().QueueRead(c.reply);
        uint8_t out[kMaxReplyDataBytes + 1];
        std::memset(out, 0xAA, sizeof out);
        EXPECT_EQ(ReceiveFrame(out, c.n), c.expected) << c.what;
        EXPECT_EQ(FakeLine().Sequence(), "Read(" + std::to_string(2 * c.n + 4) + ")") << c.what;
        Bytes expected(sizeof out, 0xAA);
        std::copy(c.data.begin(), c.data.end(), expected.begin());
        EXPECT_EQ(Bytes(out, out + sizeof out), expected) << c.what;
    }
}

TEST_F(FrameCodec, AFailedReadIsALineFailure) {
    FakeLine().QueueReadFailure();
    uint8_t out[1] = {0xAA};
    EXPECT_EQ(ReceiveFrame(out, 1), 2);
    EXPECT_EQ(out[0], 0xAA);
}

TEST_F(FrameCodec, ReceiveRefusesWhatItCannotHoldWithoutTouchingTheLine) {
    uint8_t out[kMaxReplyDataBytes + 1] = {};
    EXPECT_EQ(ReceiveFrame(out, kMaxReplyDataBytes + 1), 2);
    EXPECT_EQ(ReceiveFrame(nullptr, 1), 2);
    g_currentContext = nullptr;
    EXPECT_EQ(ReceiveFrame(out, 1), 2);
    EXPECT_TRUE(FakeLine().calls().empty());
}

}  // namespace
