// NCMD and DCMD payloads decoded with the generated lite classes and judged
// metric by metric.
#include "tools/tz52/bridge/sparkplug/sparkplug_commands.h"

#include <nlohmann/json.hpp>

#include <utility>

#include "sparkplug_b.pb.h"
#include "tools/common/cli/quoted.h"

using tz52::sparkplug::Payload;
using PayloadMetric = tz52::sparkplug::Payload::Metric;

namespace {

SparkplugCommand Refused(std::string reason) {
    SparkplugCommand command;
    command.verdict = SparkplugVerdict::kRefused;
    command.reason = std::move(reason);
    return command;
}

// The longest part of a name from outside that a refusal shows.
constexpr size_t kMostNameShown = 64;

// "metric 2 (alias 7)", "metric 1 \"001M025\"": a metric as a refusal names
// it; a long name cut short (at a UTF-8 character's start) and followed by "...".
std::string MetricShown(int index, const PayloadMetric& metric) {
    std::string shown = "metric " + std::to_string(index + 1);
    if (metric.has_name() && metric.name().size() > kMostNameShown) {
        size_t cut = kMostNameShown;
        while (cut > 0 && (static_cast<unsigned char>(metric.name()[cut]) & 0xC0) == 0x80) --cut;
        shown += " " + Quoted(metric.name().substr(0, cut)) + "...";
    } else if (metric.has_name()) {
        shown += " " + Quoted(metric.name());
    }
    if (metric.has_alias()) shown += " (alias " + std::to_string(metric.alias()) + ")";
    return shown;
}

// The metric of the births that `metric` names, by alias or by name (both
// must agree when both are given); nullptr and *why when none.
const SparkplugBornMetric* FindBorn(const SparkplugNode& node, const std::string& device, int index,
                                    const PayloadMetric& metric, std::string* why) {
    const std::string shown = MetricShown(index, metric);
    const std::string whose = device.empty() ? "the node" : "device " + Quoted(device);
    if (!metric.has_alias() && !metric.has_name()) {
        *why = shown + " has neither a name nor an alias";
        return nullptr;
    }
    const SparkplugBornMetric* byAlias = metric.has_alias() ? node.FindBornByAlias(device, metric.alias()) : nullptr;
    const SparkplugBornMetric* byName = metric.has_name() ? node.FindBornByName(device, metric.name()) : nullptr;
    if ((metric.has_alias() && byAlias == nullptr) || (metric.has_name() && byName == nullptr)) {
        *why = shown + ": " + whose + " gave no such metric in its birth";
        return nullptr;
    }
    if (byAlias != nullptr && byName != nullptr && byAlias != byName) {
        *why = shown + ": the name and the alias are of two different metrics";
        return nullptr;
    }
    return byAlias != nullptr ? byAlias : byName;
}

// The datatype, if given, must be the birth's, and the value must be in the
// field that datatype uses.
bool SameKind(int index, const PayloadMetric& metric, const SparkplugBornMetric& born, std::string* why) {
    const std::string shown = MetricShown(index, metric);
    if (metric.has_datatype() && metric.datatype() != born.datatype) {
        *why = shown + " has datatype " + std::to_string(metric.datatype()) + ", its birth gave " +
               std::to_string(born.datatype);
        return false;
    }
    if (metric.has_is_null() && metric.is_null()) {
        *why = shown + " is null: there is no value to act on";
        return false;
    }
    const bool expected = (born.datatype == kSparkplugUInt16 && metric.has_int_value()) ||
                          (born.datatype == kSparkplugBoolean && metric.has_boolean_value()) ||
                          (born.datatype == kSparkplugUInt64 && metric.has_long_value()) ||
                          (born.datatype == kSparkplugString && metric.has_string_value());
    if (!expected) {
        *why = shown + " carries no value of its datatype " + std::to_string(born.datatype);
        return false;
    }
    return true;
}

SparkplugCommand JudgeNodeCommand(const SparkplugNode& node, const Payload& payload) {
    bool rebirth = false;
    std::string why;
    for (int i = 0; i < payload.metrics_size(); ++i) {
        const PayloadMetric& metric = payload.metrics(i);
        const SparkplugBornMetric* born = FindBorn(node, "", i, metric, &why);
        if (born == nullptr) return Refused("NCMD refused: " + why);
        if (born->name != kSparkplugRebirthMetric) {
            return Refused("NCMD refused: " + MetricShown(i, metric) + ": only " + Quoted(kSparkplugRebirthMetric) +
                           " may be commanded");
        }
        if (!SameKind(i, metric, *born, &why)) return Refused("NCMD refused: " + why);
        rebirth = rebirth || metric.boolean_value();
    }
    if (!rebirth) return Refused("NCMD refused: it asks for nothing (" + Quoted(kSparkplugRebirthMetric) + " true)");
    SparkplugCommand command;
    command.verdict = SparkplugVerdict::kRebirth;
    return command;
}

SparkplugCommand JudgeDeviceCommand(const SparkplugNode& node, const std::string& device, const Payload& payload,
                                    const SparkplugMayWrite& mayWrite) {
    const std::string head = "DCMD for device " + Quoted(device) + " refused: ";
    if (!node.DeviceBorn(device)) return Refused(head + "the device is not born (never, or dead since)");
    if (static_cast<size_t>(payload.metrics_size()) > kSparkplugMostWritesPerCommand) {
        return Refused(head + std::to_string(payload.metrics_size()) + " metrics, more than the " +
                       std::to_string(kSparkplugMostWritesPerCommand) + " one command may write");
    }
    SparkplugCommand command;
    command.verdict = SparkplugVerdict::kWrites;
    command.device = device;
    std::string why;
    for (int i = 0; i < payload.metrics_size(); ++i) {
        const PayloadMetric& metric = payload.metrics(i);
        const SparkplugBornMetric* born = FindBorn(node, device, i, metric, &why);
        if (born == nullptr || !SameKind(i, metric, *born, &why)) return Refused(head + why);
        if (metric.int_value() > born->largestValue) {
            return Refused(head + MetricShown(i, metric) + ": " + std::to_string(metric.int_value()) +
                           " is more than point " + born->name + " holds (" + std::to_string(born->largestValue) +
                           ")");
        }
        if (!mayWrite(device, born->name)) {
            return Refused(head + MetricShown(i, metric) + ": point " + born->name + " may not be written");
        }
        command.writes.push_back({born->name, static_cast<uint16_t>(metric.int_value())});
    }
    return command;
}

}  // namespace

SparkplugCommand JudgeSparkplugCommand(const SparkplugNode& node, const std::string& topic, const std::string& payload,
                                       const SparkplugMayWrite& mayWrite) {
    SparkplugTopicParts parts;
    if (!ParseSparkplugTopic(topic, &parts) || parts.group != node.Group() || parts.node != node.NodeId() ||
        (parts.type != SparkplugMessageType::kNodeCommand && parts.type != SparkplugMessageType::kDeviceCommand)) {
        return {};
    }
    const char* type = SparkplugMessageTypeName(parts.type);
    if (payload.size() > kSparkplugMostCommandBytes) {
        return Refused(std::string(type) + " refused: the payload (" + std::to_string(payload.size()) +
                       " bytes) is longer than the " + std::to_string(kSparkplugMostCommandBytes) +
                       " a command may take");
    }
    Payload decoded;
    if (!decoded.ParseFromString(payload)) {
        return Refused(std::string(type) + " refused: the payload (" + std::to_string(payload.size()) +
                       " bytes) is no Sparkplug B payload");
    }
    if (decoded.metrics_size() == 0) return Refused(std::string(type) + " refused: it holds no metric");
    if (parts.type == SparkplugMessageType::kNodeCommand) return JudgeNodeCommand(node, decoded);
    return JudgeDeviceCommand(node, parts.device, decoded, mayWrite);
}

bool ParseSparkplugHostState(const std::string& payload, SparkplugHostState* state, std::string* why) {
    if (payload.size() > kSparkplugMostStateBytes) {
        *why = "longer than " + std::to_string(kSparkplugMostStateBytes) + " bytes";
        return false;
    }
    const nlohmann::json parsed = nlohmann::json::parse(payload, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    const auto online = parsed.find("online");
    const auto timestamp = parsed.find("timestamp");
    if (online == parsed.end() || !online->is_boolean() || timestamp == parsed.end() ||
        !timestamp->is_number_unsigned()) {
        *why = "no \"online\" true or false with a \"timestamp\" in ms";
        return false;
    }
    state->online = online->get<bool>();
    state->timestamp = timestamp->get<uint64_t>();
    return true;
}
