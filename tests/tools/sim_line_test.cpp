// The driver end to end over a pseudo-terminal against the simulated
// controller: values written come back from reads, the null port answers
// nothing, and each kind of line fault costs the attempts it should.
#include "tests/tools/sim_line_support.h"
#include "tools/common/line/line_frames.h"
#include "tools/tz52/host/driver_calls.h"

namespace simline {
namespace {

constexpr int32_t kTimeout = 5;  // 50 ms read limit
constexpr long long kLimitMs = kTimeout * 10;

struct Written {
    char type;
    int index;
    uint16_t value;
    uint16_t readBack;  // an O point keeps bit 0 only
};

TEST(DriverAgainstSimulator, AWriteThenAReadReturnsTheValue) {
    const Written cases[] = {
        {'C', 1, 0x1234, 0x1234},  {'C', 16, 0xFFFF, 0xFFFF}, {'M', 1, 0xB778, 0xB778},
        {'M', 32, 0x0001, 0x0001}, {'M', 33, 0x1234, 0x1234}, {'M', 160, 0x8000, 0x8000},
        {'M', 161, 0x0101, 0x0101}, {'M', 256, 0xABCD, 0xABCD}, {'O', 1, 0x0001, 1},
        {'O', 12, 0xFFFF, 1},      {'O', 12, 0x1234, 0},      {'S', 1, 0x1234, 0x1234},
        {'S', 125, 0x00FF, 0x00FF}, {'S', 126, 0x0100, 0x0100}, {'S', 250, 0xABCD, 0xABCD},
    };
    auto simulator = StartSimulator(SimulatorConfig());
    HostPort port;
    ASSERT_EQ(port.Open(simulator->PortName(), kTimeout), 0);
    for (const Written& c : cases) {
        SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.index));
        std::memset(port.buffer, 0xA5, sizeof port.buffer);
        ASSERT_EQ(port.Write(1, c.type, c.index, c.value), 0);
        EXPECT_EQ(simulator->GetPoint(Point(1, c.type, c.index)), c.readBack);

        const std::vector<uint8_t> before = port.Buffer();
        port.SetSlot(static_cast<uint16_t>(~c.readBack));
        ASSERT_EQ(port.Read(1, c.type, c.index), 0);
        EXPECT_EQ(port.Slot(), c.readBack);
        const std::vector<uint8_t> after = port.Buffer();
        EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 2),
                  std::vector<uint8_t>(before.begin(), before.begin() + 2));
        EXPECT_EQ(std::vector<uint8_t>(after.begin() + 4, after.end()),
                  std::vector<uint8_t>(before.begin() + 4, before.end()));
    }
    // The inputs the host cannot write read back as the simulator holds them.
    const struct {
        char type;
        int index;
        uint16_t value;
    } inputs[] = {{'A', 9, 201}, {'A', 12, 381}, {'B', 1, 1}, {'B', 16, 127}};
    for (const auto& input : inputs) {
        simulator->SetPoint(Point(1, input.type, input.index), input.value);
        ASSERT_EQ(port.Read(1, input.type, input.index), 0);
        EXPECT_EQ(port.Slot(), input.value);
    }
    EXPECT_EQ(port.Close(), 0);
}

TEST(DriverAgainstSimulator, OtherStationsStaySilent) {
    auto simulator = StartSimulator(SimulatorConfig({}, {"005C001=77"}, {5}));
    HostPort port;
    ASSERT_EQ(port.Open(simulator->PortName(), kTimeout), 0);
    port.SetSlot(9);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(1, 'C', 1), 2);
    EXPECT_GE(MillisecondsSince(start), 3 * kLimitMs);
    EXPECT_EQ(port.Slot(), 9);
    EXPECT_EQ(port.Read(5, 'C', 1), 0);
    EXPECT_EQ(port.Slot(), 77);
    EXPECT_EQ(ExchangesSeen(*simulator, 1), 1u);
    EXPECT_EQ(port.Close(), 0);
}

TEST(DriverAgainstSimulator, TheNullPortAnswersNothing) {
    // Every request is taken and no reply comes: reads fail with 2, except M
    // above index 32, whose failed receptions give 1; writes fail with 2 for
    // every type. Neither touches the value buffer.
    const struct {
        bool write;
        char type;
        int index;
        int result;
    } cases[] = {
        {false, 'A', 9, 2},   {false, 'B', 1, 2},  {false, 'C', 1, 2},   {false, 'M', 1, 2},
        {false, 'M', 32, 2},  {false, 'M', 33, 1}, {false, 'M', 256, 1}, {false, 'O', 1, 2},
        {false, 'S', 250, 2}, {true, 'C', 16, 2},  {true, 'M', 32, 2},   {true, 'M', 33, 2},
        {true, 'O', 1, 2},    {true, 'S', 1, 2},
    };
    HostPort port;
    ASSERT_EQ(port.Open("NUL", kTimeout), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.write ? "write " : "read ") + c.type + std::to_string(c.index));
        std::memset(port.buffer, 0x5A, sizeof port.buffer);
        const std::vector<uint8_t> before = port.Buffer();
        const int result =
            c.write ? port.Write(1, c.type, c.index, 0x5A5A) : port.Read(1, c.type, c.index);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(port.Buffer(), before);
    }
    EXPECT_EQ(port.Close(), 0);
}

TEST(DriverAgainstSimulator, PacedRepliesTakeTheWireTime) {
    // 1200 baud: 8N1 takes 10 bits, 7E2 11 bits a character. A C read is an
    // 8-byte request and a 10-byte reply; an S write two 14-byte requests
    // with 6-byte acknowledgements. The bridge's wire time of a read (its
    // length and the line's settings) must be the time the line takes.
    const struct {
        const char* format;
        LineSettings line;  // the same format as the driver is told it
        bool write;
        char type;
        long long characters;
        int bits;
    } cases[] = {{"8N1", {1200, 8, 0, 0}, false, 'C', 18, 10},
                 {"7E2", {1200, 7, 2, 2}, false, 'C', 18, 11},
                 {"8N1", {1200, 8, 0, 0}, true, 'S', 40, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        tz52sim::SimConfig config = SimulatorConfig({}, {"001C001=4660"});
        config.baud = 1200;
        std::string error;
        ASSERT_TRUE(tz52sim::ParseLineFormat(c.format, &config.format, &error));
        auto simulator = StartSimulator(config);
        HostPort port;
        ASSERT_EQ(port.Open(simulator->PortName(), 30), 0);
        const auto start = Clock::now();
        ASSERT_EQ(c.write ? port.Write(1, c.type, 1, 0x1234) : port.Read(1, c.type, 1), 0);
        const long long wireMs = c.characters * c.bits * 1000 / 1200;
        EXPECT_GE(MillisecondsSince(start), wireMs);
        EXPECT_LT(MillisecondsSince(start), wireMs + 1000);
        if (!c.write) {
            EXPECT_EQ(port.Slot(), 4660);
            EXPECT_EQ(tz52line::ReadExchangeLength(c.type), static_cast<size_t>(c.characters));
            EXPECT_EQ(WireMicroseconds(tz52line::ReadExchangeLength(c.type), c.line),
                      c.characters * c.bits * 1000000 / 1200);
        }
        EXPECT_EQ(port.Close(), 0);
    }
}

struct FaultCase {
    const char* what;
    std::vector<std::string> faults;
    bool write;
    char type;
    int index;
    int result;
    uint64_t exchanges;  // requests the simulator saw for the call
    long long atLeastMs; // time the call must take at least
    uint64_t eventually = 0;  // requests seen once a late reply has gone out
};

TEST(DriverAgainstSimulator, EachLineFaultCostsTheAttemptsItShould) {
    const FaultCase cases[] = {
        {"no reply, then a good one", {"1:silent"}, false, 'C', 1, 0, 2, kLimitMs},
        {"a reply late within the limit", {"1:late=20"}, false, 'C', 1, 0, 1, 20},
        {"a damaged pair", {"1:damage=5"}, false, 'C', 1, 0, 2, 0},
        {"a damaged first pair", {"1:damage=2"}, false, 'C', 1, 0, 2, 0},
        {"a wrong start byte", {"1:badstart"}, false, 'C', 1, 0, 2, 0},
        {"a reply cut short", {"1:short=3"}, false, 'C', 1, 0, 2, kLimitMs},
        {"stray bytes after the reply", {"1:stray=6"}, false, 'C', 1, 0, 1, 0},
        {"three damaged replies", {"1:damage=4", "2:damage=6", "3:damage=9"}, false, 'C', 1, 1, 3, 0},
        {"three wrong starts", {"1:badstart", "2:badstart", "3:badstart"}, false, 'B', 1, 2, 3, 0},
        {"three silences, M 32", {"1:silent", "2:silent", "3:silent"}, false, 'M', 32, 2, 3,
         3 * kLimitMs},
        {"three silences, M 33", {"1:silent", "2:silent", "3:silent"}, false, 'M', 33, 1, 3,
         3 * kLimitMs},
        {"three short replies, M 256", {"1:short=0", "2:short=5", "3:short=9"}, false, 'M', 256, 1,
         3, 3 * kLimitMs},
        {"a mixture on S", {"1:badstart", "2:short=2", "3:silent"}, false, 'S', 1, 2, 3, 0},
        {"a reply later than three limits", {"1:late=400"}, false, 'A', 9, 2, 1, 3 * kLimitMs, 3},
        {"write: no acknowledgement", {"1:silent"}, true, 'C', 1, 0, 2, kLimitMs},
        {"write: three silences, M 33", {"1:silent", "2:silent", "3:silent"}, true, 'M', 33, 2, 3,
         3 * kLimitMs},
        {"write: damaged bit acknowledgement", {"1:damage=3"}, true, 'O', 3, 0, 2, 0},
        {"write S: low byte unacknowledged", {"1:silent"}, true, 'S', 7, 0, 3, kLimitMs},
        {"write S: high byte damaged", {"2:damage=4"}, true, 'S', 7, 0, 4, 0},
        {"write S: every high byte lost", {"2:silent", "4:silent", "6:silent"}, true, 'S', 7, 2, 6,
         3 * kLimitMs},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto simulator = StartSimulator(SimulatorConfig(c.faults));
        simulator->SetPoint(Point(1, c.type, c.index), 1);
        HostPort port;
        ASSERT_EQ(port.Open(simulator->PortName(), kTimeout), 0);
        std::memset(port.buffer, 0x3C, sizeof port.buffer);
        const uint16_t value = 0x0101;
        const auto start = Clock::now();
        const int result = c.write ? port.Write(1, c.type, c.index, value) : port.Read(1, c.type, c.index);
        const long long elapsed = MillisecondsSince(start);
        EXPECT_EQ(result, c.result);
        EXPECT_GE(elapsed, c.atLeastMs);
        EXPECT_LT(elapsed, 3 * kLimitMs + 1500);
        EXPECT_EQ(ExchangesSeen(*simulator, c.exchanges), c.exchanges);

        if (c.write) {
            EXPECT_EQ(port.Slot(), value);
            const uint16_t stored = c.type == 'O' ? (value & 1) : value;
            if (result == 0) {
                EXPECT_EQ(simulator->GetPoint(Point(1, c.type, c.index)), stored);
            }
        } else {
            EXPECT_EQ(port.Slot(), result == 0 ? 1 : 0x3C3C);
        }

        // Whatever the fault left on the line, the next call starts clean;
        // a reply later than the whole call lands before it.
        if (c.eventually > c.exchanges) {
            EXPECT_EQ(ExchangesSeen(*simulator, c.eventually), c.eventually);
            std::this_thread::sleep_for(std::chrono::milliseconds(kLimitMs));
        }
        simulator->SetPoint(Point(1, 'C', 2), 4242);
        EXPECT_EQ(port.Read(1, 'C', 2), 0);
        EXPECT_EQ(port.Slot(), 4242);
        EXPECT_EQ(port.Close(), 0);
    }
}

}  // namespace
}  // namespace simline
