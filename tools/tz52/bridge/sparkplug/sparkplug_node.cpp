// The edge node's payloads, encoded with the generated lite classes of
// sparkplug_b.proto: the sequence numbers, the aliases, and the record of
// each birth.
#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"

#include <algorithm>

#include "sparkplug_b.pb.h"

using tz52::sparkplug::Payload;
using PayloadMetric = tz52::sparkplug::Payload::Metric;

const char kSparkplugBdSeqMetric[] = "bdSeq";
const char kSparkplugRebirthMetric[] = "Node Control/Rebirth";

namespace {

constexpr uint64_t kSequenceSize = 256;
const std::string kNodeItself;  // the births' key of the node's own metrics

void SetPointValue(PayloadMetric* metric, uint64_t alias, const SparkplugPoint& point) {
    metric->set_alias(alias);
    metric->set_timestamp(point.readMilliseconds);
    metric->set_datatype(kSparkplugUInt16);
    metric->set_int_value(point.value);
}

}  // namespace

uint64_t SparkplugSequence::NewConnection() {
    bdSeq_ = connected_ ? (bdSeq_ + 1) % kSequenceSize : 0;
    connected_ = true;
    return bdSeq_;
}

uint64_t SparkplugSequence::Birth() {
    nextSeq_ = 1;
    return 0;
}

uint64_t SparkplugSequence::Next() {
    const uint64_t seq = nextSeq_;
    nextSeq_ = (nextSeq_ + 1) % kSequenceSize;
    return seq;
}

SparkplugNode::SparkplugNode(std::string group, std::string node) : group_(std::move(group)), node_(std::move(node)) {}

uint64_t SparkplugNode::AliasOf(const std::string& device, const std::string& name) {
    const auto [entry, added] = aliases_.try_emplace({device, name}, nextAlias_);
    if (added) ++nextAlias_;
    return entry->second;
}

void SparkplugNode::Record(const std::string& device, SparkplugBornMetric metric) {
    Birth& birth = births_[device];
    const size_t index = birth.metrics.size();
    birth.byName[metric.name] = index;
    birth.byAlias[metric.alias] = index;
    birth.metrics.push_back(std::move(metric));
}

SparkplugMessage SparkplugNode::Connect(uint64_t now) {
    births_.clear();
    const uint64_t bdSeq = sequence_.NewConnection();
    // The host matches a death to its birth by bdSeq's name, so the will
    // names it rather than giving an alias it may not know yet.
    Payload payload;
    payload.set_timestamp(now);
    PayloadMetric* metric = payload.add_metrics();
    metric->set_name(kSparkplugBdSeqMetric);
    metric->set_timestamp(now);
    metric->set_datatype(kSparkplugUInt64);
    metric->set_long_value(bdSeq);
    return {SparkplugTopic(group_, SparkplugMessageType::kNodeDeath, node_), payload.SerializeAsString()};
}

SparkplugMessage SparkplugNode::NodeBirth(uint64_t now, const std::vector<SparkplugNodeMetric>& metrics) {
    births_.clear();
    Payload payload;
    payload.set_timestamp(now);
    payload.set_seq(sequence_.Birth());
    const auto add = [&](const std::string& name, uint32_t datatype) {
        PayloadMetric* metric = payload.add_metrics();
        const uint64_t alias = AliasOf(kNodeItself, name);
        metric->set_name(name);
        metric->set_alias(alias);
        metric->set_timestamp(now);
        metric->set_datatype(datatype);
        Record(kNodeItself, {name, alias, datatype, 0});
        return metric;
    };
    add(kSparkplugBdSeqMetric, kSparkplugUInt64)->set_long_value(sequence_.BdSeq());
    add(kSparkplugRebirthMetric, kSparkplugBoolean)->set_boolean_value(false);
    for (const SparkplugNodeMetric& given : metrics) {
        if (const bool* flag = std::get_if<bool>(&given.value)) {
            add(given.name, kSparkplugBoolean)->set_boolean_value(*flag);
        } else if (const uint64_t* number = std::get_if<uint64_t>(&given.value)) {
            add(given.name, kSparkplugUInt64)->set_long_value(*number);
        } else {
            add(given.name, kSparkplugString)->set_string_value(std::get<std::string>(given.value));
        }
    }
    return {SparkplugTopic(group_, SparkplugMessageType::kNodeBirth, node_), payload.SerializeAsString()};
}

SparkplugMessage SparkplugNode::DeviceBirth(const std::string& device, const std::vector<SparkplugPoint>& points,
                                            uint64_t now) {
    births_.erase(device);
    births_[device];  // born, even with no point
    Payload payload;
    payload.set_timestamp(now);
    payload.set_seq(sequence_.Next());
    for (const SparkplugPoint& point : points) {
        const uint64_t alias = AliasOf(device, point.address);
        PayloadMetric* metric = payload.add_metrics();
        metric->set_name(point.address);
        SetPointValue(metric, alias, point);
        Record(device, {point.address, alias, kSparkplugUInt16, std::min<uint32_t>(point.largestValue, 65535)});
    }
    return {SparkplugTopic(group_, SparkplugMessageType::kDeviceBirth, node_, device), payload.SerializeAsString()};
}

bool SparkplugNode::DeviceData(const std::string& device, const std::vector<SparkplugPoint>& changes, uint64_t now,
                               SparkplugMessage* message, std::vector<std::string>* notBorn) {
    Payload payload;
    for (const SparkplugPoint& point : changes) {
        const SparkplugBornMetric* born = FindBornByName(device, point.address);
        if (born == nullptr) {
            notBorn->push_back(point.address);
            continue;
        }
        SetPointValue(payload.add_metrics(), born->alias, point);
    }
    if (payload.metrics_size() == 0) return false;
    payload.set_timestamp(now);
    payload.set_seq(sequence_.Next());
    *message = {SparkplugTopic(group_, SparkplugMessageType::kDeviceData, node_, device),
                payload.SerializeAsString()};
    return true;
}

SparkplugMessage SparkplugNode::DeviceDeath(const std::string& device, uint64_t now) {
    births_.erase(device);
    Payload payload;
    payload.set_timestamp(now);
    payload.set_seq(sequence_.Next());
    return {SparkplugTopic(group_, SparkplugMessageType::kDeviceDeath, node_, device), payload.SerializeAsString()};
}

std::vector<SparkplugMessage> SparkplugNode::HistoricalData(const std::vector<SparkplugStoredChange>& changes,
                                                            uint64_t now, size_t* leftOut) {
    std::vector<SparkplugMessage> messages;
    *leftOut = 0;
    Payload payload;
    std::string device;
    const auto finish = [&] {
        if (payload.metrics_size() == 0) return;
        payload.set_timestamp(now);
        payload.set_seq(sequence_.Next());
        messages.push_back({SparkplugTopic(group_, SparkplugMessageType::kDeviceData, node_, device),
                            payload.SerializeAsString()});
        payload.Clear();
    };
    for (const SparkplugStoredChange& change : changes) {
        const SparkplugBornMetric* born = FindBornByName(change.device, change.address);
        if (born == nullptr) {
            ++*leftOut;
            continue;
        }
        if (change.device != device ||
            static_cast<size_t>(payload.metrics_size()) == kSparkplugHistoricalMetricsPerMessage) {
            finish();
            device = change.device;
        }
        PayloadMetric* metric = payload.add_metrics();
        SetPointValue(metric, born->alias, {change.address, change.value, change.readMilliseconds});
        metric->set_is_historical(true);
    }
    finish();
    return messages;
}

bool SparkplugNode::DeviceBorn(const std::string& device) const { return births_.count(device) != 0; }

const SparkplugBornMetric* SparkplugNode::FindBornByName(const std::string& device, const std::string& name) const {
    const auto birth = births_.find(device);
    if (birth == births_.end()) return nullptr;
    const auto found = birth->second.byName.find(name);
    return found == birth->second.byName.end() ? nullptr : &birth->second.metrics[found->second];
}

const SparkplugBornMetric* SparkplugNode::FindBornByAlias(const std::string& device, uint64_t alias) const {
    const auto birth = births_.find(device);
    if (birth == births_.end()) return nullptr;
    const auto found = birth->second.byAlias.find(alias);
    return found == birth->second.byAlias.end() ? nullptr : &birth->second.metrics[found->second];
}
