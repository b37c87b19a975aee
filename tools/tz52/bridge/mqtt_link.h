// The bridge's side of the broker: one MQTT client (libmosquitto) with its
// own network thread, which connects, reconnects with backoff after the
// broker goes away, keeps `<prefix>/status` right (online on every connect,
// offline as the last will and on a clean stop) and hands every message on
// `<prefix>/+/set` to the line's work queue, which the polling thread drains.
//
// The polling thread publishes through Publish; libmosquitto is thread-safe,
// and a publish wakes the network thread, which sends it at once. Nothing is
// queued while the broker is away: the bridge republishes its latest values
// after each connect instead, so a long outage costs no memory.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MQTT_LINK_H
#define TZ52_TOOLS_TZ52_BRIDGE_MQTT_LINK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/tz52/bridge/line_work.h"
#include "tools/tz52/host/log_line.h"

struct mosquitto;
struct mosquitto_message;

struct MqttSettings {
    std::string host = "localhost";
    int port = 1883;
    std::string user;      // empty: no user name
    std::string password;  // with user
    std::string tlsCaFile; // empty: plain TCP
    std::string clientId;
    std::string topicPrefix = "tz52";
};

class MqttLink {
public:
    explicit MqttLink(LineWorkQueue* queue);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Sets the client up (will, user, TLS) and starts the network thread,
    // which connects and keeps connecting. False, with the reason, when the
    // settings cannot work (a CA file that does not load, say); an absent
    // broker is no reason: the thread keeps trying.
    bool Start(const MqttSettings& settings, std::string* error);

    // Publishes with QoS 1 when connected; drops the message otherwise.
    void Publish(const std::string& topic, const std::string& payload, bool retain);
    // Clears the retained message of `topic` (an empty retained publish).
    // Its own echo on the subscription is dropped, not handed on as a set.
    void Clear(const std::string& topic);

    bool Connected() const { return connected_.load(); }
    // Grows by one on every accepted connection: the polling thread
    // republishes its values when it changes.
    uint64_t Connections() const { return connections_.load(); }

    // Publishes `offline` (retained) and waits a little for the broker to
    // take it, disconnects and ends the network thread. False when the
    // thread is still inside a connect that nobody answers: then the link
    // must not be destroyed, as the thread still uses it.
    bool Stop();

private:
    static void OnConnect(mosquitto* client, void* self, int code);
    static void OnDisconnect(mosquitto* client, void* self, int code);
    static void OnPublish(mosquitto* client, void* self, int messageId);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    void RunNetwork();
    void Report(LogLevel level, const std::string& message);
    // Sleeps up to `milliseconds`; returns early when stopping.
    void Pause(int64_t milliseconds);

    LineWorkQueue* queue_;
    MqttSettings settings_;
    std::string statusTopic_;
    mosquitto* client_ = nullptr;
    std::thread network_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connections_{0};
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;  // everything below
    std::condition_variable changed_;
    std::multiset<std::string> clearsSent_;  // topics whose empty echo is still due
    bool collectDelivered_ = false;
    std::set<int> deliveredIds_;
    bool networkEnded_ = false;
    std::string lastReport_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MQTT_LINK_H
