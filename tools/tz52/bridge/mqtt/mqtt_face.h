// The bridge's MQTT face: the line's points on a broker.
//
// A thread of the face's own follows the line's journal and publishes from
// it; the broker side runs on the link's network thread (mqtt_link.h),
// which hands every set to the face, and the face puts it in the line's one
// queue of writes. The set is judged on the owner's thread (its topic names
// the point as text, which only the driver checks) and answered there when
// it is done.
//
// Topics (prefix `tz52/<line>` by default):
//   <prefix>/<POINT>         the value, decimal; retained; on change and at
//                            least every republish period; never from a
//                            failed read
//   <prefix>/<POINT>/state   retained {"ok","result","message","time"} of
//                            every read
//   <prefix>/<POINT>/set     a value to write (decimal or 0x hexadecimal);
//                            one that arrives retained is refused and cleared
//   <prefix>/<POINT>/result  {"value","result","message"} for every set
//   <prefix>/status          online / offline, retained, offline as last will
//   <prefix>/line            retained JSON of the line's health, about every
//                            minute: exchanges, failures, silent stations,
//                            the line's busy share, how far polling lags
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_FACE_H
#define TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_FACE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/mqtt/mqtt_link.h"

class MqttFace : public LineFace {
public:
    MqttFace(const MqttSettings& settings, int64_t republishMilliseconds, Line* line);
    ~MqttFace() override;
    MqttFace(const MqttFace&) = delete;
    MqttFace& operator=(const MqttFace&) = delete;

    // Starts the link (see MqttLink::Start) and the face's thread.
    bool Start(std::string* error);
    // The broker's settings, for the log at the start.
    void LogStart() const;
    // Once the line's owner has stopped: publishes what the journal still
    // holds, then offline, and ends the link.
    void Stop();
    // A reload's new republish period.
    void SetRepublish(int64_t milliseconds) { republishMs_ = milliseconds; }

    const char* Name() const override { return "mqtt"; }
    std::string Status() const override;
    Json Figures() const override;

private:
    // What the face last published of a point.
    struct Published {
        std::string valueTopic;
        std::string stateTopic;
        bool haveValue = false;
        uint16_t value = 0;
        int64_t valuePublishedMs = 0;
        std::string stateJson;  // published again after a reconnect
    };

    void Run();
    // Publishes what the journal holds after the last event taken.
    void Follow();
    void Take(const JournalEvent& event);
    void PointRead(const tz52line::PointRef& point, int result, uint16_t value, const std::string& message,
                   int64_t wallMs);
    // After every accepted connection, and when the face fell behind the
    // journal: the latest value and state of every point polled.
    void Republish(bool fromState);
    void Set(SetRequest request);

    const MqttSettings settings_;
    std::atomic<int64_t> republishMs_;
    Line* line_;
    std::unique_ptr<MqttLink> link_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    // The face's thread alone:
    uint64_t following_ = 0;  // the last journal event taken
    uint64_t republishedFor_ = 0;
    std::map<tz52line::PointRef, Published, PointOrder> published_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MQTT_MQTT_FACE_H
