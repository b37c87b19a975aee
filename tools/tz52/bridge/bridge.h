// tz52 bridge: the controller's points on an MQTT broker and, with
// --modbus-listen, to Modbus TCP clients (modbus_face.h).
//
// One thread owns the port: it reads the points when they are due and, between
// two reads, carries out the writes that arrived on `<prefix>/<POINT>/set`,
// in their order of arrival and at most one between two reads that are due,
// so no two driver calls ever overlap and sets cannot starve the polling. The broker
// side runs on the MQTT client's own network thread (mqtt_link.h), which
// hands set requests over through a queue and wakes the polling thread.
//
// Topics (prefix `tz52/<line>` by default, see BridgeLineName):
//   <prefix>/<POINT>         the value, decimal; retained; on change and at
//                            least every republish period; never from a
//                            failed read
//   <prefix>/<POINT>/state   retained {"ok","result","message","time"} of the
//                            last read
//   <prefix>/<POINT>/set     a value to write (decimal or 0x hexadecimal);
//                            one that arrives retained is refused and cleared
//   <prefix>/<POINT>/result  {"value","result","message"} for every set
//   <prefix>/status          online / offline, retained, offline as last will
//   <prefix>/line            retained JSON of the line's health, about every
//                            minute: exchanges, failures, silent stations,
//                            the line's busy share, how far polling lags
#ifndef TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H
#define TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/tz52/bridge/modbus_face.h"
#include "tools/tz52/bridge/mqtt_link.h"
#include "tools/tz52/bridge/set_judgement.h"
#include "tools/tz52/host/driver_calls.h"

// A point listed in a configuration file: ADDRESS [every DURATION], and
// where ("FILE:LINE").
struct ListedPoint {
    std::string text;
    std::string where;
};

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

// Called after every read with the point, the driver's result, the value
// read and the monotonic time in nanoseconds when the read returned; for the
// benchmarks.
using BridgeReadObserver = std::function<void(const std::string& point, int result, uint16_t value, int64_t endNs)>;

// What the bridge did with each point, for the document at its end.
struct BridgePointReport {
    std::string point;
    int64_t reads = 0;
    int64_t failedReads = 0;
    int lastResult = -1;     // -1: never read
    std::string lastError;   // the reason of the last failed read
};

// SIGHUP: the configuration read again while the bridge runs. Whenever
// *requested is set, the polling loop clears it between two exchanges and
// calls `prepare` on its own thread (the driver checks the addresses, and
// no two driver calls overlap), which reads the files again into *plan and
// names in *restartKeys the changed keys that only a restart applies. The
// points, their periods and the writes allowed then change at once; with
// false (*error says why) the running configuration stays.
struct BridgeReload {
    volatile std::sig_atomic_t* requested = nullptr;
    std::function<bool(BridgePlan* plan, std::vector<std::string>* restartKeys, std::string* error)> prepare;
};

// Connects to the broker and polls the port until *stop is set; then
// publishes offline and returns. The caller opened the port and closes it;
// with `missing` (why it could not be opened) it starts as with a device
// gone, opens the port every few seconds until it opens, and *opened says
// at the end whether it ever did (there is then something to close).
// Returns 0, or 64 when the broker settings cannot work (*error says why).
// *report, when given, gets one entry per point.
int RunBridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error,
              std::vector<BridgePointReport>* report = nullptr, const std::string& missing = "",
              bool* opened = nullptr, const BridgeReload& reload = {});

#endif  // TZ52_TOOLS_TZ52_BRIDGE_BRIDGE_H
