// Ten thousand exchanges against a simulator that puts random faults on the
// line at a fixed seed. The fault of every exchange is known from the seed,
// so each call's result is predicted and checked; a read that succeeds must
// carry the value the controller holds, a failed one must leave the slot
// alone, and the run must leave no descriptor behind.
#include <dirent.h>

#include <random>

#include "tests/tools/sim_line_support.h"

namespace simline {
namespace {

constexpr int32_t kTimeout = 15;  // 150 ms: room for the late replies below on a loaded machine
constexpr int kLateMs = 5;
constexpr double kFaultRate = 0.1;
constexpr uint64_t kSeed = 20240611;
constexpr uint64_t kExchanges = 10000;

int OpenDescriptors() {
    int count = 0;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - 1;  // the directory's own descriptor
}

// The result of one exchange's reception as the driver sees it.
int ReceptionResult(tz52sim::FaultKind kind) {
    switch (kind) {
        case tz52sim::FaultKind::kDamage: return 1;
        case tz52sim::FaultKind::kSilent:
        case tz52sim::FaultKind::kShort:
        case tz52sim::FaultKind::kBadStart: return 2;
        default: return 0;  // none, a late reply within the limit, stray bytes after it
    }
}

struct Pick {
    bool write;
    int station;
    char type;
    int index;
    uint16_t value;
};

Pick RandomPick(std::mt19937& random) {
    static const struct {
        char type;
        int first;
        int last;
        uint32_t maxValue;
    } kTypes[] = {{'A', 9, 12, 381},   {'B', 1, 16, 127},  {'C', 1, 16, 65535},
                  {'M', 1, 256, 65535}, {'O', 1, 12, 1}, {'S', 1, 250, 65535}};
    const auto& type = kTypes[random() % 6];
    Pick pick;
    pick.write = type.type != 'A' && type.type != 'B' && random() % 2 == 0;
    pick.station = random() % 2 == 0 ? 1 : 9;
    pick.type = type.type;
    pick.index = type.first + static_cast<int>(random() % static_cast<uint32_t>(type.last - type.first + 1));
    pick.value = static_cast<uint16_t>(random() % (type.maxValue + 1));
    return pick;
}

TEST(SoakAgainstSimulator, EveryResultMatchesTheFaultsInjected) {
    const int descriptorsBefore = OpenDescriptors();
    tz52sim::SimConfig config = SimulatorConfig({}, {}, {1, 9});
    config.faults.randomRate = kFaultRate;
    config.faults.seed = kSeed;
    config.faults.randomLateMs = kLateMs;
    const tz52sim::FaultPlan plan = config.faults;
    std::mt19937 random(7);

    {
        auto simulator = StartSimulator(config);
        HostPort port;
        ASSERT_EQ(port.Open(simulator->PortName(), kTimeout), 0);

        uint64_t exchange = 0;
        int calls = 0;
        int failedCalls = 0;
        int faultsSeen[8] = {};
        while (exchange < kExchanges) {
            const Pick pick = RandomPick(random);
            const tz52sim::PointRef point = Point(pick.station, pick.type, pick.index);
            const bool twoExchanges = pick.write && pick.type == 'S';

            // The result the driver must give: up to three attempts, each
            // taking one exchange (the low and then the high byte for S
            // writes), and M reads above 32 turn a failed reception into 1.
            int expected = 0;
            uint64_t predicted = exchange;
            for (int attempt = 0; attempt < 3; ++attempt) {
                tz52sim::FaultKind kind = plan.FaultFor(++predicted).kind;
                ++faultsSeen[static_cast<int>(kind)];
                expected = ReceptionResult(kind);
                if (expected == 0 && twoExchanges) {
                    kind = plan.FaultFor(++predicted).kind;
                    ++faultsSeen[static_cast<int>(kind)];
                    expected = ReceptionResult(kind);
                }
                if (expected == 2 && !pick.write && pick.type == 'M' && pick.index > 32) expected = 1;
                if (expected == 0) break;
            }

            for (uint8_t& byte : port.buffer) byte = static_cast<uint8_t>(random());
            if (pick.write) port.SetSlot(pick.value);
            std::vector<uint8_t> expectedBuffer = port.Buffer();
            int result;
            if (pick.write) {
                result = port.Write(pick.station, pick.type, pick.index, pick.value);
            } else {
                simulator->SetPoint(point, pick.value);
                result = port.Read(pick.station, pick.type, pick.index);
            }
            ++calls;
            if (result != 0) ++failedCalls;

            ASSERT_EQ(result, expected) << "call " << calls << " from exchange " << exchange + 1;
            ASSERT_EQ(ExchangesSeen(*simulator, predicted), predicted) << "call " << calls;
            if (pick.write) {
                if (result == 0) {
                    ASSERT_EQ(simulator->GetPoint(point),
                              pick.type == 'O' ? (pick.value & 1) : pick.value);
                }
            } else if (result == 0) {
                // Never a value from a damaged, stale or stray reply.
                expectedBuffer[2] = static_cast<uint8_t>(pick.value & 0xFF);
                expectedBuffer[3] = static_cast<uint8_t>(pick.value >> 8);
            }
            ASSERT_EQ(port.Buffer(), expectedBuffer) << "call " << calls;
            exchange = predicted;
        }
        EXPECT_EQ(port.Close(), 0);
        simulator->Close();
        EXPECT_EQ(simulator->ExchangeCount(), exchange);

        // The run was a real test of every fault and of both outcomes.
        for (int kind = 1; kind <= 6; ++kind) EXPECT_GT(faultsSeen[kind], 50) << kind;
        EXPECT_GT(failedCalls, 0);
        EXPECT_GT(calls, 5000);
    }
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

}  // namespace
}  // namespace simline
