// The bridge's Sparkplug B topics: spBv1.0/GROUP/MESSAGE_TYPE/NODE[/DEVICE],
// the check of the ids that go into them, and the split of a topic that
// arrives from the broker.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_TOPICS_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_TOPICS_H

#include <string>

enum class SparkplugMessageType {
    kNodeBirth,
    kNodeDeath,
    kNodeData,
    kNodeCommand,
    kDeviceBirth,
    kDeviceDeath,
    kDeviceData,
    kDeviceCommand,
};

// "NBIRTH", "DCMD", ...: the message type as its topic names it.
const char* SparkplugMessageTypeName(SparkplugMessageType type);

// Whether the type is one of a device (its topic ends in /DEVICE).
bool IsDeviceMessage(SparkplugMessageType type);

// Whether `id` may be a group, node or device id: one topic level of valid
// UTF-8, not empty, without '+', '/', '#' or a control character. Else
// false and *error says why, starting with `what` ("the group id").
bool CheckSparkplugId(const std::string& id, const std::string& what, std::string* error);

// The topic of `type` for the node (and the device, for a device's type).
// The ids are expected to have passed CheckSparkplugId.
std::string SparkplugTopic(const std::string& group, SparkplugMessageType type, const std::string& node,
                           const std::string& device = "");

struct SparkplugTopicParts {
    std::string group;
    SparkplugMessageType type = SparkplugMessageType::kNodeData;
    std::string node;
    std::string device;  // "" for a node's message
};

// The parts of a Sparkplug B topic; false for any other topic, one with a
// type it does not know, or one whose device part does not match its type.
bool ParseSparkplugTopic(const std::string& topic, SparkplugTopicParts* parts);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_TOPICS_H
