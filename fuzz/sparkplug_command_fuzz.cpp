// Feeds arbitrary payloads as commands from a Sparkplug host to the
// bridge's judgement of them, against a node born with station 001's points
// 001M001, 001O001 (one bit) and 001A009 (an input), and checks:
//   - it never crashes or throws, and a refusal says why in one line
//     without a control character;
//   - only an NCMD asks for a rebirth, and only a DCMD writes;
//   - a write is of a point of the birth the face allows (never the
//     input), with a value the point holds, at most the queue's length.
// Input: one byte of flags (bit 0 a DCMD for station 001, else an NCMD;
// bit 1 with bit 0: the DCMD is for station 002, which died; bit 2: the
// payload is a primary host's STATE instead, which is taken only as an
// object with both its members, or refused with a reason), then the
// payload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_commands.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"

namespace {

constexpr uint64_t kNow = 1765300000000;

SparkplugNode& BornNode() {
    static SparkplugNode* node = [] {
        auto* born = new SparkplugNode("plant", "line1");
        born->Connect(kNow);
        born->NodeBirth(kNow, {{"Line/Port", std::string("/dev/ttyS0")}});
        born->DeviceBirth("001", {{"001M001", 5, kNow}, {"001O001", 1, kNow, 1}, {"001A009", 201, kNow, 381}}, kNow);
        born->DeviceBirth("002", {{"002M001", 5, kNow}}, kNow);
        born->DeviceDeath("002", kNow);
        return born;
    }();
    return *node;
}

bool MayWrite(const std::string& device, const std::string& address) {
    return device == "001" && (address == "001M001" || address == "001O001");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool device = (flags & 1) != 0;
    const std::string topic = !device ? "spBv1.0/plant/NCMD/line1"
                              : (flags & 2) != 0 ? "spBv1.0/plant/DCMD/line1/002"
                                                 : "spBv1.0/plant/DCMD/line1/001";
    try {
        if ((flags & 4) != 0) {
            SparkplugHostState state;
            std::string why;
            const bool taken = ParseSparkplugHostState(payload, &state, &why);
            Require(taken || (!why.empty() && HasNoControlCharacters(why)), "a STATE refused without a reason");
            Require(!taken || payload.size() <= kSparkplugMostStateBytes, "a STATE longer than the bound taken");
            return 0;
        }
        const SparkplugNode& node = BornNode();
        const SparkplugCommand command = JudgeSparkplugCommand(node, topic, payload, MayWrite);
        switch (command.verdict) {
            case SparkplugVerdict::kIgnored: Require(false, "a command to this node was ignored"); break;
            case SparkplugVerdict::kRefused:
                Require(!command.reason.empty() && HasNoControlCharacters(command.reason),
                        "a refusal without a printable reason");
                Require(command.writes.empty(), "a refusal carries writes");
                break;
            case SparkplugVerdict::kRebirth: Require(!device, "a DCMD asked for a rebirth"); break;
            case SparkplugVerdict::kWrites:
                Require(device && command.device == "001", "writes not from a DCMD for a live station");
                Require(!command.writes.empty() && command.writes.size() <= kSparkplugMostWritesPerCommand,
                        "no writes, or more than the queue holds");
                for (const SparkplugWrite& write : command.writes) {
                    const SparkplugBornMetric* born = node.FindBornByName("001", write.address);
                    Require(born != nullptr && MayWrite("001", write.address), "a point not allowed was written");
                    Require(write.value <= born->largestValue, "a value the point does not hold");
                }
                break;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sparkplug_command_fuzz: threw %s\n", error.what());
        std::abort();
    }
    return 0;
}
