// Feeds arbitrary topics and payloads, retained or not, to the bridge's
// judgement of a set and checks:
//   - it never throws, and every /result text is one JSON object with the
//     value, the result and the message;
//   - a retained set, a topic outside the prefix or a point not allowed
//     never yields a write;
//   - a write is of a C, M, O or S point the plan allows, with a value that
//     fits its type, on the topic of the point as the bridge spells it.
// Input: one byte of flags (bit 0 retained, bit 1 --allow-write all, bit 2
// the topic taken as given rather than PREFIX/POINT/set), then the point or
// topic, a NUL, and the payload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "fuzz/fuzz_support.h"
#include "driver/driver_api.h"
#include "tools/tz52/bridge/mqtt/set_judgement.h"
#include "tools/tz52/host/point_types.h"

namespace {

void RequireResultText(const std::string& text) {
    const Json parsed = Json::parse(text, nullptr, false);
    Require(parsed.is_object(), "the /result text is no JSON object");
    Require(parsed.size() == 4 && (parsed["value"].is_number_integer() || parsed["value"].is_null()) &&
                parsed["payload"].is_string() && parsed["result"].is_number_integer() && parsed["message"].is_string(),
            "the /result text lacks value (a whole number or null), payload, result or message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = rest.find('\0');
    const std::string head = rest.substr(0, split);
    const std::string payload = split == std::string::npos ? "" : rest.substr(split + 1);

    const WritePermission permission((flags & 2) != 0, {"001C001", "001O002", "127M300"});
    const bool retained = (flags & 1) != 0;
    const std::string topic = (flags & 4) != 0 ? head : "tz52/" + head + "/set";
    try {
        const SetJudgement judgement = JudgeSet(&QmxMain, "tz52", permission, topic, payload, retained);
        if (!judgement.answer) {
            Require(!judgement.write && !judgement.clear, "a message that is no set was acted on");
            return 0;
        }
        Require(judgement.resultTopic.size() > 12 && judgement.resultTopic.compare(0, 5, "tz52/") == 0 &&
                    judgement.resultTopic.compare(judgement.resultTopic.size() - 7, 7, "/result") == 0,
                "the result topic is not PREFIX/POINT/result");
        if (retained) {
            Require(!judgement.write, "a retained set was written");
            Require(judgement.clear, "a retained set was not cleared");
        }
        if (!judgement.write) {
            RequireResultText(judgement.resultText);
            return 0;
        }
        Require(permission.Allows(judgement.point), "a point not allowed was written");
        Require(topic == "tz52/" + judgement.point + "/set", "a point was written through another spelling of its topic");
        Require(IsWritableType(judgement.address.pointType), "an input was written");
        Require(judgement.value <= LargestPointValue(judgement.address.pointType), "a value outside its type");
        Require(SetValue(payload) == Json(judgement.value), "the result's value is not the value written");
        RequireResultText(SetResultText(payload, 2, "a message"));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bridge_set_fuzz: threw %s\n", error.what());
        std::abort();
    }
    return 0;
}
