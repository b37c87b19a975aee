// The simulated controller seen from the line: the requests a host sends for
// each point type, the replies it gets back, and how the stream decoder copes
// with requests in pieces, several at once, noise and damaged frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tz52sim/sim_controller.h"
#include "tools/tz52sim/sim_protocol.h"

namespace tz52sim {
namespace {

Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (size_t at = 0; at < text.size(); at += 3) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

// The request a host sends to station 1: start, then (0x7F - p, p) per byte.
Bytes RequestTo(int station, const Bytes& payload) {
    Bytes frame = {static_cast<uint8_t>(station + 0x80), static_cast<uint8_t>(0x7F - station),
                   0x01, 0x7E};
    for (uint8_t p : payload) {
        frame.push_back(static_cast<uint8_t>(0x7F - p));
        frame.push_back(p);
    }
    return frame;
}

Bytes ReplyWith(const Bytes& data) {
    Bytes reply = {0xFE, 0x00, 0x00, 0x7F};
    for (uint8_t d : data) {
        reply.push_back(d);
        reply.push_back(static_cast<uint8_t>(0x7F - d));
    }
    return reply;
}

// Feeds `bytes` and answers every whole request, as the server does.
struct Bench {
    Controller controller{std::vector<int>{1, 5}};
    RequestDecoder decoder;
    int rejections = 0;

    std::vector<Bytes> Feed(const Bytes& bytes) {
        decoder.Feed(bytes.data(), bytes.size());
        std::vector<Bytes> replies;
        Request request;
        Bytes dropped;
        std::string reason;
        for (DecodeEvent event;
             (event = decoder.Next(&request, &dropped, &reason)) != DecodeEvent::kNeedMore;) {
            if (event == DecodeEvent::kRejected) {
                ++rejections;
                continue;
            }
            if (!controller.Serves(request.station)) continue;
            Command command;
            replies.push_back(controller.Answer(request, &command));
        }
        return replies;
    }
    void Set(char type, int index, uint16_t value) {
        controller.Memory(1)->SetPoint(type, index, value);
    }
    uint16_t Get(char type, int index) { return controller.Memory(1)->Point(type, index); }
};

struct ReadCase {
    char type;
    int index;
    uint16_t stored;
    Bytes request;
    Bytes reply;
};

TEST(SimulatedController, AnswersEveryReadCommandWithThePointsValue) {
    const ReadCase cases[] = {
        {'A', 9, 201, Hex("81 7E 01 7E 4B 34 69 16"), Hex("FE 00 00 7F 64 1B 01 7E")},
        {'A', 12, 255, RequestTo(1, {0x34, 0x19}), ReplyWith({0x7F, 0x01})},
        {'A', 12, 381, RequestTo(1, {0x34, 0x19}), ReplyWith({0x7F, 0x7F})},
        {'B', 1, 1, RequestTo(1, {0x38, 0x01}), ReplyWith({0x01})},
        {'B', 16, 127, RequestTo(1, {0x38, 0x10}), ReplyWith({0x7F})},
        {'O', 1, 0, RequestTo(1, {0x2C, 0x01}), ReplyWith({0x00})},
        {'O', 12, 1, RequestTo(1, {0x2C, 0x0C}), ReplyWith({0x01})},
        {'C', 1, 65535, Hex("81 7E 01 7E 5F 20 1F 60"), Hex("FE 00 00 7F 7F 00 7F 00 03 7C")},
        {'C', 2, 256, RequestTo(1, {0x20, 0x62}), ReplyWith({0x00, 0x00, 0x02})},
        {'C', 16, 517, RequestTo(1, {0x20, 0x7E}), ReplyWith({0x01, 0x02, 0x01})},
        {'M', 1, 46968, RequestTo(1, {0x24, 0x10}), ReplyWith({0x5B, 0x3C, 0x02})},
        {'M', 32, 1, RequestTo(1, {0x24, 0x4E}), ReplyWith({0x00, 0x00, 0x01})},
        {'M', 33, 2, RequestTo(1, {0x48, 0x00}), ReplyWith({0x00, 0x01, 0x00})},
        {'M', 100, 12345, RequestTo(1, {0x48, 0x43}), ReplyWith({0x18, 0x1C, 0x01})},
        {'M', 160, 32768, RequestTo(1, {0x48, 0x7F}), ReplyWith({0x40, 0x00, 0x00})},
        {'M', 161, 3, RequestTo(1, {0x4C, 0x00}), ReplyWith({0x00, 0x01, 0x01})},
        {'M', 256, 2057, RequestTo(1, {0x4C, 0x5F}), ReplyWith({0x04, 0x04, 0x01})},  // canonical split
        {'S', 1, 65535, Hex("81 7E 01 7E 3E 41 24 5B 03 7C 7C 03"), ReplyWith({0x7F, 0x7F, 0x03})},
        {'S', 125, 256, RequestTo(1, {0x41, 0x5B, 0x00, 0x03}), ReplyWith({0x00, 0x00, 0x02})},
        {'S', 126, 1, RequestTo(1, {0x41, 0x5B, 0x7F, 0x01}), ReplyWith({0x00, 0x00, 0x01})},
        {'S', 250, 510, RequestTo(1, {0x41, 0x5B, 0x03, 0x01}), ReplyWith({0x00, 0x7F, 0x02})},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.index));
        Bench bench;
        bench.Set(c.type, c.index, c.stored);
        const std::vector<Bytes> replies = bench.Feed(c.request);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(HexBytes(replies[0]), HexBytes(c.reply));
    }
}

struct WriteCase {
    char type;
    int index;
    uint16_t expected;
    std::vector<Bytes> requests;  // an S write takes two
    size_t replyData;             // data bytes of each acknowledgement
};

TEST(SimulatedController, CarriesOutEveryWriteCommandAndAcknowledgesIt) {
    const WriteCase cases[] = {
        {'C', 1, 0x1234, {Hex("81 7E 01 7E 70 0F 76 09 65 1A 7F 00 4F 30")}, 0},
        {'C', 16, 0xFFFF, {RequestTo(1, {0x0F, 0x7F, 0x7F, 0x03, 0x3F})}, 0},
        {'C', 2, 0x0100, {RequestTo(1, {0x0F, 0x00, 0x00, 0x02, 0x31})}, 0},
        {'C', 16, 0x0001, {RequestTo(1, {0x0F, 0x00, 0x00, 0x01, 0x3F})}, 0},
        {'M', 1, 0x1234, {RequestTo(1, {0x0F, 0x09, 0x1A, 0x00, 0x48})}, 0},
        {'M', 32, 0xFFFF, {RequestTo(1, {0x0F, 0x7F, 0x7F, 0x03, 0x67})}, 0},
        {'M', 33, 0x1234, {RequestTo(1, {0x0F, 0x09, 0x1A, 0x08, 0x00})}, 0},
        {'M', 160, 0x8000, {RequestTo(1, {0x0F, 0x40, 0x00, 0x08, 0x7F})}, 0},
        {'M', 161, 0x0101, {RequestTo(1, {0x0F, 0x00, 0x00, 0x13, 0x00})}, 0},
        {'M', 256, 0xABCD, {Hex("81 7E 01 7E 70 0F 2A 55 19 66 6C 13 20 5F")}, 0},
        {'O', 1, 1, {Hex("81 7E 01 7E 57 28 7C 03")}, 0},
        {'O', 1, 0, {RequestTo(1, {0x28, 0x02})}, 0},
        {'O', 12, 1, {RequestTo(1, {0x28, 0x19})}, 0},
        {'O', 12, 0, {RequestTo(1, {0x28, 0x18})}, 0},
        {'S', 1, 0x1234,
         {Hex("81 7E 01 7E 38 47 24 5B 02 7D 7D 02 65 1A"),
          Hex("81 7E 01 7E 38 47 24 5B 03 7C 7C 03 76 09")},
         1},
        {'S', 125, 0x00FF,
         {RequestTo(1, {0x47, 0x5B, 0x01, 0x06, 0x7F}), RequestTo(1, {0x47, 0x5B, 0x00, 0x03, 0x00})},
         1},
        {'S', 126, 0x0100,
         {RequestTo(1, {0x47, 0x5B, 0x00, 0x02, 0x00}), RequestTo(1, {0x47, 0x5B, 0x7F, 0x05, 0x00})},
         1},
        {'S', 250, 0xABCD,
         {RequestTo(1, {0x47, 0x5B, 0x04, 0x04, 0x66}), RequestTo(1, {0x47, 0x5B, 0x03, 0x05, 0x55})},
         1},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.index));
        Bench bench;
        bench.Set(c.type, c.index, static_cast<uint16_t>(~c.expected & (c.type == 'O' ? 1 : 0xFFFF)));
        for (const Bytes& request : c.requests) {
            const std::vector<Bytes> replies = bench.Feed(request);
            ASSERT_EQ(replies.size(), 1u);
            ASSERT_EQ(replies[0].size(), 4 + 2 * c.replyData);
            EXPECT_EQ(replies[0][0], 0xFE);
            for (size_t at = 2; at < replies[0].size(); at += 2) {
                EXPECT_EQ(replies[0][at] + replies[0][at + 1], 0x7F) << "pair at " << at;
            }
        }
        EXPECT_EQ(bench.Get(c.type, c.index), c.expected);
    }
}

TEST(SimulatedController, WritesAndReadsOfTheSamePointMeet) {
    // The word write reaches the word memory the C and M reads take from, and
    // the two byte writes of an S point make the word its read returns.
    struct Meeting {
        Bytes write;
        Bytes secondWrite;
        Bytes read;
        Bytes reply;
    };
    const Meeting meetings[] = {
        {RequestTo(1, {0x0F, 0x09, 0x1A, 0x00, 0x30}), {}, RequestTo(1, {0x20, 0x60}),
         ReplyWith({0x09, 0x1A, 0x00})},
        {RequestTo(1, {0x0F, 0x09, 0x1A, 0x08, 0x00}), {}, RequestTo(1, {0x48, 0x00}),
         ReplyWith({0x09, 0x1A, 0x00})},
        {RequestTo(1, {0x0F, 0x55, 0x66, 0x13, 0x5F}), {}, RequestTo(1, {0x4C, 0x5F}),
         ReplyWith({0x55, 0x66, 0x03})},
        {RequestTo(1, {0x28, 0x03}), {}, RequestTo(1, {0x2C, 0x01}), ReplyWith({0x01})},
        {RequestTo(1, {0x47, 0x5B, 0x7D, 0x02, 0x1A}), RequestTo(1, {0x47, 0x5B, 0x7C, 0x03, 0x09}),
         RequestTo(1, {0x41, 0x5B, 0x7C, 0x03}), ReplyWith({0x09, 0x1A, 0x00})},
    };
    for (const Meeting& m : meetings) {
        SCOPED_TRACE(HexBytes(m.write));
        Bench bench;
        bench.Feed(m.write);
        if (!m.secondWrite.empty()) bench.Feed(m.secondWrite);
        const std::vector<Bytes> replies = bench.Feed(m.read);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(HexBytes(replies[0]), HexBytes(m.reply));
    }
}

TEST(SimulatedController, KeepsOneMemoryPerStationAndIgnoresOtherStations) {
    Bench bench;
    bench.controller.Memory(5)->SetPoint('B', 3, 99);
    EXPECT_EQ(bench.Feed(RequestTo(1, {0x38, 0x03})), std::vector<Bytes>{ReplyWith({0})});
    EXPECT_EQ(bench.Feed(RequestTo(5, {0x38, 0x03})), std::vector<Bytes>{ReplyWith({99})});
    EXPECT_TRUE(bench.Feed(RequestTo(2, {0x38, 0x03})).empty());
    EXPECT_TRUE(bench.Feed(RequestTo(127, {0x38, 0x03})).empty());
    EXPECT_EQ(bench.rejections, 0);
}

TEST(RequestStream, ReassemblesRequestsHoweverTheBytesArrive) {
    const Bytes readA = Hex("81 7E 01 7E 4B 34 69 16");
    const Bytes readC = Hex("81 7E 01 7E 5F 20 1F 60");

    // One byte at a time: nothing until the last byte.
    Bench bytewise;
    for (size_t i = 0; i + 1 < readC.size(); ++i) {
        EXPECT_TRUE(bytewise.Feed({readC[i]}).empty()) << "after byte " << i;
    }
    EXPECT_EQ(bytewise.Feed({readC.back()}).size(), 1u);

    // Several in one read, and a frame split across two reads.
    Bench merged;
    Bytes three = readA;
    three.insert(three.end(), readC.begin(), readC.end());
    three.insert(three.end(), readA.begin(), readA.begin() + 5);
    EXPECT_EQ(merged.Feed(three).size(), 2u);
    EXPECT_EQ(merged.Feed(Bytes(readA.begin() + 5, readA.end())).size(), 1u);
    EXPECT_EQ(merged.rejections, 0);
}

TEST(RequestStream, GivesNoReplyToFramesThatDoNotCheckAndResynchronises) {
    const Bytes good = Hex("81 7E 01 7E 4B 34 69 16");
    struct BadInput {
        const char* what;
        Bytes bytes;
    };
    const BadInput cases[] = {
        {"noise", Hex("00 12 7F 33 80")},
        {"noise that looks like starts", Hex("FE 00 81 7E 01 7F 90")},
        {"start byte without its complement", Hex("81 7D 01 7E 4B 34 69 16")},
        {"wrong third start byte", Hex("81 7E 02 7E 4B 34 69 16")},
        {"damaged opcode pair", Hex("81 7E 01 7E 4B 35 69 16")},
        {"damaged operand pair", Hex("81 7E 01 7E 4B 34 69 17")},
        {"operand byte with bit 7", Hex("81 7E 01 7E 4B 34 E9 96")},
        {"unknown opcode", RequestTo(1, {0x35, 0x16})},
        {"request cut short", Hex("81 7E 01 7E 5F 20 1F")},
        {"damaged word write", Hex("81 7E 01 7E 70 0F 76 09 65 1A 7F 01 4F 30")},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.Set('A', 9, 201);
        EXPECT_TRUE(bench.Feed(c.bytes).empty());
        // The valid request that follows is answered, and only it.
        const std::vector<Bytes> replies = bench.Feed(good);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(HexBytes(replies[0]), "FE 00 00 7F 64 1B 01 7E");
        EXPECT_GE(bench.rejections, 1);
        EXPECT_EQ(bench.decoder.Pending(), 0u);
    }
    // A damaged write changes nothing.
    Bench bench;
    bench.Feed(Hex("81 7E 01 7E 70 0F 76 09 65 1A 7F 01 4F 30"));
    EXPECT_EQ(bench.Get('C', 1), 0);
}

TEST(SplitWord, CarriesEverySixteenBitValueThereAndBack) {
    for (uint32_t word = 0; word <= 0xFFFF; ++word) {
        uint8_t split[3];
        SplitWord(static_cast<uint16_t>(word), split);
        ASSERT_LE(split[0], 0x7F);
        ASSERT_LE(split[1], 0x7F);
        ASSERT_LE(split[2], 3);
        ASSERT_EQ(JoinSplitWord(split[0], split[1], split[2]), word);
    }
}

}  // namespace
}  // namespace tz52sim
