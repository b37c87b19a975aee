// The MQTT face's judgement of set messages (set_judgement.h).
#include "tools/tz52/bridge/mqtt/set_judgement.h"

#include <mosquitto.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/text/trim.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/point_types.h"

namespace {

// A set payload: a whole number, decimal or 0x hexadecimal, with blanks
// around it and a sign allowed. A number no point can hold (negative, or too
// large for 64 bits) still counts as a number, so that the refusal can say
// "out of range".
enum class Payload { kNumber, kNegative, kTooLarge, kNotANumber };

Payload ParsePayload(const std::string& raw, uint64_t* magnitude) {
    const std::string trimmed = Trim(raw);
    std::string_view text = trimmed;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const NumberText read = ReadWholeNumber(text, magnitude);
    if (read == NumberText::kNotANumber) return Payload::kNotANumber;
    if (read == NumberText::kTooLarge) return Payload::kTooLarge;
    return negative && *magnitude != 0 ? Payload::kNegative : Payload::kNumber;
}

}  // namespace

const char kRetainedSetMessage[] = "a retained set is never written; publish sets without retain";

bool CheckTopicPrefix(const std::string& given, std::string* prefix, std::string* error) {
    *prefix = given;
    while (!prefix->empty() && prefix->back() == '/') prefix->pop_back();
    // The broker keeps topics that start with $ for itself and drops what
    // clients publish there; + and # are wildcards, and NUL ends no topic.
    if (prefix->empty() || (*prefix)[0] == '$' || prefix->find_first_of(std::string("+#\0", 3)) != std::string::npos) {
        *error = "--topic-prefix " + Quoted(given) +
                 ": a topic prefix is not empty, does not start with $ and has no +, # or NUL";
        return false;
    }
    return true;
}

std::string SetTopicFilter(const std::string& prefix) { return prefix + "/+/set"; }

std::string SetTopicPoint(const std::string& prefix, const std::string& topic) {
    bool matches = false;
    // A topic from the broker ends at its first NUL; one with a NUL inside
    // came from elsewhere and is no set topic.
    if (topic.find('\0') != std::string::npos ||
        mosquitto_topic_matches_sub(SetTopicFilter(prefix).c_str(), topic.c_str(), &matches) != MOSQ_ERR_SUCCESS ||
        !matches) {
        return "";
    }
    // + matches an empty level too, which names no point: "" then as well.
    const size_t start = prefix.size() + 1;
    return topic.substr(start, topic.size() - start - (sizeof "/set" - 1));
}

Json SetValue(const std::string& payload) {
    uint64_t magnitude = 0;
    switch (ParsePayload(payload, &magnitude)) {
        case Payload::kNumber:
            return Json(magnitude);
        case Payload::kNegative:
            // Down to -2^63, which a signed 64-bit reader still takes.
            if (magnitude <= static_cast<uint64_t>(INT64_MAX) + 1) return Json(static_cast<int64_t>(0 - magnitude));
            return Json(nullptr);
        case Payload::kTooLarge:
        case Payload::kNotANumber:
            break;
    }
    return Json(nullptr);
}

Json SetShownValue(const std::string& payload) {
    const Json value = SetValue(payload);
    return value.is_null() ? Json(payload) : value;
}

std::string SetResultText(const std::string& payload, int result, const std::string& message) {
    return JsonText(Json{{"value", SetValue(payload)}, {"payload", payload}, {"result", result}, {"message", message}});
}

SetJudgement JudgeSet(QmxMainFunction entry, const std::string& prefix, const WritePermission& permission,
                      const std::string& topic, const std::string& payload, bool retained) {
    SetJudgement judgement;
    const std::string point = SetTopicPoint(prefix, topic);
    if (point.empty()) return judgement;
    judgement.answer = true;
    judgement.setTopic = topic;
    judgement.resultTopic = prefix + "/" + point + "/result";

    uint64_t value = 0;
    const Payload parsed = ParsePayload(payload, &value);
    judgement.shownValue = SetShownValue(payload);
    const auto refuse = [&](const std::string& message) {
        judgement.message = message;
        judgement.resultText = SetResultText(payload, kResultRefused, message);
        return judgement;
    };
    // A retained set would be written again on every connect, over whatever
    // was set since: it is never written, and cleared so it cannot come back.
    if (retained) {
        judgement.clear = true;
        return refuse(kRetainedSetMessage);
    }
    const CheckedAddress address = CheckAddress(entry, point);
    if (address.result != kResultOk) {
        return refuse(Quoted(point) + " is not a valid point address: " + AddressRefusalReason(address) +
                      "; nothing was sent");
    }
    const std::string name = CanonicalAddress(address);
    // The broker's access rules go by the topic as written: another
    // spelling of a point (001m025, a blank) must not get around the rule of
    // its own topic, so only the spelling the bridge publishes is a set.
    if (point != name) {
        return refuse(Quoted(point) + " is not how the bridge names the point: its set topic is " +
                      prefix + "/" + name + "/set; nothing was sent");
    }
    const char type = PointTypeLetter(address.pointType);
    if (!IsWritableType(address.pointType)) {
        return refuse(std::string("points of type ") + type +
                      " are inputs; only C, M, O and S points can be written; nothing was sent");
    }
    if (!permission.Allows(name)) {
        return refuse("writes to " + name + " are not allowed (the bridge's --allow-write does not name it); " +
                      "nothing was sent");
    }
    if (parsed == Payload::kNotANumber) {
        return refuse("the value is not a number (decimal, or hexadecimal with 0x); nothing was sent");
    }
    const uint64_t largest = LargestPointValue(address.pointType);
    if (parsed != Payload::kNumber || value > largest) {
        return refuse("the value is outside 0 to " + std::to_string(largest) + " for type " + type +
                      "; nothing was sent");
    }
    judgement.write = true;
    judgement.address = address;
    judgement.point = name;
    judgement.value = static_cast<uint16_t>(value);
    return judgement;
}
