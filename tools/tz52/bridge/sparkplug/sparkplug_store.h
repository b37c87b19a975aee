// Store and forward: the changed values the bridge could not publish while
// the broker was away, kept in order up to a bound (the oldest dropped
// first, and counted), and handed back whole after the next birth, when
// SparkplugNode::HistoricalData sends them as historical metrics.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_STORE_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_STORE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"

constexpr size_t kDefaultSparkplugStoreCapacity = 10000;

class SparkplugStore {
public:
    explicit SparkplugStore(size_t capacity = kDefaultSparkplugStoreCapacity) : capacity_(capacity) {}

    // Keeps `change`; when the store is full the oldest change goes and
    // true says so.
    bool Keep(SparkplugStoredChange change);
    // The changes kept, oldest first; the store is empty after.
    std::vector<SparkplugStoredChange> Drain();

    size_t Size() const { return changes_.size(); }
    size_t Capacity() const { return capacity_; }
    // Every change dropped since the start, for the log and the metrics.
    uint64_t Dropped() const { return dropped_; }

private:
    size_t capacity_;
    std::deque<SparkplugStoredChange> changes_;
    uint64_t dropped_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_STORE_H
