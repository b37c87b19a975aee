// The judgement of a command from a Sparkplug host (NCMD, DCMD) before the
// bridge acts on it: the payload must decode, every metric must be one the
// node's births gave (by alias, or by name), with the datatype and the kind
// of value of that metric, and a value the point holds. An NCMD may only ask
// for a rebirth; a DCMD only writes points the face allows. One metric
// refused refuses the whole command, so that nothing of it reaches the line.
// Nothing here sends or receives (fuzz/sparkplug_command_fuzz.cpp).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_COMMANDS_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"

// The most writes one DCMD may ask for: the length of the line's write queue.
constexpr size_t kSparkplugMostWritesPerCommand = 256;
// The longest command payload decoded: far more than 256 writes take, so
// that no message makes the decoder hold more than this.
constexpr size_t kSparkplugMostCommandBytes = 65536;

// Whether the face lets a host write the point at `address` of `device`.
using SparkplugMayWrite = std::function<bool(const std::string& device, const std::string& address)>;

struct SparkplugWrite {
    std::string address;  // "001M025"
    uint16_t value = 0;
};

enum class SparkplugVerdict {
    kIgnored,  // not a command to this node: nothing to do, nothing to log
    kRefused,
    kRebirth,
    kWrites,
};

struct SparkplugCommand {
    SparkplugVerdict verdict = SparkplugVerdict::kIgnored;
    std::string reason;                // kRefused: why, one line, control characters escaped
    std::string device;                // kWrites: the device (station) written
    std::vector<SparkplugWrite> writes;  // kWrites: in the command's order
};

// The message on `topic` with `payload`, judged against what `node` gave in
// its births.
SparkplugCommand JudgeSparkplugCommand(const SparkplugNode& node, const std::string& topic, const std::string& payload,
                                       const SparkplugMayWrite& mayWrite);

// A primary host's STATE (spBv1.0/STATE/HOST): {"online":BOOL,"timestamp":MS}.
struct SparkplugHostState {
    bool online = false;
    uint64_t timestamp = 0;
};
// The longest STATE payload read: the JSON above is a few dozen bytes.
constexpr size_t kSparkplugMostStateBytes = 1024;

// False, with *why (one line), for a payload that is no such object.
bool ParseSparkplugHostState(const std::string& payload, SparkplugHostState* state, std::string* why);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_COMMANDS_H
