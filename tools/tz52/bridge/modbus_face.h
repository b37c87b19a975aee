// The bridge's Modbus TCP face: a server of its own in one thread and one
// epoll loop, so that no client can hold up another (a slow sender, one
// waiting for its write) and descriptors above FD_SETSIZE work. Reads are
// answered from the PointMemory; writes go to the LineWorkQueue that MQTT
// sets share, and are answered when the poller hands the job back. Every
// byte from a client is judged by ParseModbusRequest before anything else
// sees it.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_MODBUS_FACE_H
#define TZ52_TOOLS_TZ52_BRIDGE_MODBUS_FACE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/tz52/bridge/line_work.h"
#include "tools/tz52/bridge/modbus_request.h"
#include "tools/tz52/bridge/point_memory.h"

struct ModbusSettings {
    std::string listen;               // [ADDRESS:]PORT as given; "" for no face
    int64_t waitMs = 800;             // a read of points not read yet waits this long
    int64_t demandIdleMs = 600000;    // points on demand leave after this long unread
    size_t demandPoints = 256;        // the most points on demand; 0: none
    size_t demandSharePercent = 50;   // of the line's time, the most reads on demand take
    int64_t maxAgeMs = 0;             // 0: three periods of the point, at least 5 s
    size_t maxClients = 32;
    int64_t idleConnectionMs = 60000;
};

// The address and port of `listen` ([ADDRESS:]PORT, [IPV6]:PORT; a bare
// port is 127.0.0.1's); false with the reason when it is not one.
bool ParseModbusListen(const std::string& listen, std::string* address, int* port, std::string* error);

class ModbusFace {
public:
    ModbusFace(const ModbusSettings& settings, PointMemory* memory, LineWorkQueue* queue, ModbusMayWrite mayWrite);
    ~ModbusFace();
    ModbusFace(const ModbusFace&) = delete;
    ModbusFace& operator=(const ModbusFace&) = delete;

    // Binds and listens, then starts the face's thread. False with the
    // reason when the address cannot be served.
    bool Start(std::string* error);
    void Stop();

    // The poller's side: a point's read is in the memory (reads waiting
    // for it may be answered); a write job is done.
    void MemoryChanged();
    void Finished(const std::shared_ptr<ModbusWriteJob>& job);

    size_t Clients() const { return clients_.load(); }

private:
    struct Connection;

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
    PointMemory* memory_;
    LineWorkQueue* queue_;
    ModbusMayWrite mayWrite_;
    std::string shownAddress_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;  // an eventfd: the memory changed, a job is done, stop
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> clients_{0};
    std::map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint64_t nextConnection_ = 2;  // 0 and 1 are the listener and the eventfd
    bool memoryChanged_ = false;
    int64_t listenPausedUntil_ = 0;  // out of descriptors: accept again then
    int64_t lastRefusalLogMs_ = -1;
    size_t refusedSinceLog_ = 0;
    bool demandLimitLogged_ = false;

    std::mutex finishedMutex_;
    std::deque<std::shared_ptr<ModbusWriteJob>> finished_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_MODBUS_FACE_H
