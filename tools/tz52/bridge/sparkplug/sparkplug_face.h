// The bridge's Sparkplug B face: the line as an edge node (its id the
// line's name), each station a device ("001"), each polled point a UInt16
// metric named by its address.
//
// The face has a link to the broker of its own (mqtt_link.h, with the
// node's death as its will, made afresh with the next bdSeq before every
// connect) and a thread that follows the line's journal: DDATA with the
// points whose reads changed, DDEATH when a station goes silent and DBIRTH
// when it answers again or its points change. After every connect (and,
// with a primary host, once its STATE says online) the node is born: NBIRTH,
// a DBIRTH for each station that answers, then the changes kept while it
// was not born as historical metrics. Commands arrive on the link's network
// thread, are judged against the births (sparkplug_commands.h) and become
// writes in the line's one queue (face "sparkplug"). Everything the node
// sends is built under one lock, so that seq runs in the order the messages
// go out whichever thread sends them.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_FACE_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_FACE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/mqtt/mqtt_link.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_commands.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_node.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_settings.h"
#include "tools/tz52/bridge/sparkplug/sparkplug_store.h"

class SparkplugFace : public LineFace {
public:
    // `broker` as for the plain topics; the face's client id is its own.
    SparkplugFace(const MqttSettings& broker, const SparkplugSettings& settings, Line* line);
    ~SparkplugFace() override;
    SparkplugFace(const SparkplugFace&) = delete;
    SparkplugFace& operator=(const SparkplugFace&) = delete;

    bool Start(std::string* error);
    void LogStart() const;
    // Once the line's owner has stopped: sends what the journal still holds,
    // then the node's death, and ends the link.
    void Stop();

    const char* Name() const override { return "sparkplug"; }
    std::string Status() const override;
    Json Figures() const override;

private:
    void Run();
    void Follow();
    // The rest under mutex_.
    void Take(const JournalEvent& event);
    void OnConnection(bool connected);
    void OnMessage(const std::string& topic, const std::string& payload);
    void HostState(const std::string& payload);
    void Command(const std::string& topic, const std::string& payload);
    void Write(const std::string& topic, const std::vector<SparkplugWrite>& writes);
    void Births();
    void BirthOfDevice(const std::string& device, const LineSnapshot& state);
    void DeathOfDevice(const std::string& device);
    // A device born whose points are no longer those polled is born again.
    void CheckPointsPolled(const LineSnapshot& state);
    void SendChanges();
    void Keep(const std::string& device, const SparkplugPoint& point);
    bool Send(const SparkplugMessage& message);

    MqttSettings broker_;
    const SparkplugSettings settings_;
    const std::string hostStateTopic_;  // "" without a primary host
    Line* line_;
    std::unique_ptr<MqttLink> link_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    uint64_t following_ = 0;   // the face's thread alone
    int64_t checkedPointsMs_ = 0;

    mutable std::mutex mutex_;  // everything below
    SparkplugNode node_;
    SparkplugStore store_;
    SparkplugMessage will_;      // the death of this connection
    bool connected_ = false;
    bool hostOnline_ = false;    // always, without a primary host
    uint64_t hostTimestamp_ = 0; // of the newest STATE taken
    bool born_ = false;          // NBIRTH sent on this connection
    std::set<int> silent_;       // stations silent: no device born
    std::map<std::string, std::set<std::string>> bornPoints_;  // device -> the points its DBIRTH gave
    std::map<std::string, std::vector<SparkplugPoint>> changes_;  // to send, by device
    std::map<tz52line::PointRef, uint16_t, PointOrder> known_;    // each point's last value read
    uint64_t droppedAtBirth_ = 0;  // the store's count of drops at the last birth
    int64_t lastBirthMs_ = 0;    // monotonic
    bool rebirthDue_ = false;    // asked for too soon after the last birth
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_FACE_H
