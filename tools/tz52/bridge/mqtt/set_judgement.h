// What the MQTT face makes of a message on `<prefix>/<POINT>/set`: a write
// or a refusal with its /result text. Nothing here sends or receives, so
// every byte sequence can be tried against it (fuzz/bridge_set_fuzz.cpp).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MQTT_SET_JUDGEMENT_H
#define TZ52_TOOLS_TZ52_BRIDGE_MQTT_SET_JUDGEMENT_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/tz52/bridge/core/write_permission.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/output/json.h"

// The topic prefix `given` without its trailing slashes, when it can head
// the bridge's topics; else false and *error says why.
bool CheckTopicPrefix(const std::string& given, std::string* prefix, std::string* error);

// The subscription of the set topics: `<prefix>/+/set`.
std::string SetTopicFilter(const std::string& prefix);
// The POINT of a topic `<prefix>/POINT/set`; "" for any other topic.
std::string SetTopicPoint(const std::string& prefix, const std::string& topic);

// The result message of a set that arrived retained.
extern const char kRetainedSetMessage[];

// A message on a set topic, judged.
struct SetJudgement {
    bool answer = false;      // false: not a set topic under the prefix; nothing to do
    bool write = false;       // write `value` to `address`, then answer with SetResultText
    bool clear = false;       // publish an empty retained message on the set topic
    CheckedAddress address;   // when write
    std::string point;        // the canonical address when write
    uint16_t value = 0;
    std::string setTopic;
    std::string resultTopic;
    Json shownValue;          // for the audit line: SetShownValue of the payload
    std::string resultText;   // the /result JSON when answer and not write
    std::string message;      // its message
};

// Called on the line owner's thread, the only one that calls the driver.
SetJudgement JudgeSet(QmxMainFunction entry, const std::string& prefix, const WritePermission& permission,
                      const std::string& topic, const std::string& payload, bool retained);

// The number a set's payload asks for (decimal or 0x hexadecimal, a sign
// and blanks allowed), negative or out of range included; null when it
// holds none that 64 bits can carry.
Json SetValue(const std::string& payload);
// SetValue, or the payload as text when it holds no number: what the audit
// line shows.
Json SetShownValue(const std::string& payload);

// The /result JSON of a set: {"value":NUMBER|null,"payload":"TEXT",
// "result":...,"message":...}, value as SetValue and payload as received.
std::string SetResultText(const std::string& payload, int result, const std::string& message);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MQTT_SET_JUDGEMENT_H
