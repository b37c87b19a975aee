// The bridge as a Sparkplug B edge node, without the broker: the payloads
// of its births, data and deaths built from plain structs, the sequence
// numbers they carry, and the record of what each birth told the host (each
// metric's name, alias and datatype), which the judgement of commands
// (sparkplug_commands.h) reads. The face publishes what this builds; nothing
// here sends or receives. Times are milliseconds since 1970 UTC.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_NODE_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_NODE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tools/tz52/bridge/sparkplug/sparkplug_topics.h"

// The metrics every node birth carries besides the node's own.
extern const char kSparkplugBdSeqMetric[];    // "bdSeq", UInt64
extern const char kSparkplugRebirthMetric[];  // "Node Control/Rebirth", Boolean

// The datatype numbers of the payload schema the bridge uses.
enum : uint32_t {
    kSparkplugUInt16 = 6,
    kSparkplugUInt64 = 8,
    kSparkplugBoolean = 11,
    kSparkplugString = 12,
};

// seq and bdSeq: seq 0 on every node birth and one up on every message after
// it but a death, 255 followed by 0; bdSeq one up on every new connection,
// from 0, also 255 followed by 0, the same in the will and in the births of
// that connection.
class SparkplugSequence {
public:
    // A new connection: its bdSeq.
    uint64_t NewConnection();
    uint64_t BdSeq() const { return bdSeq_; }
    // The seq of a node birth (0); the next message gets 1.
    uint64_t Birth();
    // The seq of any other message but a death.
    uint64_t Next();

private:
    bool connected_ = false;
    uint64_t bdSeq_ = 0;
    uint64_t nextSeq_ = 0;
};

// One polled point as a device's metric: the address is its name.
struct SparkplugPoint {
    std::string address;             // "001M025"
    uint16_t value = 0;
    uint64_t readMilliseconds = 0;   // the read's time: the metric's timestamp
    uint32_t largestValue = 65535;   // what a command may write to it (an O point 1)
};

// A metric of the node itself, in its birth.
struct SparkplugNodeMetric {
    std::string name;
    std::variant<bool, uint64_t, std::string> value;  // Boolean, UInt64, String
};

// A message to publish.
struct SparkplugMessage {
    std::string topic;
    std::string payload;
};

// What a birth gave the host of one metric.
struct SparkplugBornMetric {
    std::string name;
    uint64_t alias = 0;
    uint32_t datatype = 0;
    uint32_t largestValue = 0;  // for UInt16 metrics
};

// One change kept for store and forward (sparkplug_store.h).
struct SparkplugStoredChange {
    std::string device;
    std::string address;
    uint16_t value = 0;
    uint64_t readMilliseconds = 0;
};

// The most historical metrics one DDATA carries; a longer run of kept
// changes is sent in several.
constexpr size_t kSparkplugHistoricalMetricsPerMessage = 500;

class SparkplugNode {
public:
    // `group` and `node` have passed CheckSparkplugId.
    SparkplugNode(std::string group, std::string node);

    const std::string& Group() const { return group_; }
    const std::string& NodeId() const { return node_; }

    // A new connection: its will, the NDEATH with the connection's bdSeq (no
    // seq). Every birth of the connection before is void.
    SparkplugMessage Connect(uint64_t now);

    // NBIRTH: seq 0, bdSeq, Node Control/Rebirth false and `metrics`, each
    // with name and alias. Device births of before are void: DBIRTHs follow.
    SparkplugMessage NodeBirth(uint64_t now, const std::vector<SparkplugNodeMetric>& metrics);

    // DBIRTH of `device` (it has passed CheckSparkplugId): every point as a
    // UInt16 metric with name, alias, value and the read's time.
    SparkplugMessage DeviceBirth(const std::string& device, const std::vector<SparkplugPoint>& points,
                                 uint64_t now);

    // DDATA of `device` with the changed points, by alias alone. Points its
    // birth did not give are left out and named in *notBorn (a rebirth gives
    // them); false, and no seq used, when none is left or the device is not
    // born.
    bool DeviceData(const std::string& device, const std::vector<SparkplugPoint>& changes, uint64_t now,
                    SparkplugMessage* message, std::vector<std::string>* notBorn);

    // DDEATH of `device`: its births are void until the next DBIRTH.
    SparkplugMessage DeviceDeath(const std::string& device, uint64_t now);

    // Kept changes as DDATA of historical metrics (is_historical, each with
    // its own time), in their order: one message for each run of one
    // device, at most kSparkplugHistoricalMetricsPerMessage metrics each.
    // Changes of a device or point not born now are left out and counted in
    // *leftOut.
    std::vector<SparkplugMessage> HistoricalData(const std::vector<SparkplugStoredChange>& changes, uint64_t now,
                                                 size_t* leftOut);

    // What the births of this connection gave: the node's metrics under
    // device "". nullptr for a metric, or a device, not born.
    bool DeviceBorn(const std::string& device) const;
    const SparkplugBornMetric* FindBornByName(const std::string& device, const std::string& name) const;
    const SparkplugBornMetric* FindBornByAlias(const std::string& device, uint64_t alias) const;

    const SparkplugSequence& Sequence() const { return sequence_; }

private:
    struct Birth {
        std::vector<SparkplugBornMetric> metrics;
        std::map<std::string, size_t> byName;
        std::map<uint64_t, size_t> byAlias;
    };
    uint64_t AliasOf(const std::string& device, const std::string& name);
    void Record(const std::string& device, SparkplugBornMetric metric);

    std::string group_;
    std::string node_;
    SparkplugSequence sequence_;
    // Aliases are unique over the node and kept for a name over rebirths.
    std::map<std::pair<std::string, std::string>, uint64_t> aliases_;
    uint64_t nextAlias_ = 1;
    std::map<std::string, Birth> births_;  // device ("" the node) -> its birth
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_NODE_H
