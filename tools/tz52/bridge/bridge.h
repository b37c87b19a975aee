// tz52 bridge: the line's core and the faces it was asked for. The core
// (core/) owns the serial line and knows no face; each face (mqtt/, modbus/)
// reads the line's state, follows its journal and puts its writes in the
// line's one queue. This is where the options become a plan and the plan
// becomes a core with its faces.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H
#define TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/http/http_face_settings.h"
#include "tools/tz52/bridge/modbus/modbus_face.h"
#include "tools/tz52/bridge/mqtt/mqtt_link.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_settings.h"
#include "tools/tz52/host/driver_calls.h"

// A point listed in a configuration file: ADDRESS [every DURATION], and
// where ("FILE:LINE").
struct ListedPoint {
    std::string text;
    std::string where;
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
    HttpFaceSettings http;               // listen "": no HTTP face
    // The Sparkplug B face (group "": none), on the broker of `mqtt`.
    SparkplugSettings sparkplug;
};

// What the line's core takes of the plan.
LinePlan LinePlanOf(const BridgePlan& plan);

// What the command line (and the configuration file) asked for.
struct BridgeOptions {
    std::string pointsFile;               // ADDRESS [every DURATION] a line
    std::vector<std::string> addresses;   // given on the command line
    std::vector<ListedPoint> listed;      // from the configuration, when none are given
    int64_t everyMilliseconds = 1000;     // the period of a point that names none
    int64_t republishMilliseconds = 60000;
    int64_t healthMilliseconds = 60000;
    std::string allowWrite;               // "", "all" or addresses separated by commas
    std::string mqttPasswordFile;
    std::string mqttPasswordCredential;   // a name in $CREDENTIALS_DIRECTORY
    bool noMqtt = false;                  // no broker: the Modbus face alone
    bool checkOnly = false;               // --check: nothing will run from this plan
    MqttSettings mqtt;
    ModbusSettings modbus;
    HttpFaceSettings http;
    HttpFiles httpFiles;
    // The client certificate's key as a systemd credential, and the key's
    // password from a file or a credential.
    std::string mqttTlsKeyCredential;
    std::string mqttTlsKeyPasswordFile;
    std::string mqttTlsKeyPasswordCredential;
    // The Sparkplug B face; its node id is the line's name.
    SparkplugSettings sparkplug;
    bool sparkplugOnly = false;           // no plain topics
};

// Reads the points file, checks every address with the driver and the rest
// of the options. False with a message (naming file:line for the points
// file) when the bridge must not start; *exitCode is then 74 for a file
// that cannot be read (points, password), else 64.
bool PrepareBridge(QmxMainFunction entry, const BridgeOptions& options, BridgePlan* plan, std::string* error,
                   int* exitCode = nullptr);

// The <line> of the default prefix tz52/<line>: the configuration file's
// name without its folder and .conf, else the port's name without its
// folder; + and # (wildcards) and control characters become _. "" when
// nothing is left.
std::string BridgeLineName(const std::string& configFile, const std::string& portName);

// SIGHUP: the configuration read again while the bridge runs, as the
// line's owner does it (LineReload): `prepare` reads the files again into
// *plan, and the bridge names the changed keys of its faces that only a
// restart applies; the republish period changes at once.
struct BridgeReload {
    volatile std::sig_atomic_t* requested = nullptr;
    std::function<bool(BridgePlan* plan, std::vector<std::string>* restartKeys, std::string* error)> prepare;
};

// Starts the faces and polls the port until *stop is set; then answers the
// writes still waiting, publishes offline and returns. The caller opened the port and closes it;
// with `missing` (why it could not be opened) it starts as with a device
// gone, opens the port every few seconds until it opens, and *opened says
// at the end whether it ever did (there is then something to close).
// Returns 0, or 64 when a face's settings cannot work (*error says why).
// *report, when given, gets one entry per point.
int RunBridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error,
              std::vector<BridgePointReport>* report = nullptr, const std::string& missing = "",
              bool* opened = nullptr, const BridgeReload& reload = {});

#endif  // TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H
