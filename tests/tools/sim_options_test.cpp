// The simulator's command line and its faults: what each spelling sets up,
// what is refused, and what each fault does to a reply.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/tz52sim/sim_faults.h"
#include "tools/tz52sim/sim_options.h"

namespace tz52sim {
namespace {

CommandLineOutcome Parse(std::vector<const char*> args, SimConfig* config, std::string* error) {
    args.insert(args.begin(), "tz52sim");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), config, error);
}

TEST(SimulatorCommandLine, SetsPointsStationsAndFaults) {
    SimConfig config;
    std::string error;
    ASSERT_EQ(Parse({"--station", "5", "--station=1", "--set", "001M025=1234", "--set",
                     "005a012=0x17D", "--set=001C001=0010", "--fault", "3:late=50", "--fault",
                     "7:damage=5", "--random-faults", "0.25", "--seed", "42", "--baud", "9600",
                     "--format", "7e2", "--link", "/tmp/tz", "--trace"},
                    &config, &error),
              CommandLineOutcome::kRun)
        << error;
    EXPECT_EQ(config.stations, (std::vector<int>{1, 5}));
    ASSERT_EQ(config.assignments.size(), 3u);
    EXPECT_EQ(FormatPoint(config.assignments[0].point), "001M025");
    EXPECT_EQ(config.assignments[0].value, 1234);
    EXPECT_EQ(FormatPoint(config.assignments[1].point), "005A012");
    EXPECT_EQ(config.assignments[1].value, 381);
    EXPECT_EQ(config.assignments[2].value, 10);  // leading zeros are decimal
    EXPECT_EQ(DescribeFault(config.faults.scripted.at(3)), "late=50");
    EXPECT_EQ(DescribeFault(config.faults.scripted.at(7)), "damage=5");
    EXPECT_EQ(config.faults.randomRate, 0.25);
    EXPECT_EQ(config.faults.seed, 42u);
    EXPECT_EQ(config.baud, 9600u);
    EXPECT_EQ(FormatLineFormat(config.format), "7E2");
    EXPECT_EQ(BitsPerCharacter(config.format), 11);
    EXPECT_EQ(config.linkPath, "/tmp/tz");
    EXPECT_TRUE(config.trace);

    SimConfig defaults;
    ASSERT_EQ(Parse({}, &defaults, &error), CommandLineOutcome::kRun);
    EXPECT_EQ(defaults.stations, std::vector<int>{1});
    EXPECT_EQ(BitsPerCharacter(defaults.format), 10);
    EXPECT_EQ(Parse({"--baud", "9600", "--help"}, &defaults, &error), CommandLineOutcome::kHelp);
    EXPECT_EQ(Parse({"-V"}, &defaults, &error), CommandLineOutcome::kVersion);

    // Without --station, the stations the points name are served.
    SimConfig named;
    ASSERT_EQ(Parse({"--set", "099C001=2", "--set", "003M025=1"}, &named, &error), CommandLineOutcome::kRun) << error;
    EXPECT_EQ(named.stations, (std::vector<int>{3, 99}));
}

TEST(SimulatorCommandLine, RefusesWhatItCannotServe) {
    const std::vector<std::vector<const char*>> refused = {
        {"--set", "001A009=382"},          // above the A range
        {"--set", "001B001=128"},
        {"--set", "001O001=2"},
        {"--set", "001M025=65536"},
        {"--set", "001M257=1"},            // index out of range
        {"--set", "128M001=1"},            // station out of range
        {"--set", "001X001=1"},
        {"--set", "001M025"},
        {"--set", "001M025=-1"},
        {"--station", "1", "--set", "002M025=1"},  // station not served
        {"--station", "0"},
        {"--station", "128"},
        {"--fault", "0:silent"},
        {"--fault", "2:damage=1"},         // the first two bytes carry no pair to damage
        {"--fault", "2:late"},
        {"--fault", "2:silent=3"},
        {"--fault", "2:flood"},
        {"--fault", "silent"},
        {"--random-faults", "1.5"},
        {"--seed", "3"},                   // without --random-faults
        {"--format", "9N1"},
        {"--format", "8X1"},
        {"--baud", "0"},
        {"--baud"},
        {"--device", "/dev/ttyS0", "--link", "/tmp/tz"},
        {"--trace=1"},
        {"--frobnicate"},
        {"001M025=1"},                     // an operand
    };
    for (const auto& args : refused) {
        SimConfig config;
        std::string error;
        EXPECT_EQ(Parse(args, &config, &error), CommandLineOutcome::kError) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(SimulatorCommandLine, ReadsAssignmentsFromAFile) {
    char path[] = "/tmp/tz52sim-set-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "# starting values\n001M025=1234\n\n  001S250 = 0xABCD  # a word\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);

    SimConfig config;
    std::string error;
    EXPECT_EQ(Parse({"--set-file", path}, &config, &error), CommandLineOutcome::kRun) << error;
    ASSERT_EQ(config.assignments.size(), 2u);
    EXPECT_EQ(FormatPoint(config.assignments[1].point), "001S250");
    EXPECT_EQ(config.assignments[1].value, 0xABCD);

    FILE* bad = std::fopen(path, "w");
    std::fputs("001M025=1\n001M025=x\n", bad);
    std::fclose(bad);
    SimConfig refused;
    EXPECT_EQ(Parse({"--set-file", path}, &refused, &error), CommandLineOutcome::kError);
    EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    EXPECT_TRUE(refused.assignments.empty()) << "a file with a bad line set points";
    EXPECT_EQ(Parse({"--set-file", "/"}, &refused, &error), CommandLineOutcome::kFileError);
    unlink(path);
}

TEST(ReplyFaults, ChangeTheReplyAsNamed) {
    const Bytes reply = {0xFE, 0x00, 0x00, 0x7F, 0x09, 0x76, 0x1A, 0x65, 0x00, 0x7F};
    struct Case {
        Fault fault;
        Bytes sent;
        size_t stray;
        int delayMs;
    };
    const Case cases[] = {
        {{FaultKind::kNone, 0}, reply, 0, 0},
        {{FaultKind::kSilent, 0}, {}, 0, 0},
        {{FaultKind::kLate, 30}, reply, 0, 30},
        {{FaultKind::kDamage, 5}, {0xFE, 0x00, 0x00, 0x7F, 0x09, 0x77, 0x1A, 0x65, 0x00, 0x7F}, 0, 0},
        {{FaultKind::kDamage, 2}, {0xFE, 0x00, 0x01, 0x7F, 0x09, 0x76, 0x1A, 0x65, 0x00, 0x7F}, 0, 0},
        {{FaultKind::kDamage, 40}, {0xFE, 0x00, 0x00, 0x7F, 0x09, 0x76, 0x1A, 0x65, 0x00, 0x7E}, 0, 0},
        {{FaultKind::kBadStart, 0}, {0xFF, 0x00, 0x00, 0x7F, 0x09, 0x76, 0x1A, 0x65, 0x00, 0x7F}, 0, 0},
        {{FaultKind::kShort, 3}, {0xFE, 0x00, 0x00}, 0, 0},
        {{FaultKind::kShort, 40}, Bytes(reply.begin(), reply.end() - 1), 0, 0},
        {{FaultKind::kStray, 6}, reply, 6, 0},
        {{FaultKind::kLostWrite, 0}, reply, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DescribeFault(c.fault));
        const Transmission sent = ApplyFault(c.fault, reply, 1);
        EXPECT_EQ(sent.bytes, c.sent);
        EXPECT_EQ(sent.stray.size(), c.stray);
        EXPECT_EQ(sent.delayMs, c.delayMs);
        EXPECT_FALSE(sent.hangUp);
    }
    const Transmission hangUp = ApplyFault({FaultKind::kHangUp, 0}, reply, 1);
    EXPECT_TRUE(hangUp.hangUp);
    EXPECT_EQ(hangUp.bytes.size(), 5u);
}

TEST(FaultPlan, ScriptedFaultsWinAndRandomOnesRepeatWithTheSeed) {
    FaultPlan plan;
    plan.scripted[2] = {FaultKind::kSilent, 0};
    EXPECT_EQ(plan.FaultFor(1).kind, FaultKind::kNone);
    EXPECT_EQ(plan.FaultFor(2).kind, FaultKind::kSilent);

    plan.randomRate = 0.25;
    plan.seed = 7;
    plan.randomLateMs = 9;
    FaultPlan again = plan;
    FaultPlan otherSeed = plan;
    otherSeed.seed = 8;
    int faulted = 0;
    int differences = 0;
    int kinds[8] = {};
    for (uint64_t n = 1; n <= 20000; ++n) {
        const Fault fault = plan.FaultFor(n);
        const Fault repeat = again.FaultFor(n);
        ASSERT_EQ(fault.kind, repeat.kind);
        ASSERT_EQ(fault.amount, repeat.amount);
        if (otherSeed.FaultFor(n).kind != fault.kind) ++differences;
        if (n == 2) {
            EXPECT_EQ(fault.kind, FaultKind::kSilent);
        }
        if (fault.kind == FaultKind::kNone) continue;
        ++faulted;
        ++kinds[static_cast<int>(fault.kind)];
        if (fault.kind == FaultKind::kLate) {
            EXPECT_EQ(fault.amount, 9);
        }
        if (fault.kind == FaultKind::kDamage) {
            EXPECT_GE(fault.amount, 2);
        }
        EXPECT_NE(fault.kind, FaultKind::kHangUp);
    }
    EXPECT_NEAR(faulted, 5000, 400);
    EXPECT_GT(differences, 1000);
    for (FaultKind kind : {FaultKind::kSilent, FaultKind::kLate, FaultKind::kDamage,
                           FaultKind::kBadStart, FaultKind::kShort, FaultKind::kStray}) {
        EXPECT_GT(kinds[static_cast<int>(kind)], 600) << DescribeFault({kind, 0});
    }
}

}  // namespace
}  // namespace tz52sim
