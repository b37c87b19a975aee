// What the bridge makes of text from outside, apart from the broker and the
// line: the lines of a points file, and a message on `<prefix>/<POINT>/set`
// judged into a write or a refusal with its /result text. Nothing here
// sends or receives, so every byte sequence can be tried against it
// (fuzz/bridge_set_fuzz.cpp, fuzz/points_file_fuzz.cpp).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SET_JUDGEMENT_H
#define TZ52_TOOLS_TZ52_BRIDGE_SET_JUDGEMENT_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/tz52/output/json.h"
#include "tools/tz52/bridge/line_work.h"
#include "tools/tz52/bridge/modbus_face.h"
#include "tools/tz52/bridge/modbus_request.h"
#include "tools/tz52/bridge/mqtt_link.h"
#include "tools/tz52/host/driver_calls.h"

// One point the bridge polls.
struct BridgePoint {
    CheckedAddress address;
    std::string name;  // "001M025", its topic
    int64_t periodMilliseconds = 0;
};

// The options checked: every address passed the driver's check.
struct BridgePlan {
    std::vector<BridgePoint> points;
    bool allowAll = false;
    std::set<std::string> allowed;  // canonical addresses
    int64_t republishMilliseconds = 60000;
    int64_t healthMilliseconds = 60000;  // PREFIX/line; 0: never
    int64_t everyMilliseconds = 1000;    // the period of points read on demand
    bool mqttEnabled = true;             // false: --no-mqtt
    MqttSettings mqtt;
    ModbusSettings modbus;               // listen "": no Modbus face
};

// Where each point was first named: "FILE:LINE", "the command line".
using PointOrigins = std::map<std::string, std::string>;

// Adds the point at `text`, polled every `period`, once the driver took its
// address and unless `origins` holds it already. Refusals start with
// `messageHead`; a point named again is `twice` ("listed") twice, with the
// place it was first named.
bool AddBridgePoint(QmxMainFunction entry, const std::string& text, int64_t period, const std::string& origin,
                    const std::string& messageHead, const char* twice, std::vector<BridgePoint>* points,
                    PointOrigins* origins, std::string* error);

// One point as a points file's line gives it (ADDRESS or ADDRESS every
// DURATION, # comment); an empty line adds none. Refusals start with `where`.
bool ParseBridgePointLine(QmxMainFunction entry, std::string line, const std::string& where, int64_t defaultPeriod,
                          std::vector<BridgePoint>* points, PointOrigins* origins, std::string* error);

// The points of a points file's lines (ADDRESS or ADDRESS every DURATION, #
// comments), each through AddBridgePoint. `source` names the file in
// messages ("FILE:LINE: ...").
bool ParseBridgePoints(QmxMainFunction entry, const std::vector<std::string>& lines, const std::string& source,
                       int64_t defaultPeriod, std::vector<BridgePoint>* points, PointOrigins* origins,
                       std::string* error);

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

SetJudgement JudgeSet(QmxMainFunction entry, const BridgePlan& plan, const std::string& topic,
                      const std::string& payload, bool retained);

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

// The audit line of a set, written or refused: the point, the value, the
// result with its message, and where the set came from; logged as a notice
// when written, a warning when refused, an error when the line failed.
std::string SetLogText(const std::string& point, const Json& value, const SetRequest& request, int result,
                       const std::string& message);
void LogSet(const std::string& point, const Json& value, const SetRequest& request, int result,
            const std::string& message);

// The parts of a Modbus write's audit line: "001M025", or the first and
// last point of several ("001M001..001M003"); the value, or the values as
// an array; "client ADDRESS:PORT, function F".
std::string ModbusPointName(const ModbusPoint& point);
std::string ModbusWrittenPoints(const ModbusRequest& request);
Json ModbusWrittenValues(const ModbusRequest& request);
std::string ModbusClientText(const std::string& peer, uint8_t function);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SET_JUDGEMENT_H
