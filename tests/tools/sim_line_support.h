// What the end-to-end tests share: a port driven through QmxMain the way a
// host drives it, and a simulator started in-process on a pseudo-terminal.
#ifndef TZ52DRV_TESTS_TOOLS_SIM_LINE_SUPPORT_H
#define TZ52DRV_TESTS_TOOLS_SIM_LINE_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_api.h"
#include "tools/tz52sim/sim_server.h"

namespace simline {

using Clock = std::chrono::steady_clock;

inline long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One port, kept the way a host keeps it: its own PortContext and value buffer.
class HostPort {
public:
    PortContext context{};
    uint8_t buffer[8] = {};

    int Open(const std::string& name, int32_t timeout) {
        OpenParameters open{};
        std::strncpy(open.portName, name.c_str(), sizeof open.portName - 1);
        open.inUse = 1;
        open.readTimeout = timeout;
        open.baudRate = 9600;
        open.dataBits = 8;
        return Call(kOpOpen, &open);
    }
    int Close() { return Call(kOpClose, nullptr); }
    int Reopen() { return Call(kOpReopen, nullptr); }

    // The value buffer keeps whatever it held; a successful read changes the
    // slot (bytes 2 and 3) only.
    int Read(int station, char type, int index) {
        PointIo io = Point(station, type, index);
        return Call(kOpReadPoint, &io);
    }
    // Puts `value` in the slot and writes it.
    int Write(int station, char type, int index, uint16_t value) {
        SetSlot(value);
        PointIo io = Point(station, type, index);
        return Call(kOpWritePoint, &io);
    }

    uint16_t Slot() const { return static_cast<uint16_t>(buffer[2] | buffer[3] << 8); }
    void SetSlot(uint16_t value) {
        buffer[2] = static_cast<uint8_t>(value & 0xFF);
        buffer[3] = static_cast<uint8_t>(value >> 8);
    }
    std::vector<uint8_t> Buffer() const { return {buffer, buffer + sizeof buffer}; }

private:
    PointIo Point(int station, char type, int index) {
        PointIo io{};
        io.station = station;
        io.pointType = type;
        io.pointIndex = index;
        io.valueBuffer = buffer;
        return io;
    }
    int Call(int32_t operation, void* parameters) {
        DriverRequest request{};
        request.context = &context;
        request.operation = operation;
        request.parameters = parameters;
        return QmxMain(&request);
    }
};

// A configuration with scripted faults ("2:silent") and starting values
// ("001C001=5"). TZ52SIM_TRACE in the environment turns the trace on.
inline tz52sim::SimConfig SimulatorConfig(const std::vector<std::string>& faults = {},
                                          const std::vector<std::string>& values = {},
                                          std::vector<int> stations = {1}) {
    tz52sim::SimConfig config;
    config.stations = std::move(stations);
    config.trace = std::getenv("TZ52SIM_TRACE") != nullptr;
    std::string error;
    for (const std::string& text : faults) {
        uint64_t exchange = 0;
        tz52sim::Fault fault;
        EXPECT_TRUE(tz52sim::ParseScriptedFault(text, &exchange, &fault, &error)) << error;
        config.faults.scripted[exchange] = fault;
    }
    for (const std::string& text : values) {
        tz52sim::Assignment assignment;
        EXPECT_TRUE(tz52sim::ParseAssignment(text, &assignment, &error)) << error;
        config.assignments.push_back(assignment);
    }
    return config;
}

inline std::unique_ptr<tz52sim::Simulator> StartSimulator(tz52sim::SimConfig config) {
    auto simulator = std::make_unique<tz52sim::Simulator>(std::move(config));
    std::string error;
    EXPECT_TRUE(simulator->Start(&error)) << error;
    return simulator;
}

// Waits (up to two seconds) until the simulator has seen `count` exchanges,
// then returns how many it has seen.
inline uint64_t ExchangesSeen(const tz52sim::Simulator& simulator, uint64_t count) {
    const auto start = Clock::now();
    while (simulator.ExchangeCount() < count && MillisecondsSince(start) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return simulator.ExchangeCount();
}

inline tz52sim::PointRef Point(int station, char type, int index) {
    tz52sim::PointRef point;
    point.station = station;
    point.type = type;
    point.index = index;
    return point;
}

}  // namespace simline

#endif  // TZ52DRV_TESTS_TOOLS_SIM_LINE_SUPPORT_H
