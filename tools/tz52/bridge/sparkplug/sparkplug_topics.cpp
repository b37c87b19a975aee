// Sparkplug B topic names and the check of the ids in them.
#include "tools/tz52/bridge/sparkplug/sparkplug_topics.h"

#include <cstddef>
#include <cstdint>

#include "tools/common/cli/quoted.h"

namespace {

constexpr char kNamespace[] = "spBv1.0";

struct MessageTypeRow {
    SparkplugMessageType type;
    const char* name;
    bool device;
};

constexpr MessageTypeRow kMessageTypes[] = {
    {SparkplugMessageType::kNodeBirth, "NBIRTH", false},    {SparkplugMessageType::kNodeDeath, "NDEATH", false},
    {SparkplugMessageType::kNodeData, "NDATA", false},      {SparkplugMessageType::kNodeCommand, "NCMD", false},
    {SparkplugMessageType::kDeviceBirth, "DBIRTH", true},   {SparkplugMessageType::kDeviceDeath, "DDEATH", true},
    {SparkplugMessageType::kDeviceData, "DDATA", true},     {SparkplugMessageType::kDeviceCommand, "DCMD", true},
};

const MessageTypeRow& RowOf(SparkplugMessageType type) {
    for (const MessageTypeRow& row : kMessageTypes) {
        if (row.type == type) return row;
    }
    return kMessageTypes[0];
}

// The length of the UTF-8 sequence at `at`, or 0 where the bytes are no
// valid UTF-8 (overlong forms, surrogates and code points above U+10FFFF
// included).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) return 0;
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

}  // namespace

const char* SparkplugMessageTypeName(SparkplugMessageType type) { return RowOf(type).name; }

bool IsDeviceMessage(SparkplugMessageType type) { return RowOf(type).device; }

bool CheckSparkplugId(const std::string& id, const std::string& what, std::string* error) {
    if (id.empty()) {
        *error = what + " is empty";
        return false;
    }
    for (size_t at = 0; at < id.size();) {
        const size_t length = Utf8SequenceLength(id, at);
        if (length == 0) {
            *error = what + " " + Quoted(id) + " is not valid UTF-8";
            return false;
        }
        const unsigned char c = static_cast<unsigned char>(id[at]);
        if (c == '+' || c == '/' || c == '#') {
            *error = what + " " + Quoted(id) + " holds '" + static_cast<char>(c) +
                     "', which a Sparkplug id may not (it is a topic level of its own)";
            return false;
        }
        if (c < 0x20 || c == 0x7F) {
            *error = what + " " + Quoted(id) + " holds a control character";
            return false;
        }
        at += length;
    }
    return true;
}

std::string SparkplugTopic(const std::string& group, SparkplugMessageType type, const std::string& node,
                           const std::string& device) {
    std::string topic = std::string(kNamespace) + "/" + group + "/" + SparkplugMessageTypeName(type) + "/" + node;
    if (IsDeviceMessage(type)) topic += "/" + device;
    return topic;
}

bool ParseSparkplugTopic(const std::string& topic, SparkplugTopicParts* parts) {
    std::string levels[5];
    size_t count = 0;
    size_t start = 0;
    while (true) {
        const size_t slash = topic.find('/', start);
        if (count == 5) return false;
        levels[count++] = topic.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (count < 4 || levels[0] != kNamespace) return false;
    for (const MessageTypeRow& row : kMessageTypes) {
        if (levels[2] != row.name) continue;
        if (count != (row.device ? 5u : 4u)) return false;
        std::string ignored;
        for (size_t i = 1; i < count; ++i) {
            if (i != 2 && !CheckSparkplugId(levels[i], "", &ignored)) return false;
        }
        parts->group = levels[1];
        parts->type = row.type;
        parts->node = levels[3];
        parts->device = row.device ? levels[4] : "";
        return true;
    }
    return false;
}
