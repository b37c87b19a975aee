// The Sparkplug peer test's program: the bridge's edge node in one fixed
// session, so that a Sparkplug B implementation of others can read what it
// builds and write what it judges.
//   sparkplug_peer payloads      the session's messages, a JSON array of
//                                {what, topic, payload (hex)}
//   sparkplug_peer judge TOPIC   the payload on stdin judged at the end of
//                                the session, as JSON {verdict, reason,
//                                device, writes: [{address, value}]}
// Station 001 polls 001M001, 001O001 (one bit) and 001A009 (an input); the
// face lets a host write 001M001 and 001O001.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/tz52/bridge/sparkplug/sparkplug_commands.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_store.h"

namespace {

constexpr uint64_t kStart = 1765300000000;

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 0xF];
    }
    return hex;
}

// The session: a first connection with births, a change and the station
// going silent, then a second connection whose births are followed by the
// changes kept while the broker was away.
std::vector<std::pair<std::string, SparkplugMessage>> Session(SparkplugNode* node) {
    std::vector<std::pair<std::string, SparkplugMessage>> messages;
    const std::vector<SparkplugPoint> points = {
        {"001M001", 5, kStart - 20}, {"001O001", 1, kStart - 10, 1}, {"001A009", 201, kStart - 5, 381}};
    messages.push_back({"will 1", node->Connect(kStart)});
    messages.push_back({"node birth 1", node->NodeBirth(kStart + 1, {{"Line/Port", std::string("/dev/ttyS0")}})});
    messages.push_back({"device birth 1", node->DeviceBirth("001", points, kStart + 2)});
    SparkplugMessage data;
    std::vector<std::string> notBorn;
    node->DeviceData("001", {{"001M001", 6, kStart + 100}}, kStart + 101, &data, &notBorn);
    messages.push_back({"device data", data});
    messages.push_back({"device death", node->DeviceDeath("001", kStart + 200)});

    SparkplugStore store(2);
    for (uint16_t value = 7; value <= 9; ++value) store.Keep({"001", "001M001", value, kStart + 300u + value});
    messages.push_back({"will 2", node->Connect(kStart + 400)});
    messages.push_back({"node birth 2", node->NodeBirth(kStart + 401, {{"Line/Port", std::string("/dev/ttyS0")}})});
    messages.push_back({"device birth 2", node->DeviceBirth("001", points, kStart + 402)});
    size_t leftOut = 0;
    for (const SparkplugMessage& message : node->HistoricalData(store.Drain(), kStart + 403, &leftOut)) {
        messages.push_back({"historical data", message});
    }
    return messages;
}

const char* VerdictName(SparkplugVerdict verdict) {
    switch (verdict) {
        case SparkplugVerdict::kIgnored: return "ignored";
        case SparkplugVerdict::kRefused: return "refused";
        case SparkplugVerdict::kRebirth: return "rebirth";
        case SparkplugVerdict::kWrites: return "writes";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    SparkplugNode node("plant", "line1");
    const auto messages = Session(&node);
    if (mode == "payloads" && argc == 2) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [what, message] : messages) {
            list.push_back({{"what", what}, {"topic", message.topic}, {"payload", Hex(message.payload)}});
        }
        std::cout << list.dump(1) << "\n";
        return 0;
    }
    if (mode == "judge" && argc == 3) {
        const std::string payload((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        const SparkplugCommand command = JudgeSparkplugCommand(
            node, argv[2], payload,
            [](const std::string&, const std::string& address) { return address == "001M001" || address == "001O001"; });
        nlohmann::json writes = nlohmann::json::array();
        for (const SparkplugWrite& write : command.writes) writes.push_back({{"address", write.address}, {"value", write.value}});
        std::cout << nlohmann::json{{"verdict", VerdictName(command.verdict)}, {"reason", command.reason},
                                    {"device", command.device}, {"writes", writes}}
                         .dump()
                  << "\n";
        return 0;
    }
    std::fprintf(stderr, "usage: sparkplug_peer payloads | sparkplug_peer judge TOPIC < PAYLOAD\n");
    return 64;
}
