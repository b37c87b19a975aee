// The bridge's side of the broker: one MQTT client (libmosquitto) with its
// own network thread, which connects, reconnects with backoff after the
// broker goes away, keeps `<prefix>/status` right (online on every connect,
// offline as the last will and on a clean stop) and hands every message on
// `<prefix>/+/set` to the MQTT face.
//
// The face publishes through Publish; libmosquitto is thread-safe,
// and a publish wakes the network thread, which sends it at once. Values are
// not queued while the broker is away: the bridge republishes its latest
// values after each connect instead, so a long outage costs no memory. The
// /result of a set is kept (a bounded number of them) and published on the
// next connection: the set was carried out, and its sender must learn how.
//
// The link speaks MQTT 5 and falls back to 3.1.1 for the rest of the run
// when the broker refuses 5. Only MQTT 5 tells a retained set from a live
// one on a subscription that is made while it is retained ("retain as
// published"); on 3.1.1 every set topic is cleared after its set.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_LINK_H
#define TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_LINK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/tz52/bridge/core/write_request.h"
#include "tools/tz52/host/log_line.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

// A message that arrived on `<prefix>/+/set`.
struct SetRequest {
    std::string topic;
    std::string payload;
    bool retained = false;  // the broker held it: it was published with retain
    std::string from;       // the sender, for the audit line: "topic T"
};

struct MqttSettings {
    std::string host = "localhost";
    int port = 1883;
    std::string user;      // empty: no user name
    std::string password;  // with user
    std::string tlsCaFile; // empty: plain TCP
    // A client certificate to log in with (with tlsCaFile): the certificate,
    // its key and the key's password ("" for a key without one).
    std::string tlsCertFile;
    std::string tlsKeyFile;
    std::string tlsKeyPassword;
    // The broker's certificate is not checked against its host name: any
    // certificate of the authority passes, whoever holds it.
    bool tlsInsecureAnyHostName = false;
    std::string clientId;
    std::string topicPrefix = "tz52";
};

// A message the link publishes for a face: as a last will, or on a clean stop.
struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// A link of a face with topics of its own (Sparkplug B) in place of the
// plain topics' status and sets: its will, made again before every connect
// (it may change from one connection to the next), what it publishes on a
// clean stop in place of the will, the topics it subscribes to on every
// connect, and every message that arrives on them (on the network thread,
// at most `longestPayload` bytes of it kept; it must not block).
struct MqttLinkRole {
    std::function<MqttMessage()> will;
    std::function<MqttMessage()> farewell;
    std::vector<std::string> subscriptions;
    std::function<void(const std::string& topic, const std::string& payload, bool retained)> onMessage;
    size_t longestPayload = 0;
};

class MqttLink {
public:
    // `onSet` is called on the network thread with every set;
    // `onConnection` with true after every accepted connection, with false
    // when one is lost. Neither may block.
    MqttLink(std::function<void(SetRequest)> onSet, std::function<void(bool connected)> onConnection);
    // A link for a face with topics of its own: no status, no sets.
    MqttLink(MqttLinkRole role, std::function<void(bool connected)> onConnection);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Sets the client up (will, user, TLS) and starts the network thread,
    // which connects and keeps connecting. False, with the reason, when the
    // settings cannot work (a CA file that does not load, say); an absent
    // broker is no reason: the thread keeps trying.
    bool Start(const MqttSettings& settings, std::string* error);

    // Publishes with `qos` when connected; drops the message otherwise, and
    // false says so.
    bool Publish(const std::string& topic, const std::string& payload, bool retain, int qos = 1);
    // Ends the connection of the moment without a will; the network thread
    // connects again after the first backoff.
    void Reconnect();
    // Publishes a set's /result (QoS 1, not retained); while the broker is
    // away it waits, with at most kMostResultsWaiting others, for the next
    // connection.
    void Result(const std::string& topic, const std::string& payload);
    // True on MQTT 5, where a set that arrives retained says so; false on
    // 3.1.1, whose brokers clear the flag of a message they pass on live.
    bool SeesRetainedSets() const { return protocol_.load() == kMqtt5; }
    // Clears the retained message of `topic` (an empty retained publish).
    // Its own echo on the subscription is dropped, not handed on as a set.
    void Clear(const std::string& topic);

    bool Connected() const { return connected_.load(); }
    // Why the link is not connected, for the service's status: the last
    // failure ("the broker refused the connection: not authorised"); ""
    // before the first attempt has failed.
    std::string NotConnectedReason();
    // Grows by one on every accepted connection: the face republishes its
    // values when it changes.
    uint64_t Connections() const { return connections_.load(); }

    // Publishes `offline` (retained) and waits a little for the broker to
    // take it, disconnects and ends the network thread. False when the
    // thread is still inside a connect that nobody answers: then the link
    // must not be destroyed, as the thread still uses it.
    bool Stop();

    // The results of sets kept while the broker is away, at most; the
    // oldest go first. More sets than the write queue holds cannot be
    // waiting for their result.
    static constexpr size_t kMostResultsWaiting = 2 * WriteQueue::kMostWaiting;

private:
    // MOSQ_OPT_PROTOCOL_VERSION's values.
    static constexpr int kMqtt5 = 5;
    static constexpr int kMqtt311 = 4;

    static void OnConnect(mosquitto* client, void* self, int code, int flags, const mosquitto_property* properties);
    static void OnDisconnect(mosquitto* client, void* self, int code);
    static void OnPublish(mosquitto* client, void* self, int messageId);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);
    static int OnKeyPassword(char* buffer, int size, int writing, void* client);
    bool SetUpTls(std::string* error);
    void RunNetwork();
    // Connects with the protocol of the moment; MQTT 5 with its properties.
    int Connect();
    // A failed attempt: logged when it differs from the last one, else
    // counted and logged with its count now and then.
    void ReportFailure(LogLevel level, const std::string& reason);
    void Report(LogLevel level, const std::string& message);
    // Sleeps up to `milliseconds`; returns early when stopping.
    void Pause(int64_t milliseconds);

    std::function<void(SetRequest)> onSet_;
    MqttLinkRole role_;  // role_.will set: a face's own topics
    std::function<void(bool)> onConnection_;
    MqttSettings settings_;
    std::string statusTopic_;
    mosquitto* client_ = nullptr;
    mosquitto_property* connectProperties_ = nullptr;  // MQTT 5's CONNECT
    std::atomic<int> protocol_{kMqtt5};
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
    std::deque<std::pair<std::string, std::string>> resultsWaiting_;  // topic, payload
    size_t resultsDropped_ = 0;
    std::string attemptFailure_;  // the broker's refusal of the attempt under way
    std::string libraryError_;    // libmosquitto's last error line (TLS: OpenSSL's reason)
    bool refusedMqtt5_ = false;   // the broker refused MQTT 5: try 3.1.1 at once
    bool lostConnection_ = false;  // a connection ended, and OnDisconnect said so
    std::string failure_;         // the last failure logged; "" once connected
    uint64_t failureRepeats_ = 0;  // the same failure since it was last logged
    int64_t failureLoggedMs_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_LINK_H
