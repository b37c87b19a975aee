// tz52 bridge: the core and its faces wired as the plan asks. A new face is
// a folder of its own and a line here.
#include "tools/tz52/bridge/bridge.h"

#include <algorithm>
#include <memory>

#include "tools/tz52/bridge/mqtt/mqtt_face.h"
#ifdef TZ52_WITH_HTTP_FACE
#include "tools/tz52/bridge/http/http_face.h"
#include "tools/tz52/bridge/http/http_users.h"
#endif
#ifdef TZ52_WITH_SPARKPLUG
#include "tools/tz52/bridge/sparkplug/sparkplug_face.h"
#endif
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"

LinePlan LinePlanOf(const BridgePlan& plan) {
    LinePlan line;
    line.points = plan.points;
    line.allowAll = plan.allowAll;
    line.allowed = plan.allowed;
    line.healthMilliseconds = plan.healthMilliseconds;
    line.everyMilliseconds = plan.everyMilliseconds;
    line.demand.points = plan.modbus.demandPoints;
    line.demand.sharePercent = plan.modbus.demandSharePercent;
    line.demand.idleMs = plan.modbus.demandIdleMs;
    return line;
}

namespace {

bool SameUsers(const std::shared_ptr<const HttpUsers>& a, const std::shared_ptr<const HttpUsers>& b) {
#ifdef TZ52_WITH_HTTP_FACE
    if (!a || !b) return !a && !b;
    const std::vector<HttpUser>& first = a->users();
    const std::vector<HttpUser>& second = b->users();
    return std::equal(first.begin(), first.end(), second.begin(), second.end(),
                      [](const HttpUser& x, const HttpUser& y) {
                          return x.name == y.name && x.role == y.role && x.hash == y.hash;
                      });
#else
    return a == b;
#endif
}

// The changed keys of the faces that only a restart applies.
void FaceRestartKeys(const BridgePlan& was, const BridgePlan& fresh, std::vector<std::string>* keys) {
    const auto changed = [keys](bool differs, const char* key) {
        if (differs) keys->push_back(key);
    };
    changed(fresh.mqttEnabled != was.mqttEnabled, "no-mqtt");
    if (fresh.mqttEnabled && was.mqttEnabled) {
        changed(fresh.mqtt.host != was.mqtt.host, "mqtt-host");
        changed(fresh.mqtt.port != was.mqtt.port, "mqtt-port");
        changed(fresh.mqtt.user != was.mqtt.user, "mqtt-user");
        changed(fresh.mqtt.password != was.mqtt.password, "the MQTT password");
        changed(fresh.mqtt.tlsCaFile != was.mqtt.tlsCaFile, "mqtt-tls-ca");
        changed(fresh.mqtt.clientId != was.mqtt.clientId, "client-id");
        changed(fresh.mqtt.topicPrefix != was.mqtt.topicPrefix, "topic-prefix");
    }
    // The Sparkplug B face: its ids and the broker it shares.
    changed(fresh.sparkplug.group != was.sparkplug.group, "sparkplug-group");
    changed(fresh.sparkplug.primaryHost != was.sparkplug.primaryHost, "sparkplug-primary-host");
    changed(fresh.sparkplug.buffer != was.sparkplug.buffer, "sparkplug-buffer");
    changed(!fresh.sparkplug.group.empty() && !was.sparkplug.group.empty() &&
                (fresh.mqtt.host != was.mqtt.host || fresh.mqtt.port != was.mqtt.port ||
                 fresh.mqtt.tlsCaFile != was.mqtt.tlsCaFile),
            "the broker of the Sparkplug B face");
    if (fresh.mqttEnabled && was.mqttEnabled) {
        changed(fresh.mqtt.tlsCertFile != was.mqtt.tlsCertFile, "mqtt-tls-cert");
        changed(fresh.mqtt.tlsKeyFile != was.mqtt.tlsKeyFile, "mqtt-tls-key");
        changed(fresh.mqtt.tlsKeyPassword != was.mqtt.tlsKeyPassword, "the MQTT key's password");
        changed(fresh.mqtt.tlsInsecureAnyHostName != was.mqtt.tlsInsecureAnyHostName,
                "mqtt-tls-insecure-any-host-name");
    }
    const ModbusSettings& modbusWas = was.modbus;
    const ModbusSettings& modbusNow = fresh.modbus;
    changed(modbusNow.listen != modbusWas.listen, "modbus-listen");
    changed(modbusNow.waitMs != modbusWas.waitMs, "modbus-wait");
    changed(modbusNow.maxAgeMs != modbusWas.maxAgeMs, "modbus-max-age");
    changed(modbusNow.maxClients != modbusWas.maxClients, "modbus-max-clients");
    changed(modbusNow.idleConnectionMs != modbusWas.idleConnectionMs, "modbus-idle-connection");
    changed(fresh.http.listen != was.http.listen, "http-listen");
    changed(fresh.http.tlsCertificate != was.http.tlsCertificate || fresh.http.tlsKey != was.http.tlsKey,
            "the HTTPS certificate or key");
    changed(!SameUsers(fresh.http.users, was.http.users), "http-users");
    changed(fresh.http.requireLogin != was.http.requireLogin, "http-require-login");
    changed(fresh.http.history != was.http.history, "http-history");
    changed(fresh.http.maxStreams != was.http.maxStreams, "http-max-streams");
    changed(fresh.http.sessionIdleMs != was.http.sessionIdleMs, "http-session-idle");
    // Points read on demand keep their period: the line's state has it.
    changed(!was.modbus.listen.empty() && fresh.everyMilliseconds != was.everyMilliseconds,
            "every (for the points read on demand)");
}

}  // namespace

int RunBridge(QmxMainFunction entry, PortContext* context, const PortSetup& setup, const BridgePlan& plan,
              const volatile std::sig_atomic_t* stop, const BridgeReadObserver& observer, std::string* error,
              std::vector<BridgePointReport>* report, const std::string& missing, bool* opened,
              const BridgeReload& reload) {
    if (opened != nullptr) *opened = missing.empty();
    const LinePlan linePlan = LinePlanOf(plan);
    Line line(linePlan, setup.name);

    std::unique_ptr<MqttFace> mqtt;
    if (plan.mqttEnabled) {
        mqtt = std::make_unique<MqttFace>(plan.mqtt, plan.republishMilliseconds, &line);
        if (!mqtt->Start(error)) return kExitUsage;
        line.faces.push_back(mqtt.get());
    }
    LogLineStart(setup, linePlan, missing.empty());
    if (mqtt) {
        mqtt->LogStart();
    } else if (plan.sparkplug.group.empty()) {
        LogLine(LogLevel::kInfo, "bridge", "no broker (--no-mqtt)");
    }
#ifdef TZ52_WITH_SPARKPLUG
    std::unique_ptr<SparkplugFace> sparkplug;
    if (!plan.sparkplug.group.empty()) {
        sparkplug = std::make_unique<SparkplugFace>(plan.mqtt, plan.sparkplug, &line);
        if (!sparkplug->Start(error)) return kExitUsage;
        sparkplug->LogStart();
        line.faces.push_back(sparkplug.get());
    }
#endif
    std::unique_ptr<ModbusFace> modbus;
    if (!plan.modbus.listen.empty()) {
        modbus = std::make_unique<ModbusFace>(plan.modbus, &line);
        if (!modbus->Start(error)) return kExitUsage;
        line.faces.push_back(modbus.get());
    }

#ifdef TZ52_WITH_HTTP_FACE
    std::unique_ptr<HttpFace> http;
    if (!plan.http.listen.empty()) {
        http = std::make_unique<HttpFace>(plan.http, setup, &line);
        if (!http->Start(error)) return kExitUsage;
        line.faces.push_back(http.get());
    }
#endif

    BridgePlan running = plan;
    LineReload lineReload;
    lineReload.requested = reload.requested;
    if (reload.prepare) {
        lineReload.prepare = [&](LinePlan* fresh, std::vector<std::string>* restartKeys, std::string* why) {
            BridgePlan read;
            if (!reload.prepare(&read, restartKeys, why)) return false;
            FaceRestartKeys(running, read, restartKeys);
            *fresh = LinePlanOf(read);
            running.points = read.points;
            running.allowAll = read.allowAll;
            running.allowed = read.allowed;
            running.healthMilliseconds = read.healthMilliseconds;
            running.republishMilliseconds = read.republishMilliseconds;
            if (mqtt) mqtt->SetRepublish(read.republishMilliseconds);
            return true;
        };
    }
    RunLine(entry, context, setup, linePlan, &line, stop, observer, lineReload, missing, report, opened);
#ifdef TZ52_WITH_HTTP_FACE
    if (http) http->Stop();
#endif
    if (modbus) modbus->Stop();
    if (mqtt) mqtt->Stop();
#ifdef TZ52_WITH_SPARKPLUG
    if (sparkplug) sparkplug->Stop();
#endif
    return kExitOk;
}
