// The bridge's Modbus TCP face: a server of its own in one thread and one
// epoll loop, so that no client can hold up another (a slow sender, one
// waiting for its write) and descriptors above FD_SETSIZE work. Reads are
// answered from the line's state (points nobody polls are asked for there,
// and answered once read); writes go to the line's one queue, and are
// answered when the owner hands them back. Every byte from a client is
// judged by ParseModbusRequest before anything else sees it.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_FACE_H
#define TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_FACE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/tz52/bridge/core/line_owner.h"
#include "tools/tz52/bridge/modbus/modbus_request.h"

struct ModbusSettings {
    std::string listen;               // [ADDRESS:]PORT as given; "" for no face
    int64_t waitMs = 800;             // a read of points not read yet waits this long
    int64_t demandIdleMs = 600000;    // points on demand leave after this long unread
    size_t demandPoints = 256;        // the most points on demand; 0: none
    size_t demandSharePercent = 50;   // of the line's time, the most reads on demand take
    int64_t maxAgeMs = 0;             // 0: three periods of the point, at least kLeastMaxAgeMs
    size_t maxClients = 32;
    int64_t idleConnectionMs = 60000;
};


// How a read is answered.
struct ModbusServed {
    bool wait = false;          // some point has not been read yet
    uint8_t exception = 0;      // when not 0: answer with it
    std::vector<uint16_t> values;
};

class ModbusFace : public LineFace {
public:
    static constexpr int64_t kLeastMaxAgeMs = 5000;

    ModbusFace(const ModbusSettings& settings, Line* line);
    ~ModbusFace() override;
    ModbusFace(const ModbusFace&) = delete;
    ModbusFace& operator=(const ModbusFace&) = delete;

    // Binds and listens, then starts the face's thread. False with the
    // reason when the address cannot be served.
    bool Start(std::string* error);
    void Stop();

    const char* Name() const override { return "modbus"; }
    std::string Status() const override;
    Json Figures() const override { return Json{{"clients", clients_.load()}}; }

private:
    struct Connection;
    struct Write;

    // The line's state changed (reads waiting may be answered), a write is
    // done, or the face stops.
    void Wake();
    // The values of `points` for a read at `nowMs`: points nobody polls are
    // asked for (unless that would pass the limit of points on demand:
    // exception 6 then, nothing asked for, *limitReached set; with reads on
    // demand off, exception 2).
    ModbusServed Serve(const std::vector<ModbusPoint>& points, int64_t nowMs, bool* limitReached);
    void Submit(Connection* connection, const ModbusRequest& request);
    void Finished(const std::shared_ptr<Write>& job, const WriteRequest& done);
    void WatchListener();

    void Run();
    void Accept(int64_t now);
    void ReplaceIdleLongest(const std::string& peer, int64_t now);
    void Receive(Connection* connection, int64_t now);
    void Process(Connection* connection, int64_t now);
    void Resume(Connection* connection, int64_t now);
    void Answer(Connection* connection, const ModbusRequest& request, int64_t now, bool final);
    void Send(Connection* connection, const std::vector<uint8_t>& bytes);
    void Flush(Connection* connection);
    void Watch(Connection* connection);
    void Close(Connection* connection, const std::string& why, bool warn);
    void LogException(Connection* connection, const ModbusRequest& request);
    void TakeFinished(int64_t now);
    void Expire(int64_t now);
    int64_t NextTimeout(int64_t now) const;

    ModbusSettings settings_;
    Line* line_;
    ModbusMayWrite mayWrite_;
    uint64_t listener_ = 0;  // of the journal
    std::string shownAddress_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;  // an eventfd: the line's state changed, a write is done, stop
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> clients_{0};
    std::map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint64_t nextConnection_ = 2;  // 0 and 1 are the listener and the eventfd
    bool stateChanged_ = false;
    std::vector<tz52line::PointRef> refs_;  // of the read being served, kept to spare an allocation
    int64_t listenPausedUntil_ = 0;  // out of descriptors: accept again then
    int64_t lastRefusalLogMs_ = -1;
    size_t refusedSinceLog_ = 0;
    bool demandLimitLogged_ = false;

    std::mutex finishedMutex_;
    std::deque<std::shared_ptr<Write>> finished_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MODBUS_MODBUS_FACE_H
