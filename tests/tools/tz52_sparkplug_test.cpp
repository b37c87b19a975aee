// The bridge's Sparkplug B edge node without a broker: seq and bdSeq over
// connections and births, ids and topics, what births, data and the store
// give the host, and the judgement of the commands a host sends. Payloads
// are read back with the generated schema; a Sparkplug implementation of
// others reads them, and the topics, in sparkplug_peer/.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "sparkplug_b.pb.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_commands.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_store.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_topics.h"

using tz52::sparkplug::Payload;
using PayloadMetric = tz52::sparkplug::Payload::Metric;

namespace {

constexpr uint64_t kNow = 1765300000000;

Payload Decoded(const SparkplugMessage& message) {
    Payload payload;
    EXPECT_TRUE(payload.ParseFromString(message.payload)) << message.topic;
    return payload;
}

// A node born with station 001's points M001 (alias given at birth), M002,
// O001 (one bit) and A009 (an input), and station 002's M001.
struct BornNode {
    SparkplugNode node{"plant", "line1"};
    BornNode() {
        node.Connect(kNow);
        node.NodeBirth(kNow, {});
        node.DeviceBirth("001", {{"001M001", 5, kNow}, {"001M002", 6, kNow}, {"001O001", 1, kNow, 1},
                                 {"001A009", 200, kNow, 381}},
                         kNow);
        node.DeviceBirth("002", {{"002M001", 7, kNow}}, kNow);
    }
    uint64_t Alias(const std::string& device, const std::string& name) const {
        return node.FindBornByName(device, name)->alias;
    }
};

// The order of seq and bdSeq over a session is the peer test's; here the
// wrap, which a session of the peer test does not reach.
TEST(SparkplugSequence, SeqAndBdSeqFollow255With0) {
    SparkplugSequence sequence;
    EXPECT_EQ(sequence.NewConnection(), 0u);
    EXPECT_EQ(sequence.Birth(), 0u);
    for (uint64_t expected = 1; expected <= 255; ++expected) ASSERT_EQ(sequence.Next(), expected);
    EXPECT_EQ(sequence.Next(), 0u);
    EXPECT_EQ(sequence.Birth(), 0u);
    EXPECT_EQ(sequence.Next(), 1u);
    for (int i = 0; i < 255; ++i) sequence.NewConnection();
    EXPECT_EQ(sequence.BdSeq(), 255u);
    EXPECT_EQ(sequence.NewConnection(), 0u);
}

TEST(SparkplugTopics, IdsAreOneTopicLevelOfUtf8) {
    const struct {
        const char* id;
        bool valid;
        const char* reason;
    } rows[] = {
        {"line1", true, ""},
        {"Halle \xC3\x96st \xE2\x82\xAC \xF0\x9F\x8F\xAD", true, ""},
        {"", false, "is empty"},
        {"a+b", false, "holds '+'"},
        {"a/b", false, "holds '/'"},
        {"#", false, "holds '#'"},
        {"a\nb", false, "control character"},
        {"a\x7F", false, "control character"},
        {"\xC0\x80", false, "not valid UTF-8"},          // an overlong NUL
        {"\xE0\x80\xAF", false, "not valid UTF-8"},      // an overlong '/'
        {"\xED\xA0\x80", false, "not valid UTF-8"},      // a surrogate
        {"\xF4\x90\x80\x80", false, "not valid UTF-8"},  // above U+10FFFF
        {"ab\xC3", false, "not valid UTF-8"},            // cut short
        {"\x80", false, "not valid UTF-8"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_EQ(CheckSparkplugId(row.id, "the group id", &error), row.valid) << row.id;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.id << ": " << error;
    }
}

TEST(SparkplugNode, DataLeavesOutWhatNoBirthGaveAndSpendsNoSeqOnNothing) {
    BornNode born;
    SparkplugMessage data;
    std::vector<std::string> notBorn;
    ASSERT_TRUE(born.node.DeviceData("001", {{"001M002", 9, kNow}, {"001M099", 1, kNow}}, kNow, &data, &notBorn));
    EXPECT_EQ(notBorn, std::vector<std::string>{"001M099"});
    EXPECT_EQ(Decoded(data).metrics_size(), 1);
    EXPECT_FALSE(born.node.DeviceData("003", {{"003M001", 1, kNow}}, kNow, &data, &notBorn));
    born.node.Connect(kNow);
    born.node.NodeBirth(kNow, {});
    EXPECT_FALSE(born.node.DeviceData("001", {{"001M002", 9, kNow}}, kNow, &data, &notBorn));
    EXPECT_EQ(Decoded(born.node.DeviceDeath("001", kNow)).seq(), 1u);
}

TEST(SparkplugStore, KeepsTheNewestChangesAndDrainsThemAsHistoricalDataInOrder) {
    const struct {
        size_t capacity;
        int kept;
        size_t size;
        uint64_t dropped;
        uint16_t oldestValue;
    } rows[] = {{3, 2, 2, 0, 0}, {3, 3, 3, 0, 0}, {3, 5, 3, 2, 2}, {0, 2, 0, 2, 0}, {kDefaultSparkplugStoreCapacity,
                                                                                        10001, 10000, 1, 1}};
    for (const auto& row : rows) {
        SparkplugStore store(row.capacity);
        for (int i = 0; i < row.kept; ++i) {
            store.Keep({"001", "001M001", static_cast<uint16_t>(i), kNow + static_cast<uint64_t>(i)});
        }
        EXPECT_EQ(store.Size(), row.size) << row.capacity << " " << row.kept;
        EXPECT_EQ(store.Dropped(), row.dropped) << row.capacity << " " << row.kept;
        const std::vector<SparkplugStoredChange> drained = store.Drain();
        EXPECT_EQ(store.Size(), 0u);
        if (!drained.empty()) {
            EXPECT_EQ(drained.front().value, row.oldestValue);
        }
    }

    BornNode born;
    std::vector<SparkplugStoredChange> kept = {{"001", "001M001", 1, kNow + 1}, {"001", "001M002", 2, kNow + 2},
                                               {"002", "002M001", 3, kNow + 3}, {"001", "001M077", 4, kNow + 4},
                                               {"009", "009M001", 5, kNow + 5}, {"001", "001M001", 6, kNow + 6}};
    for (uint16_t i = 0; i < kSparkplugHistoricalMetricsPerMessage; ++i) kept.push_back({"001", "001M002", i, kNow});
    size_t leftOut = 0;
    const std::vector<SparkplugMessage> messages = born.node.HistoricalData(kept, kNow + 10, &leftOut);
    EXPECT_EQ(leftOut, 2u);
    const struct {
        const char* device;
        int metrics;
        uint64_t firstTime;
    } expected[] = {{"001", 2, kNow + 1}, {"002", 1, kNow + 3}, {"001", 500, kNow + 6}, {"001", 1, kNow}};
    ASSERT_EQ(messages.size(), std::size(expected));
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].topic, std::string("spBv1.0/plant/DDATA/line1/") + expected[i].device);
        const Payload payload = Decoded(messages[i]);
        ASSERT_EQ(payload.metrics_size(), expected[i].metrics) << i;
        EXPECT_EQ(payload.metrics(0).timestamp(), expected[i].firstTime) << i;
        for (const PayloadMetric& metric : payload.metrics()) EXPECT_TRUE(metric.is_historical());
    }
}

// A command's metric: alias (0: none), name ("": none), datatype (0: none)
// and a value of one kind.
struct CommandMetric {
    uint64_t alias = 0;
    std::string name;
    uint32_t datatype = kSparkplugUInt16;
    uint64_t value = 0;
    enum { kInt, kLong, kBoolean, kNull } kind = kInt;
};

std::string CommandPayload(const std::vector<CommandMetric>& metrics) {
    Payload payload;
    payload.set_timestamp(kNow);
    for (const CommandMetric& given : metrics) {
        PayloadMetric* metric = payload.add_metrics();
        if (given.alias != 0) metric->set_alias(given.alias);
        if (!given.name.empty()) metric->set_name(given.name);
        if (given.datatype != 0) metric->set_datatype(given.datatype);
        switch (given.kind) {
            case CommandMetric::kInt: metric->set_int_value(static_cast<uint32_t>(given.value)); break;
            case CommandMetric::kLong: metric->set_long_value(given.value); break;
            case CommandMetric::kBoolean: metric->set_boolean_value(given.value != 0); break;
            case CommandMetric::kNull: metric->set_is_null(true); break;
        }
    }
    return payload.SerializeAsString();
}

TEST(SparkplugCommands, EachCommandIsJudgedBeforeUse) {
    BornNode born;
    born.node.DeviceDeath("002", kNow);
    const uint64_t m1 = born.Alias("001", "001M001"), m2 = born.Alias("001", "001M002");
    const uint64_t o1 = born.Alias("001", "001O001");
    const uint64_t rebirth = born.Alias("", kSparkplugRebirthMetric), bdSeq = born.Alias("", kSparkplugBdSeqMetric);
    const std::string ncmd = "spBv1.0/plant/NCMD/line1", dcmd = "spBv1.0/plant/DCMD/line1/001";
    const CommandMetric rebirthTrue{0, kSparkplugRebirthMetric, kSparkplugBoolean, 1, CommandMetric::kBoolean};
    std::vector<CommandMetric> tooMany(kSparkplugMostWritesPerCommand + 1, CommandMetric{m1, "", 0, 1});
    const auto mayWrite = [](const std::string&, const std::string& address) {
        return address != "001M002" && address != "001A009";
    };
    using V = SparkplugVerdict;
    const struct {
        const char* what;
        std::string topic;
        std::string payload;
        SparkplugVerdict verdict;
        const char* reasonOrWrites;  // a part of the reason, or the writes "POINT=VALUE ..."
    } rows[] = {
        {"rebirth by name", ncmd, CommandPayload({rebirthTrue}), V::kRebirth, ""},
        {"rebirth by alias, no datatype", ncmd, CommandPayload({{rebirth, "", 0, 1, CommandMetric::kBoolean}}),
         V::kRebirth, ""},
        {"rebirth false", ncmd, CommandPayload({{rebirth, "", kSparkplugBoolean, 0, CommandMetric::kBoolean}}),
         V::kRefused, "asks for nothing"},
        {"bdSeq commanded", ncmd, CommandPayload({{bdSeq, "", kSparkplugUInt64, 9, CommandMetric::kLong}}),
         V::kRefused, "only \"Node Control/Rebirth\""},
        {"a node metric never given", ncmd,
         CommandPayload({{0, "Node Control/Reboot", kSparkplugBoolean, 1, CommandMetric::kBoolean}}), V::kRefused,
         "gave no such metric"},
        {"no payload", ncmd, "\xFF\xFF\xFF", V::kRefused, "no Sparkplug B payload"},
        {"no metric", ncmd, CommandPayload({}), V::kRefused, "holds no metric"},
        {"write by alias", dcmd, CommandPayload({{m1, "", kSparkplugUInt16, 65535}}), V::kWrites, "001M001=65535"},
        {"writes by name and by both, in order", dcmd, CommandPayload({{0, "001O001", 0, 1}, {m1, "001M001", 0, 0}}),
         V::kWrites, "001O001=1 001M001=0"},
        {"name and alias of two metrics", dcmd, CommandPayload({{m1, "001O001", 0, 1}}),
         V::kRefused, "two different metrics"},
        {"a long name shown cut short", dcmd,
         CommandPayload({{0, std::string(63, 'x') + "\xC3\x96" + std::string(100, 'y'), 0, 1}}),
         V::kRefused, "metric 1 \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"...: device"},
        {"a payload longer than a command takes", dcmd,
         CommandPayload({{m1, std::string(kSparkplugMostCommandBytes, 'x'), 0, 1}}), V::kRefused,
         "longer than the 65536"},
        {"an alias never given", dcmd, CommandPayload({{999, "", 0, 1}}), V::kRefused, "gave no such metric"},
        {"another device's point", dcmd, CommandPayload({{0, "002M001", 0, 1}}), V::kRefused, "gave no such metric"},
        {"neither name nor alias", dcmd, CommandPayload({{0, "", 0, 1}}), V::kRefused, "neither a name nor an alias"},
        {"datatype UInt32", dcmd, CommandPayload({{m1, "", 7, 1}}), V::kRefused, "datatype 7, its birth gave 6"},
        {"value in the 64-bit field", dcmd, CommandPayload({{m1, "", 0, 1, CommandMetric::kLong}}), V::kRefused,
         "no value of its datatype 6"},
        {"null", dcmd, CommandPayload({{m1, "", 0, 0, CommandMetric::kNull}}), V::kRefused, "is null"},
        {"65536", dcmd, CommandPayload({{m1, "", 0, 65536}}), V::kRefused, "more than point 001M001 holds (65535)"},
        {"2 to a one-bit output", dcmd, CommandPayload({{o1, "", 0, 2}}), V::kRefused,
         "more than point 001O001 holds (1)"},
        {"a point not allowed refuses the whole command", dcmd,
         CommandPayload({{m1, "", 0, 1}, {m2, "", 0, 1}}), V::kRefused, "point 001M002 may not be written"},
        {"more writes than the queue holds", dcmd, CommandPayload(tooMany), V::kRefused, "more than the 256"},
        {"a dead device", "spBv1.0/plant/DCMD/line1/002", CommandPayload({{0, "002M001", 0, 1}}),
         V::kRefused, "not born"},
        {"a name shown escaped", dcmd, CommandPayload({{0, "\x1B[2J", 0, 1}}), V::kRefused,
         "metric 1 \"\\x1B[2J\": device \"001\" gave no such metric"},
        {"another node's command", "spBv1.0/plant/NCMD/line2", CommandPayload({rebirthTrue}), V::kIgnored, ""},
        {"another group's command", "spBv1.0/other/NCMD/line1", CommandPayload({rebirthTrue}), V::kIgnored, ""},
        {"an NCMD with a device", ncmd + "/001", CommandPayload({rebirthTrue}), V::kIgnored, ""},
        {"a DCMD without one", std::string("spBv1.0/plant/DCMD/line1"), CommandPayload({rebirthTrue}), V::kIgnored, ""},
        {"not a command", "spBv1.0/plant/NDATA/line1", CommandPayload({rebirthTrue}), V::kIgnored, ""},
    };
    for (const auto& row : rows) {
        const SparkplugCommand command = JudgeSparkplugCommand(born.node, row.topic, row.payload, mayWrite);
        EXPECT_EQ(command.verdict, row.verdict) << row.what << ": " << command.reason;
        if (row.verdict == V::kRefused) {
            EXPECT_NE(command.reason.find(row.reasonOrWrites), std::string::npos) << row.what << ": " << command.reason;
        }
        std::string writes;
        for (const SparkplugWrite& write : command.writes) {
            writes += (writes.empty() ? "" : " ") + write.address + "=" + std::to_string(write.value);
        }
        EXPECT_EQ(writes, row.verdict == V::kWrites ? row.reasonOrWrites : "") << row.what;
    }
}

}  // namespace

namespace {

// A primary host's STATE, as the broker hands it on: only the object with
// both members of their kinds is taken.
TEST(SparkplugHostState, OnlyOnlineWithATimestampIsTaken) {
    const struct {
        std::string payload;
        bool taken;
        bool online;
        uint64_t timestamp;
    } rows[] = {
        {R"({"online":true,"timestamp":1765300000000})", true, true, 1765300000000},
        {R"({"timestamp":5,"online":false,"extra":[1]})", true, false, 5},
        {"ONLINE", false, false, 0},  // the text of older hosts
        {R"({"online":"true","timestamp":5})", false, false, 0},
        {R"({"online":true,"timestamp":-5})", false, false, 0},
        {R"({"online":true})", false, false, 0},
        {R"([{"online":true,"timestamp":5}])", false, false, 0},
        {"", false, false, 0},
        {R"({"online":true,"timestamp":5,"pad":")" + std::string(1024, 'x') + "\"}", false, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.payload.substr(0, 60));
        SparkplugHostState state;
        std::string why;
        ASSERT_EQ(ParseSparkplugHostState(row.payload, &state, &why), row.taken) << why;
        if (!row.taken) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(state.online, row.online);
        EXPECT_EQ(state.timestamp, row.timestamp);
    }
}

}  // namespace
