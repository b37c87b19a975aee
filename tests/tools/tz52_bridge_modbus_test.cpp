// tz52 bridge's Modbus TCP face between the simulator on a pseudo-terminal
// and real Modbus clients: libmodbus's client, mbpoll as a user types it,
// and raw frames on a socket for what no well-behaved client sends. Each
// table of the map reads the controller's values, allowed writes reach the
// controller and the broker, every exception answers its cause, points read
// on demand come and go, and nothing a client sends hurts the bridge.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/bridge_test_support.h"

namespace {

using bridgetest::Bridge;
using bridgetest::FreeLoopbackPort;
using bridgetest::Is;
using bridgetest::kHost;
using bridgetest::Occurrences;
using bridgetest::Parsed;
using bridgetest::ReadFile;
using bridgetest::Spawn;
using bridgetest::WaitExit;
using bridgetest::Watcher;
using simline::Clock;
using simline::MillisecondsSince;
using simline::Point;

const char kMbpoll[] = TZ52_MBPOLL_PATH;

// Function codes and exception codes as the protocol numbers them.
enum : int { kReadCoils = 1, kReadInputs = 2, kReadHolding = 3, kReadInputRegisters = 4 };
enum : int { kWriteCoil = 5, kWriteRegister = 6, kWriteCoils = 15, kWriteRegisters = 16 };
enum : int { kIllegalFunction = 1, kIllegalAddress = 2, kIllegalValue = 3, kDeviceFailure = 4, kBusy = 6 };
enum : int { kPathUnavailable = 10, kTargetFailed = 11 };
// Not an exception: the request failed otherwise (timeout, connection closed).
constexpr int kNoAnswer = -1;

// What a client got: the values, or the exception code (or kNoAnswer).
struct Outcome {
    int exception = 0;
    std::vector<uint16_t> values;
    std::string error;  // the client's own words, for the failure message
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    out << "exception " << outcome.exception << " values " << ::testing::PrintToString(outcome.values);
    if (!outcome.error.empty()) out << " (" << outcome.error << ")";
    return out;
}

Outcome Failed() {
    Outcome outcome;
    outcome.error = modbus_strerror(errno);
    outcome.exception = errno > MODBUS_ENOBASE && errno <= MODBUS_ENOBASE + 11 ? errno - MODBUS_ENOBASE : kNoAnswer;
    return outcome;
}

// libmodbus's TCP client, one connection.
class Client {
public:
    explicit Client(int port, int timeoutSeconds = 5) {
        context_ = modbus_new_tcp("127.0.0.1", port);
        modbus_set_response_timeout(context_, static_cast<uint32_t>(timeoutSeconds), 0);
        connected_ = modbus_connect(context_) == 0;
    }
    ~Client() {
        modbus_close(context_);
        modbus_free(context_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool connected() const { return connected_; }

    // `count` references from `reference` (1-based) with `function`.
    Outcome Read(int unit, int function, int reference, int count) {
        modbus_set_slave(context_, unit);
        const int address = reference - 1;
        Outcome outcome;
        int got = -1;
        if (function == kReadCoils || function == kReadInputs) {
            std::vector<uint8_t> bits(static_cast<size_t>(count));
            got = function == kReadCoils ? modbus_read_bits(context_, address, count, bits.data())
                                         : modbus_read_input_bits(context_, address, count, bits.data());
            outcome.values.assign(bits.begin(), bits.end());
        } else {
            outcome.values.resize(static_cast<size_t>(count));
            got = function == kReadHolding ? modbus_read_registers(context_, address, count, outcome.values.data())
                                           : modbus_read_input_registers(context_, address, count, outcome.values.data());
        }
        if (got != count) return Failed();
        return outcome;
    }

    // Single writes take values.size() == 1; the multiple ones any count.
    Outcome Write(int unit, int function, int reference, const std::vector<uint16_t>& values) {
        modbus_set_slave(context_, unit);
        const int address = reference - 1;
        const int count = static_cast<int>(values.size());
        std::vector<uint8_t> bits(values.begin(), values.end());
        int done = -1;
        switch (function) {
            case kWriteCoil: done = modbus_write_bit(context_, address, values.at(0)); break;
            case kWriteRegister: done = modbus_write_register(context_, address, values.at(0)); break;
            case kWriteCoils: done = modbus_write_bits(context_, address, count, bits.data()); break;
            case kWriteRegisters: done = modbus_write_registers(context_, address, count, values.data()); break;
        }
        if (done < 0) return Failed();
        return Outcome{};
    }

    modbus_t* context() { return context_; }

private:
    modbus_t* context_ = nullptr;
    bool connected_ = false;
};

// A plain socket for frames no well-behaved client sends.
class RawConnection {
public:
    explicit RawConnection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    bool Send(const std::vector<uint8_t>& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // One reply frame (header, then what its length field counts); empty
    // when the connection closed or nothing whole came within `seconds`.
    std::vector<uint8_t> Reply(int seconds = 5) {
        std::vector<uint8_t> reply;
        if (!ReceiveExactly(7, seconds, &reply)) return {};
        const size_t length = static_cast<size_t>(reply[4]) << 8 | reply[5];
        if (length < 1 || !ReceiveExactly(length - 1, seconds, &reply)) return {};
        return reply;
    }
    // True when the bridge closes the connection within `seconds`, anything
    // it sends first ignored.
    bool ClosedWithin(double seconds) {
        const auto start = Clock::now();
        while (static_cast<double>(MillisecondsSince(start)) < seconds * 1000) {
            pollfd waiting{fd_, POLLIN, 0};
            if (poll(&waiting, 1, 50) <= 0) continue;
            uint8_t buffer[512];
            const ssize_t size = recv(fd_, buffer, sizeof buffer, 0);
            if (size == 0 || (size < 0 && errno != EINTR && errno != EAGAIN)) return true;
        }
        return false;
    }

private:
    bool ReceiveExactly(size_t count, int seconds, std::vector<uint8_t>* into) {
        const auto start = Clock::now();
        while (count > 0) {
            const long long left = seconds * 1000LL - MillisecondsSince(start);
            pollfd waiting{fd_, POLLIN, 0};
            if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) return false;
            uint8_t buffer[260];
            const ssize_t size = recv(fd_, buffer, std::min(count, sizeof buffer), 0);
            if (size <= 0) return false;
            into->insert(into->end(), buffer, buffer + size);
            count -= static_cast<size_t>(size);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
};

// A Modbus TCP frame: the header (its length field counting the unit and
// `pdu`, unless `length` says otherwise), then the PDU.
std::vector<uint8_t> Frame(uint8_t unit, const std::vector<uint8_t>& pdu, uint16_t protocol = 0, int length = -1,
                           uint16_t transaction = 0x1234) {
    const uint16_t field = length >= 0 ? static_cast<uint16_t>(length) : static_cast<uint16_t>(pdu.size() + 1);
    std::vector<uint8_t> frame(7 + pdu.size());
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction);
    frame[2] = static_cast<uint8_t>(protocol >> 8);
    frame[3] = static_cast<uint8_t>(protocol);
    frame[4] = static_cast<uint8_t>(field >> 8);
    frame[5] = static_cast<uint8_t>(field);
    frame[6] = unit;
    std::copy(pdu.begin(), pdu.end(), frame.begin() + 7);
    return frame;
}

// The exception code of an exception reply to `function`; 0 for any other
// reply, kNoAnswer for none.
int ExceptionOf(const std::vector<uint8_t>& reply, uint8_t function) {
    if (reply.size() < 9) return kNoAnswer;
    return reply[7] == (function | 0x80) ? reply[8] : 0;
}

// mbpoll, once, as a user types it: `-m tcp -p PORT -a UNIT -r REF -c COUNT
// -t TYPE -1 127.0.0.1 [values]` (-c and -1 only when reading).
struct MbpollRun {
    int exitCode = -1;
    std::vector<uint16_t> values;  // the "[REF]: VALUE" lines of a read
    std::string output;
};

MbpollRun Mbpoll(const std::string& directory, int port, int unit, int type, int reference, int count,
                 const std::vector<uint16_t>& values = {}) {
    MbpollRun run;
    if (kMbpoll[0] == '\0') {
        ADD_FAILURE() << "mbpoll is not installed (.ci/install-deps installs it)";
        return run;
    }
    std::vector<std::string> arguments = {kMbpoll, "-m", "tcp", "-p", std::to_string(port), "-a", std::to_string(unit),
                                          "-r", std::to_string(reference), "-t", std::to_string(type)};
    if (values.empty()) arguments.insert(arguments.end(), {"-c", std::to_string(count), "-1"});
    arguments.push_back("127.0.0.1");
    for (uint16_t value : values) arguments.push_back(std::to_string(value));
    const std::string log = directory + "/mbpoll.log";
    std::remove(log.c_str());
    const pid_t pid = Spawn(arguments, log);
    run.exitCode = WaitExit(pid, 20);
    if (run.exitCode < 0) {
        kill(pid, SIGKILL);
        WaitExit(pid, 5);
    }
    run.output = ReadFile(log);
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find("]: ");
        if (line.rfind("[", 0) == 0 && colon != std::string::npos) {
            run.values.push_back(static_cast<uint16_t>(std::stoul(line.substr(colon + 3))));
        }
    }
    return run;
}

// The mbpoll type (-t) of a function's table.
int MbpollType(int function) {
    switch (function) {
        case kReadCoils: case kWriteCoil: case kWriteCoils: return 0;
        case kReadInputs: return 1;
        case kReadInputRegisters: return 3;
        default: return 4;
    }
}

bool IsWrite(const tz52sim::ExchangeRecord& exchange) {
    return exchange.kind == tz52sim::CommandKind::kWriteWord || exchange.kind == tz52sim::CommandKind::kWriteBit ||
           exchange.kind == tz52sim::CommandKind::kWriteByte;
}

size_t ExchangesOfKind(const tz52sim::Simulator& simulator, tz52sim::CommandKind kind) {
    const std::vector<tz52sim::ExchangeRecord> exchanges = simulator.Exchanges();
    return static_cast<size_t>(std::count_if(exchanges.begin(), exchanges.end(),
                                             [&](const tz52sim::ExchangeRecord& e) { return e.kind == kind; }));
}

class ModbusFace : public Bridge {
protected:
    // A read limit that a loaded machine does not take for a silent station
    // (which the face answers with 11).
    ModbusFace() { timeout_ = "100ms"; }

    // The bridge with its Modbus face on a free loopback port (and the
    // broker unless `mqtt` is false: then --no-mqtt); waits until it listens.
    void StartFace(const std::vector<std::string>& extra, bool mqtt = true) {
        modbusPort_ = FreeLoopbackPort();
        std::vector<std::string> arguments = {kHost, "bridge", "--port", simulator_->PortName(), "--timeout", timeout_,
                                              "--every", "50ms", "--topic-prefix", "tz52",
                                              "--modbus-listen", std::to_string(modbusPort_)};
        if (mqtt) {
            arguments.insert(arguments.end(), {"--mqtt-host", "127.0.0.1", "--mqtt-port", std::to_string(broker_->port())});
        } else {
            arguments.push_back("--no-mqtt");
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        bridge_ = Spawn(arguments, log(), environment_);
        const std::string listening = "tz52 bridge: modbus: listening on 127.0.0.1:" + std::to_string(modbusPort_);
        const auto start = Clock::now();
        while (BridgeLog().find(listening) == std::string::npos && MillisecondsSince(start) < 10000) {
            if (WaitExit(bridge_, 0) >= 0) {
                bridge_ = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_NE(BridgeLog().find(listening), std::string::npos) << BridgeLog();
    }
    void Restart(const std::vector<std::string>& simulatorValues, const std::vector<std::string>& faults,
                 const std::vector<std::string>& bridgeArguments, bool mqtt = true) {
        if (bridge_ != 0) StopBridge();
        simulator_.reset();
        std::remove(log().c_str());
        StartSimulator(simulatorValues, faults);
        ASSERT_NO_FATAL_FAILURE(StartFace(bridgeArguments, mqtt));
    }
    // Reads until the answer is not exception 6 (the points' first reads
    // still to come), for up to `seconds`.
    Outcome ReadSettled(Client& client, int unit, int function, int reference, int count, int seconds = 5) {
        const auto start = Clock::now();
        for (;;) {
            Outcome outcome = client.Read(unit, function, reference, count);
            if (outcome.exception != kBusy || MillisecondsSince(start) > seconds * 1000) return outcome;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // A points file of one point read once at the start (M100, which no
    // test reads through Modbus): the bridge needs one of its own, and the
    // line is quiet but for what Modbus reads add.
    std::vector<std::string> QuietPoint() {
        std::ofstream(directory_ + "/quiet.points") << "001M100 every 3600s\n";
        return {"--points", directory_ + "/quiet.points"};
    }

    // The exception a raw frame earns on a connection of its own (0 for
    // another reply, kNoAnswer for none).
    int RawException(const std::vector<uint8_t>& frame) {
        RawConnection connection(modbusPort_);
        if (!connection.connected() || !connection.Send(frame)) return kNoAnswer;
        return ExceptionOf(connection.Reply(), frame[7]);
    }

    int modbusPort_ = 0;
};

// Waits until the latest message on `topic` is `value`; that message.
std::string LastOn(Watcher& watcher, const std::string& topic, const std::string& value, int seconds = 10) {
    std::vector<std::string> messages;
    for (const auto start = Clock::now(); MillisecondsSince(start) < seconds * 1000;) {
        messages = watcher.On(topic);
        if (!messages.empty() && messages.back() == value) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return messages.empty() ? "" : messages.back();
}

// ---- reads and writes ----------------------------------------------------------------

// Modbus alone (--no-mqtt, one point of its own): every table of the map
// reads what the controller holds, at the references the map gives, through
// libmodbus and through mbpoll. The points are read on demand (mbpoll reads
// mostly points a row before it added).
TEST_F(ModbusFace, EachTableReadsTheControllersValues) {
    StartSimulator({"001O003=1", "001O012=1", "001B002=1", "001B016=77", "001A009=381", "001A012=17",
                    "001M001=1234", "001M256=65535", "001S001=510", "001S250=7", "001C001=9", "001C016=4321"});
    ASSERT_NO_FATAL_FAILURE(StartFace(QuietPoint(), false));
    Client client(modbusPort_);
    ASSERT_TRUE(client.connected()) << BridgeLog();
    const struct {
        bool mbpoll;
        int function;
        int reference;
        int count;
        std::vector<uint16_t> values;
    } rows[] = {
        {false, kReadCoils, 1, 12, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {true, kReadCoils, 3, 2, {1, 0}},
        {false, kReadInputs, 1, 16, {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {true, kReadInputs, 15, 2, {0, 1}},
        {false, kReadInputRegisters, 9, 4, {381, 0, 0, 17}},
        {true, kReadInputRegisters, 12, 1, {17}},
        {false, kReadHolding, 1, 2, {1234, 0}},
        {false, kReadHolding, 255, 2, {0, 65535}},
        {true, kReadHolding, 256, 1, {65535}},
        {false, kReadHolding, 1001, 2, {510, 0}},
        {true, kReadHolding, 1249, 2, {0, 7}},
        {false, kReadHolding, 2001, 16, {9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4321}},
        {true, kReadHolding, 2015, 2, {0, 4321}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE((row.mbpoll ? "mbpoll function " : "libmodbus function ") + std::to_string(row.function) +
                     " reference " + std::to_string(row.reference) + " count " + std::to_string(row.count));
        if (row.mbpoll) {
            const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, MbpollType(row.function), row.reference, row.count);
            EXPECT_EQ(run.exitCode, 0) << run.output << BridgeLog();
            EXPECT_EQ(run.values, row.values) << run.output;
        } else {
            const Outcome outcome = ReadSettled(client, 1, row.function, row.reference, row.count);
            EXPECT_EQ(outcome.exception, 0) << outcome << BridgeLog();
            EXPECT_EQ(outcome.values, row.values) << outcome;
        }
    }
    // Reading sent nothing but reads.
    for (const tz52sim::ExchangeRecord& exchange : simulator_->Exchanges()) {
        EXPECT_FALSE(IsWrite(exchange)) << "exchange " << exchange.number;
    }
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

// Every allowed write function reaches the controller, is read back, shows
// on MQTT and in the audit log with the client's address, and a Modbus read
// then gives the value written.
TEST_F(ModbusFace, AllowedWriteReachesTheControllerAndShowsOnMqtt) {
    StartSimulator({});
    Watcher watcher(broker_->port());
    // The points shown on MQTT are the ones the bridge polls.
    const std::vector<std::string> points = {"001M010", "001M011", "001S001", "001S002",
                                             "001C002", "001O001", "001O002", "001O003"};
    std::string allowed;
    for (const std::string& point : points) allowed += (allowed.empty() ? "" : ",") + point;
    std::vector<std::string> arguments = {"--allow-write", allowed};
    arguments.insert(arguments.end(), points.begin(), points.end());
    ASSERT_NO_FATAL_FAILURE(StartFace(arguments));
    ASSERT_EQ(watcher.WaitFor("tz52/status", Is("online")), "online") << BridgeLog();
    Client client(modbusPort_);
    ASSERT_TRUE(client.connected());
    const struct {
        bool mbpoll;
        int function;
        int reference;
        std::vector<uint16_t> values;
        std::vector<const char*> points;  // the points written, in order
    } rows[] = {
        {false, kWriteRegister, 10, {4660}, {"001M010"}},
        {true, kWriteRegister, 11, {99}, {"001M011"}},
        {false, kWriteRegisters, 10, {7, 8}, {"001M010", "001M011"}},
        {true, kWriteRegisters, 1001, {300, 65535}, {"001S001", "001S002"}},
        {false, kWriteRegister, 2002, {65535}, {"001C002"}},
        {false, kWriteCoil, 1, {1}, {"001O001"}},
        {true, kWriteCoil, 1, {0}, {"001O001"}},
        {false, kWriteCoils, 1, {1, 0, 1}, {"001O001", "001O002", "001O003"}},
        {true, kWriteCoils, 2, {1, 0}, {"001O002", "001O003"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE((row.mbpoll ? "mbpoll function " : "libmodbus function ") + std::to_string(row.function) +
                     " reference " + std::to_string(row.reference));
        if (row.mbpoll) {
            const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, MbpollType(row.function), row.reference, 0, row.values);
            EXPECT_EQ(run.exitCode, 0) << run.output << BridgeLog();
        } else {
            const Outcome outcome = client.Write(1, row.function, row.reference, row.values);
            EXPECT_EQ(outcome.exception, 0) << outcome << BridgeLog();
        }
        // The answer came after the write: the controller holds the values now.
        std::string values;
        for (size_t i = 0; i < row.points.size(); ++i) {
            const std::string name = row.points[i];
            const tz52sim::PointRef point = Point(1, name[3], std::stoi(name.substr(4)));
            EXPECT_EQ(simulator_->GetPoint(point), row.values[i]) << name;
            const std::string value = std::to_string(row.values[i]);
            EXPECT_EQ(LastOn(watcher, "tz52/" + name, value), value) << name << " on MQTT";
            values += (values.empty() ? "" : ",") + value;
        }
        // The audit line names the points and values written, and the client.
        const std::string audit =
            "tz52 bridge: set " +
            (row.points.size() == 1 ? std::string(row.points[0]) + " to " + values
                                    : std::string(row.points.front()) + ".." + row.points.back() + " to [" + values + "]") +
            " from modbus (client 127.0.0.1:";
        EXPECT_NE(BridgeLog().find(audit), std::string::npos) << audit << "\n" << BridgeLog();
        const int readFunction = row.function == kWriteCoil || row.function == kWriteCoils ? kReadCoils : kReadHolding;
        const Outcome read = ReadSettled(client, 1, readFunction, row.reference, static_cast<int>(row.values.size()));
        EXPECT_EQ(read.exception, 0) << read;
        EXPECT_EQ(read.values, row.values) << read;
    }
    // The function is in the audit line.
    EXPECT_NE(BridgeLog().find(", function 16): result 0, written"), std::string::npos) << BridgeLog();
    EXPECT_NE(BridgeLog().find(", function 5): result 0, written"), std::string::npos) << BridgeLog();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

// Sets through MQTT and writes through Modbus to one point, from two
// clients at once: they go through one queue, so the controller ends with
// the value the audit log wrote last, and both faces show it.
TEST_F(ModbusFace, MqttAndModbusWritesInterleavedEndWithTheLastWritten) {
    StartSimulator({});
    Watcher watcher(broker_->port());
    ASSERT_NO_FATAL_FAILURE(StartFace({"--allow-write", "001M020", "001M020"}));
    ASSERT_EQ(watcher.WaitFor("tz52/status", Is("online")), "online") << BridgeLog();
    constexpr int kEach = 15;
    std::thread modbusWriter([&] {
        Client client(modbusPort_);
        for (int k = 1; k <= kEach; ++k) {
            const Outcome outcome = client.Write(1, kWriteRegister, 20, {static_cast<uint16_t>(1000 + k)});
            EXPECT_EQ(outcome.exception, 0) << outcome;
        }
    });
    for (int k = 1; k <= kEach; ++k) {
        watcher.Publish("tz52/001M020/set", std::to_string(2000 + k));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    modbusWriter.join();
    const auto start = Clock::now();
    while (watcher.On("tz52/001M020/result").size() < kEach && MillisecondsSince(start) < 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(watcher.On("tz52/001M020/result").size(), static_cast<size_t>(kEach)) << BridgeLog();
    const std::string log = BridgeLog();
    EXPECT_EQ(Occurrences(log, "tz52 bridge: set 001M020 to 10"), static_cast<size_t>(kEach)) << log;
    EXPECT_EQ(Occurrences(log, "tz52 bridge: set 001M020 to 20"), static_cast<size_t>(kEach)) << log;
    // The last write in the audit log is what the controller holds.
    const size_t last = log.rfind("tz52 bridge: set 001M020 to ");
    ASSERT_NE(last, std::string::npos) << log;
    const std::string written = log.substr(last + 28, 4);
    EXPECT_EQ(std::to_string(simulator_->GetPoint(Point(1, 'M', 20))), written) << log;
    EXPECT_EQ(LastOn(watcher, "tz52/001M020", written), written);
    Client client(modbusPort_);
    const Outcome read = ReadSettled(client, 1, kReadHolding, 20, 1);
    EXPECT_EQ(read.exception, 0) << read;
    EXPECT_EQ(read.values, std::vector<uint16_t>{static_cast<uint16_t>(std::stoi(written))}) << read;

    // Then one after the other: each face shows what the other wrote.
    ASSERT_EQ(client.Write(1, kWriteRegister, 20, {7}).exception, 0);
    EXPECT_EQ(LastOn(watcher, "tz52/001M020", "7"), "7") << BridgeLog();
    watcher.Publish("tz52/001M020/set", "8");
    ASSERT_EQ(Parsed(watcher.WaitFor("tz52/001M020/result", [](const std::string& payload) {
                  return Parsed(payload)["value"] == 8;
              }))["result"],
              0);
    Outcome seen;
    for (const auto begin = Clock::now(); MillisecondsSince(begin) < 5000;) {
        seen = client.Read(1, kReadHolding, 20, 1);
        if (seen.exception == 0 && seen.values == std::vector<uint16_t>{8}) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(seen.values, std::vector<uint16_t>{8}) << seen << BridgeLog();
}

// ---- exceptions ----------------------------------------------------------------------

// The exceptions a request earns by itself, whatever the line does: each
// with its cause, through libmodbus, mbpoll and raw frames. None writes.
TEST_F(ModbusFace, EachRefusedRequestGetsItsException) {
    StartSimulator({"001M010=5"});
    std::vector<std::string> arguments = QuietPoint();
    arguments.insert(arguments.end(), {"--allow-write", "001M010,001O001"});
    ASSERT_NO_FATAL_FAILURE(StartFace(arguments, false));
    Client client(modbusPort_);
    ASSERT_TRUE(client.connected()) << BridgeLog();
    const struct {
        const char* cause;
        std::function<int()> request;  // the exception that came (0: none)
        int exception;
    } rows[] = {
        // 1: a function the map does not serve.
        {"report server id (17)", [&] {
             uint8_t id[64];
             modbus_set_slave(client.context(), 1);
             return modbus_report_slave_id(client.context(), sizeof id, id) < 0 ? Failed().exception : 0;
         }, kIllegalFunction},
        {"read/write multiple registers (23)", [&] {
             uint16_t in[2] = {1, 2}, out[2];
             modbus_set_slave(client.context(), 1);
             return modbus_write_and_read_registers(client.context(), 9, 2, in, 9, 2, out) < 0 ? Failed().exception : 0;
         }, kIllegalFunction},
        {"mask write register (22)", [&] {
             modbus_set_slave(client.context(), 1);
             return modbus_mask_write_register(client.context(), 9, 0xFF, 0) < 0 ? Failed().exception : 0;
         }, kIllegalFunction},
        // 2: a range that touches a reference outside the map.
        {"holding 257", [&] { return client.Read(1, kReadHolding, 257, 1).exception; }, kIllegalAddress},
        {"holding 255-257", [&] { return client.Read(1, kReadHolding, 255, 3).exception; }, kIllegalAddress},
        {"holding 1000", [&] { return client.Read(1, kReadHolding, 1000, 1).exception; }, kIllegalAddress},
        {"holding 1250-1251", [&] { return client.Read(1, kReadHolding, 1250, 2).exception; }, kIllegalAddress},
        {"holding 2016-2017", [&] { return client.Read(1, kReadHolding, 2016, 2).exception; }, kIllegalAddress},
        {"holding 65536", [&] { return client.Read(1, kReadHolding, 65536, 1).exception; }, kIllegalAddress},
        {"coils 12-13", [&] { return client.Read(1, kReadCoils, 12, 2).exception; }, kIllegalAddress},
        {"discrete inputs 17", [&] { return client.Read(1, kReadInputs, 17, 1).exception; }, kIllegalAddress},
        {"input registers 8-9", [&] { return client.Read(1, kReadInputRegisters, 8, 2).exception; }, kIllegalAddress},
        {"input registers 13", [&] { return client.Read(1, kReadInputRegisters, 13, 1).exception; }, kIllegalAddress},
        // 2: writes not allowed, alone or within a range that has allowed points.
        {"write M011", [&] { return client.Write(1, kWriteRegister, 11, {1}).exception; }, kIllegalAddress},
        {"write M010-M011", [&] { return client.Write(1, kWriteRegisters, 10, {1, 2}).exception; }, kIllegalAddress},
        {"write O001-O002", [&] { return client.Write(1, kWriteCoils, 1, {1, 1}).exception; }, kIllegalAddress},
        {"write holding 257", [&] { return client.Write(1, kWriteRegister, 257, {1}).exception; }, kIllegalAddress},
        {"mbpoll write M011", [&] {
             const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, 4, 11, 0, {3});
             return run.output.find(modbus_strerror(EMBXILADD)) != std::string::npos ? kIllegalAddress : run.exitCode;
         }, kIllegalAddress},
        {"mbpoll read holding 257", [&] {
             const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, 4, 257, 1);
             return run.output.find(modbus_strerror(EMBXILADD)) != std::string::npos ? kIllegalAddress : run.exitCode;
         }, kIllegalAddress},
        // 3: a quantity the function does not allow (libmodbus's client
        // refuses to send these, so they go raw), a coil value not 0/0xFF00.
        {"read holding 126", [&] { return RawException(Frame(1, {kReadHolding, 0, 0, 0, 126})); }, kIllegalValue},
        {"read holding 0", [&] { return RawException(Frame(1, {kReadHolding, 0, 0, 0, 0})); }, kIllegalValue},
        {"read coils 2001", [&] { return RawException(Frame(1, {kReadCoils, 0, 0, 0x07, 0xD1})); }, kIllegalValue},
        {"read inputs 0", [&] { return RawException(Frame(1, {kReadInputs, 0, 0, 0, 0})); }, kIllegalValue},
        {"write coil 0x1234", [&] { return RawException(Frame(1, {kWriteCoil, 0, 0, 0x12, 0x34})); }, kIllegalValue},
        {"write registers: byte count 3 for 2",
         [&] { return RawException(Frame(1, {kWriteRegisters, 0, 9, 0, 2, 3, 0, 1, 0})); }, kIllegalValue},
        // 10: a unit that is no station.
        {"unit 0", [&] { return RawException(Frame(0, {kReadHolding, 0, 0, 0, 1})); }, kPathUnavailable},
        {"unit 128", [&] { return client.Read(128, kReadHolding, 1, 1).exception; }, kPathUnavailable},
        {"unit 255", [&] { return client.Read(255, kReadHolding, 1, 1).exception; }, kPathUnavailable},
        {"unit 200 write", [&] { return client.Write(200, kWriteRegister, 10, {1}).exception; }, kPathUnavailable},
        {"mbpoll unit 200", [&] {
             const MbpollRun run = Mbpoll(directory_, modbusPort_, 200, 4, 1, 1);
             return run.output.find(modbus_strerror(EMBXGPATH)) != std::string::npos ? kPathUnavailable : run.exitCode;
         }, kPathUnavailable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        EXPECT_EQ(row.request(), row.exception) << BridgeLog();
    }
    // The connection lives on after every exception, and nothing was written.
    const Outcome read = client.Read(1, kReadHolding, 10, 1);
    EXPECT_EQ(read.exception, 0) << read;
    EXPECT_EQ(read.values, std::vector<uint16_t>{5}) << read;
    for (const tz52sim::ExchangeRecord& exchange : simulator_->Exchanges()) {
        EXPECT_FALSE(IsWrite(exchange)) << "exchange " << exchange.number;
    }
    // Every refused write is in the audit log.
    EXPECT_NE(BridgeLog().find("tz52 bridge: set 001M011 to 1 from modbus (client 127.0.0.1:"), std::string::npos)
        << BridgeLog();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

// The exceptions the line earns: each row a bridge of its own on a line
// with its faults. Exchange 1 is the first read of the one polled point.
TEST_F(ModbusFace, LineFailuresGiveTheirExceptions) {
    // Replies with a damaged complement pair: from exchange `from` to 20.
    const auto damagedFrom = [](int from) {
        std::vector<std::string> faults;
        for (int exchange = from; exchange <= 20; ++exchange) faults.push_back(std::to_string(exchange) + ":damage=2");
        return faults;
    };
    const std::vector<std::string> damaged = damagedFrom(1), damagedAfterFirst = damagedFrom(2);
    const struct {
        const char* cause;
        std::vector<std::string> faults;
        std::vector<std::string> arguments;
        bool write;
        int unit;
        int reference;
        int exception;
        std::vector<uint16_t> values;      // written (more than one: function 16)
        std::vector<uint16_t> controller;  // M001 onwards afterwards, when checked
        const char* logged;                // in the log afterwards
    } rows[] = {
        // A read whose replies failed their check (not silence): 4.
        {"damaged read", damaged, {"001M001 every 3600s"}, false, 1, 1, kDeviceFailure, {}, {}, ""},
        // A write whose acknowledgements failed their check: 4.
        {"damaged write", damagedAfterFirst, {"--allow-write", "001M001", "001M001 every 3600s"}, true, 1, 1,
         kDeviceFailure, {9}, {9}, "tz52 bridge: set 001M001 to 9 from modbus (client 127.0.0.1:"},
        // A multiple write stops at its first failure, and says what it
        // wrote: exchange 1 is M100's read; M001 and M002 are written and
        // read back (2 to 5); M003's acknowledgements (6 to 8) fail their
        // check, though the controller took it; M004 and M005 are not sent.
        {"multiple write failing at its third point", damagedFrom(6), {"--allow-write", "all", "001M100 every 3600s"},
         true, 1, 1, kDeviceFailure, {1, 2, 3, 4, 5}, {1, 2, 3, 0, 0},
         "; the value may have been written; exception 4; written: 001M001..001M002\n"},
        // A station that does not answer: 11, reading and writing.
        {"silent station read", {}, {"001M001"}, false, 2, 1, kTargetFailed, {}, {}, ""},
        {"silent station write", {}, {"--allow-write", "all", "001M001"}, true, 2, 1, kTargetFailed, {9}, {42}, ""},
        // A value older than --modbus-max-age is not served: 11.
        {"value too old", {}, {"--modbus-max-age", "1s", "001M001 every 3600s"}, false, 1, 1, kTargetFailed, {}, {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        std::ofstream(directory_ + "/points", std::ios::trunc) << row.arguments.back() << "\n";
        std::vector<std::string> arguments(row.arguments.begin(), row.arguments.end() - 1);
        arguments.insert(arguments.end(), {"--points", directory_ + "/points"});
        ASSERT_NO_FATAL_FAILURE(Restart({"001M001=42"}, row.faults, arguments, false));
        // The polled point's first read (and its retries) are done.
        EXPECT_GE(simline::ExchangesSeen(*simulator_, row.faults == damaged ? 3 : 1), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Client client(modbusPort_);
        if (std::string(row.cause) == "value too old") {
            const Outcome fresh = ReadSettled(client, 1, kReadHolding, 1, 1);
            EXPECT_EQ(fresh.values, std::vector<uint16_t>{42}) << fresh;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        const int function = row.values.size() > 1 ? kWriteRegisters : kWriteRegister;
        const Outcome outcome = row.write ? client.Write(row.unit, function, row.reference, row.values)
                                          : ReadSettled(client, row.unit, kReadHolding, row.reference, 1);
        EXPECT_EQ(outcome.exception, row.exception) << outcome << BridgeLog();
        for (size_t i = 0; i < row.controller.size(); ++i) {
            EXPECT_EQ(simulator_->GetPoint(Point(1, 'M', static_cast<int>(i) + 1)), row.controller[i]) << "M" << i + 1;
        }
        EXPECT_NE(BridgeLog().find(row.logged), std::string::npos) << row.logged << "\n" << BridgeLog();
        const MbpollRun run = row.write ? Mbpoll(directory_, modbusPort_, row.unit, 4, row.reference, 0, row.values)
                                        : Mbpoll(directory_, modbusPort_, row.unit, 4, row.reference, 1);
        EXPECT_NE(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find(modbus_strerror(MODBUS_ENOBASE + row.exception)), std::string::npos) << run.output;
        // Never a value from a failed read, nor 0 for a missing one.
        EXPECT_EQ(run.values, std::vector<uint16_t>{}) << run.output;
    }
}

// ---- points read on demand -----------------------------------------------------------

// Points that take longer than --modbus-wait to read the first time: busy
// (6), and the next read gets them from memory.
TEST_F(ModbusFace, OnDemandPointsAreBusyThenServed) {
    tz52sim::SimConfig config = simline::SimulatorConfig({}, {"001M040=40", "001M099=99"});
    config.baud = 9600;
    simulator_ = simline::StartSimulator(config);
    timeout_ = "200ms";
    // Sixty reads at 9600 baud take well over 200 ms.
    std::vector<std::string> arguments = QuietPoint();
    arguments.insert(arguments.end(), {"--modbus-wait", "200ms"});
    ASSERT_NO_FATAL_FAILURE(StartFace(arguments, false));
    Client client(modbusPort_);
    const Outcome first = client.Read(1, kReadHolding, 40, 60);
    EXPECT_EQ(first.exception, kBusy) << first << BridgeLog();
    const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, 4, 40, 60);
    EXPECT_TRUE(run.exitCode != 0 || run.values.size() == 60) << run.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const Outcome second = client.Read(1, kReadHolding, 40, 60);
    ASSERT_EQ(second.exception, 0) << second << BridgeLog();
    EXPECT_EQ(second.values.front(), 40);
    EXPECT_EQ(second.values.back(), 99);
    EXPECT_EQ(std::count(second.values.begin(), second.values.end(), 0), 58) << second;
    const MbpollRun served = Mbpoll(directory_, modbusPort_, 1, 4, 99, 1);
    EXPECT_EQ(served.values, std::vector<uint16_t>{99}) << served.output;
}

// A point added by a Modbus read stays while clients read it and leaves the
// poll set --modbus-idle after the last read: the line hears no more of it.
TEST_F(ModbusFace, OnDemandPointLeavesAfterModbusIdle) {
    StartSimulator({"001A009=300"});
    // Its own point read once at the start: every exchange after is the
    // on-demand point's.
    std::vector<std::string> arguments = QuietPoint();
    arguments.insert(arguments.end(), {"--modbus-idle", "1s"});
    ASSERT_NO_FATAL_FAILURE(StartFace(arguments, false));
    Client client(modbusPort_);
    // Read for longer than --modbus-idle: it stays.
    for (const auto start = Clock::now(); MillisecondsSince(start) < 2500;) {
        const Outcome read = ReadSettled(client, 1, kReadInputRegisters, 9, 1);
        ASSERT_EQ(read.values, std::vector<uint16_t>{300}) << read << BridgeLog();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(BridgeLog().find("no longer polled"), std::string::npos) << BridgeLog();
    const uint64_t whileRead = simulator_->ExchangeCount();
    EXPECT_GT(whileRead, 10u) << "read every 50 ms for 2.5 s";

    // Unread: it leaves, and the line falls quiet.
    const auto start = Clock::now();
    while (BridgeLog().find("no longer polled") == std::string::npos && MillisecondsSince(start) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(BridgeLog().find("no longer polled"), std::string::npos) << BridgeLog();
    EXPECT_NE(BridgeLog().find("A009"), std::string::npos) << BridgeLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t left = simulator_->ExchangeCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(simulator_->ExchangeCount(), left) << "the point is still read";

    // Read again, it comes back.
    simulator_->SetPoint(Point(1, 'A', 9), 301);
    const Outcome again = ReadSettled(client, 1, kReadInputRegisters, 9, 1);
    EXPECT_EQ(again.values, std::vector<uint16_t>{301}) << again;
    EXPECT_GT(simulator_->ExchangeCount(), left);
}

// At most --modbus-demand-points are added by reads; beyond them a read is
// busy (6), adds nothing, and the log says so once.
TEST_F(ModbusFace, DemandLimitRefusesMorePoints) {
    StartSimulator({"001M001=1", "001M002=2"});
    std::vector<std::string> arguments = QuietPoint();
    arguments.insert(arguments.end(), {"--modbus-demand-points", "2"});
    ASSERT_NO_FATAL_FAILURE(StartFace(arguments, false));
    Client client(modbusPort_);
    const Outcome within = ReadSettled(client, 1, kReadHolding, 1, 2);
    EXPECT_EQ(within.values, (std::vector<uint16_t>{1, 2})) << within << BridgeLog();
    for (int attempt = 0; attempt < 5; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(client.Read(1, kReadInputRegisters, 9, 1).exception, kBusy) << BridgeLog();
        EXPECT_EQ(client.Read(1, kReadHolding, 2, 2).exception, kBusy) << "M003 is one too many";
    }
    // Logged once, not at every refused read.
    EXPECT_EQ(Occurrences(BridgeLog(), "points read on demand is reached (--modbus-demand-points)"), 1u) << BridgeLog();
    const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, 3, 9, 1);
    EXPECT_NE(run.output.find(modbus_strerror(EMBXSBUSY)), std::string::npos) << run.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ExchangesOfKind(*simulator_, tz52sim::CommandKind::kReadAnalog), 0u) << "A009 was added";
    // The points within the limit are still served.
    EXPECT_EQ(client.Read(1, kReadHolding, 1, 2).values, (std::vector<uint16_t>{1, 2}));

    // No reads on demand at all: points not polled are outside the map (2),
    // and the line hears nothing of them.
    arguments = QuietPoint();
    arguments.insert(arguments.end(), {"--modbus-demand-points", "0"});
    ASSERT_NO_FATAL_FAILURE(Restart({"001M001=1", "001M100=100"}, {}, arguments, false));
    Client off(modbusPort_);
    EXPECT_EQ(ReadSettled(off, 1, kReadHolding, 100, 1).values, std::vector<uint16_t>{100}) << BridgeLog();
    EXPECT_EQ(off.Read(1, kReadHolding, 1, 1).exception, kIllegalAddress) << BridgeLog();
    EXPECT_EQ(off.Read(1, kReadHolding, 99, 2).exception, kIllegalAddress) << "M099 is not polled";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(simulator_->ExchangeCount(), 1u) << "a point not polled was read";
}

// A silent station: reads and writes of it answer 11 within the client's
// time, and a client waiting on its write does not hold up another's read.
TEST_F(ModbusFace, SilentStationAnswers11AndHoldsUpNobody) {
    StartSimulator({"001M001=11"});
    timeout_ = "300ms";
    std::ofstream(directory_ + "/points") << "001M001\n";
    ASSERT_NO_FATAL_FAILURE(StartFace({"--points", directory_ + "/points", "--allow-write", "all"}, false));
    Client reader(modbusPort_);
    ASSERT_EQ(ReadSettled(reader, 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{11}) << BridgeLog();
    // Its first read (three read limits) takes longer than --modbus-wait.
    EXPECT_EQ(ReadSettled(reader, 2, kReadHolding, 1, 1).exception, kTargetFailed) << BridgeLog();
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(reader.Read(2, kReadHolding, 1, 1).exception, kTargetFailed) << BridgeLog();
    }
    // The write to station 2 costs three read limits (and its read-back
    // more); the reads of station 1 answer from memory meanwhile.
    std::atomic<bool> writeAnswered{false};
    std::thread writer([&] {
        Client client(modbusPort_);
        EXPECT_EQ(client.Write(2, kWriteRegister, 5, {1}).exception, kTargetFailed);
        writeAnswered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int readsWhileWriting = 0;
    for (int read = 0; read < 5; ++read) {
        const Outcome outcome = reader.Read(1, kReadHolding, 1, 1);
        EXPECT_EQ(outcome.values, std::vector<uint16_t>{11}) << outcome;
        if (!writeAnswered) ++readsWhileWriting;
    }
    writer.join();
    EXPECT_EQ(readsWhileWriting, 5) << "a read waited for another client's write";
    // Stopped while a client waits for its write: the bridge ends as usual,
    // and the client gets its answer or the connection's end.
    Outcome stopped;
    std::thread waiting([&] {
        Client client(modbusPort_);
        stopped = client.Write(2, kWriteRegisters, 1, {1, 2, 3});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
    waiting.join();
    EXPECT_LT(MillisecondsSince(start), 4000) << "the client was left waiting";
    EXPECT_TRUE(stopped.exception == kNoAnswer || stopped.exception == kTargetFailed) << stopped;
}

// Reads on demand use only the line time the configured points leave: a
// client sweeping stations that are not there (units 2 to 4, 125 registers
// each, the silent stations answering 11 and named in the line's health),
// or one reading 125 registers of the real station once a second on a
// 9600-baud line, leaves the configured point (A009 every 500 ms) its
// period. A silent station costs one exchange every few seconds for all its
// points together.
TEST_F(ModbusFace, ReadsOnDemandLeaveTheConfiguredPointsTheirPeriods) {
    const struct {
        const char* name;
        std::vector<int> units;  // each read: holding registers 1-125
        int exception;           // what the reads get once settled (0: values)
        std::vector<int> silent; // stationsSilent in PREFIX/line
    } rows[] = {
        {"absent stations 2, 3 and 4", {2, 3, 4}, kTargetFailed, {2, 3, 4}},
        {"the real station, 125 registers a second", {1}, 0, {}},
    };
    constexpr int kWindowMs = 6000;
    constexpr int kPeriodMs = 500;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (bridge_ != 0) StopBridge();
        simulator_.reset();
        std::remove(log().c_str());
        tz52sim::SimConfig config = simline::SimulatorConfig({}, {"001A009=9"});
        config.baud = 9600;
        simulator_ = simline::StartSimulator(config);
        std::ofstream(directory_ + "/points") << "001A009 every " << kPeriodMs << "ms\n";
        Watcher watcher(broker_->port());
        ASSERT_NO_FATAL_FAILURE(StartFace({"--points", directory_ + "/points", "--health-every", "1s",
                                           "--modbus-demand-points", "400"}));
        Client client(modbusPort_);
        for (int unit : row.units) {
            const Outcome settled = ReadSettled(client, unit, kReadHolding, 1, 125, 10);
            if (row.exception != 0) {
                EXPECT_EQ(settled.exception, row.exception) << unit << " " << settled << BridgeLog();
            }
        }
        const size_t readsBefore = ExchangesOfKind(*simulator_, tz52sim::CommandKind::kReadAnalog);
        const size_t reportsBefore = watcher.On("tz52/line").size();
        int served = 0;
        Outcome latest;
        for (const auto start = Clock::now(); MillisecondsSince(start) < kWindowMs;) {
            for (int unit : row.units) {
                const Outcome outcome = client.Read(unit, kReadHolding, 1, 125);
                if (row.exception != 0) {
                    EXPECT_EQ(outcome.exception, row.exception) << unit << " " << outcome;
                }
                served += outcome.exception == 0;
                latest = outcome;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        const size_t reads = ExchangesOfKind(*simulator_, tz52sim::CommandKind::kReadAnalog) - readsBefore;
        // Twelve in the window at its period; starved, one or two.
        EXPECT_GE(reads, static_cast<size_t>(kWindowMs / kPeriodMs * 2 / 3)) << BridgeLog();
        if (row.exception == 0) {
            EXPECT_GT(served, 0) << "the client's reads were never served: " << latest << BridgeLog();
        }
        const std::vector<std::string> reports = watcher.On("tz52/line");
        ASSERT_GT(reports.size(), reportsBefore + 2) << BridgeLog();
        const nlohmann::json first = Parsed(reports[reportsBefore]);
        const nlohmann::json last = Parsed(reports.back());
        EXPECT_EQ(last["stationsSilent"], nlohmann::json(row.silent)) << reports.back();
        if (!row.silent.empty()) {
            // A try each 5 s per silent station: two each at most in the window.
            const int failed = last["failedExchanges"].get<int>() - first["failedExchanges"].get<int>();
            EXPECT_LE(failed, 2 * static_cast<int>(row.silent.size())) << reports.back();
        }
    }
}

// ---- connections ---------------------------------------------------------------------

// An IPv4 address of this machine other than loopback; "" when it has none.
std::string OtherLocalAddress() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return "";
    std::string found;
    for (ifaddrs* at = interfaces; at != nullptr && found.empty(); at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
        const in_addr address = reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        found = text;
    }
    freeifaddrs(interfaces);
    return found;
}

bool Connects(const std::string& host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Where the face listens: a bare port on loopback only, other interfaces
// when the address says so; a port taken stops the bridge at the start.
TEST_F(ModbusFace, ListensWhereItIsTold) {
    StartSimulator({"001M001=5"});
    const std::string other = OtherLocalAddress();
    const int port = FreeLoopbackPort();
    const std::string taken = std::to_string(broker_->port());
    const struct {
        std::string listen;
        int exitCode;  // -1: runs
        std::string logged;
        bool reachedFromOther;  // through the machine's other address
    } rows[] = {
        {std::to_string(port), -1, "modbus: listening on 127.0.0.1:" + std::to_string(port), false},
        {"0.0.0.0:" + std::to_string(port), -1, "modbus: listening on 0.0.0.0:" + std::to_string(port), true},
        {"127.0.0.1:" + taken, 64, "--modbus-listen \"127.0.0.1:" + taken + "\": cannot listen on 127.0.0.1:" + taken,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.listen);
        std::remove(log().c_str());
        bridge_ = Spawn({kHost, "bridge", "--port", simulator_->PortName(), "--timeout", timeout_, "--every", "50ms",
                         "--no-mqtt", "--modbus-listen", row.listen, "001M001"},
                        log());
        if (row.exitCode >= 0) {
            EXPECT_EQ(WaitExit(bridge_, 10), row.exitCode) << BridgeLog();
            bridge_ = 0;
            EXPECT_NE(BridgeLog().find(row.logged), std::string::npos) << BridgeLog();
            continue;
        }
        for (const auto start = Clock::now();
             BridgeLog().find(row.logged) == std::string::npos && MillisecondsSince(start) < 10000;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_NE(BridgeLog().find(row.logged), std::string::npos) << BridgeLog();
        Client client(port);
        EXPECT_EQ(ReadSettled(client, 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
        if (!other.empty()) {
            EXPECT_EQ(Connects(other, port), row.reachedFromOther) << other;
        }
        EXPECT_EQ(StopBridge(), 0) << BridgeLog();
    }
}

// 32 clients at once are all served; the 33rd is closed at once and the log
// says so. Once they have been idle a few seconds, a newcomer takes the
// place of the one idle longest, and the log says so.
TEST_F(ModbusFace, ThirtyTwoClientsAndThe33rdClosed) {
    StartSimulator({"001M001=5"});
    std::ofstream(directory_ + "/points") << "001M001\n";
    ASSERT_NO_FATAL_FAILURE(StartFace({"--points", directory_ + "/points"}, false));
    std::vector<std::unique_ptr<Client>> clients;
    for (int k = 0; k < 32; ++k) {
        clients.push_back(std::make_unique<Client>(modbusPort_));
        ASSERT_TRUE(clients.back()->connected()) << k;
    }
    for (auto& client : clients) {
        EXPECT_EQ(ReadSettled(*client, 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5});
    }
    RawConnection extra(modbusPort_);
    ASSERT_TRUE(extra.connected());
    EXPECT_TRUE(extra.ClosedWithin(3)) << BridgeLog();
    Client refused(modbusPort_);
    EXPECT_EQ(refused.Read(1, kReadHolding, 1, 1).exception, kNoAnswer);
    EXPECT_NE(BridgeLog().find(" refused: 32 clients are connected (--modbus-max-clients)"), std::string::npos)
        << BridgeLog();
    // The 32 are served still, the first read first.
    for (auto& client : clients) EXPECT_EQ(client->Read(1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5});
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    Client newcomer(modbusPort_);
    EXPECT_EQ(newcomer.Read(1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
    EXPECT_EQ(clients.front()->Read(1, kReadHolding, 1, 1).exception, kNoAnswer) << "the one idle longest stays";
    EXPECT_EQ(clients.back()->Read(1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5});
    EXPECT_EQ(Occurrences(BridgeLog(), " s, the longest of 32 clients (--modbus-max-clients)"), 1u)
        << BridgeLog();
}

// A write cut short, by the client going or by a stop (SIGTERM): the
// points not written yet are dropped, the log says which were written, the
// client gets no answer of success, and an MQTT set waiting behind it is
// answered as not written.
TEST_F(ModbusFace, WriteCutShortSaysWhatWasWritten) {
    const struct {
        const char* name;
        bool stop;           // SIGTERM; else the client goes
        const char* logged;  // why the rest was not written
    } rows[] = {
        {"the client goes", false, "the client has gone; the rest was dropped"},
        {"the bridge stops", true, "the bridge stopped; the rest was not written"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (bridge_ != 0) StopBridge();
        simulator_.reset();
        std::remove(log().c_str());
        tz52sim::SimConfig config = simline::SimulatorConfig();
        config.baud = 9600;
        simulator_ = simline::StartSimulator(config);
        timeout_ = "200ms";
        std::vector<std::string> arguments = QuietPoint();
        arguments.insert(arguments.end(), {"--allow-write", "all"});
        Watcher watcher(broker_->port());
        ASSERT_NO_FATAL_FAILURE(StartFace(arguments));
        // 7 to M101..M200: a write and a read-back each, seconds at 9600 baud.
        std::vector<uint8_t> pdu = {kWriteRegisters, 0, 100, 0, 100, 200};
        for (int k = 0; k < 100; ++k) pdu.insert(pdu.end(), {0, 7});
        auto connection = std::make_unique<RawConnection>(modbusPort_);
        ASSERT_TRUE(connection->Send(Frame(1, pdu)));
        std::this_thread::sleep_for(std::chrono::milliseconds(row.stop ? 1000 : 100));
        if (row.stop) {
            // Waits in the queue behind the Modbus write.
            watcher.Publish("tz52/001M050/set", "5");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(StopBridge(), 0) << BridgeLog();
            const std::vector<uint8_t> reply = connection->Reply(3);
            EXPECT_EQ(ExceptionOf(reply, kWriteRegisters), kDeviceFailure) << ::testing::PrintToString(reply);
            const std::string result = watcher.WaitFor("tz52/001M050/result", [](const std::string&) { return true; });
            EXPECT_EQ(Parsed(result)["result"], 1) << result;
            EXPECT_EQ(simulator_->GetPoint(Point(1, 'M', 50)), 0) << "the set was written";
            EXPECT_NE(BridgeLog().find("set 001M050 to 5 from mqtt"), std::string::npos) << BridgeLog();
        } else {
            connection.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        }
        int written = 0;
        for (int index = 101; index <= 200; ++index) written += simulator_->GetPoint(Point(1, 'M', index)) == 7;
        EXPECT_GT(written, 0) << BridgeLog();
        EXPECT_LT(written, row.stop ? 90 : 30) << BridgeLog();
        const std::string log = BridgeLog();
        EXPECT_NE(log.find(row.logged), std::string::npos) << log;
        // The log's range is what the controller holds.
        const std::string range = "; written: 001M101..001M";
        const size_t at = log.find(range);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(std::atoi(log.c_str() + at + range.size()), 100 + written) << log;
        if (!row.stop) {
            Client client(modbusPort_);
            EXPECT_EQ(client.Write(1, kWriteRegister, 200, {8}).exception, 0) << BridgeLog();
            EXPECT_EQ(simulator_->GetPoint(Point(1, 'M', 200)), 8);
        }
    }
}

// The CPU time a process has used, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // After the name: state is field 3, utime 14 and stime 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::atol(field.c_str());
        if (number == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

// The resident memory of a process, in kB; 0 when unknown.
long ResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// A client that sends requests as fast as it can and never reads the
// answers: the bridge stops reading it rather than keep its answers, its
// memory stays as it was, it costs no CPU while its answers wait, it is
// closed once it has taken none for --modbus-idle-connection, and the
// other clients are served.
TEST_F(ModbusFace, ClientThatNeverReadsGrowsNothing) {
    StartSimulator({"001M001=5"});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--modbus-idle-connection", "5s", "001M001"}, false));
    {
        Client other(modbusPort_);
        ASSERT_EQ(ReadSettled(other, 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
    }
    // What a second of polling costs the bridge (more under a sanitizer).
    const long idleBefore = CpuTicks(bridge_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long idle = CpuTicks(bridge_) - idleBefore;
    const long before = ResidentKilobytes(bridge_);
    RawConnection flood(modbusPort_);
    fcntl(flood.fd(), F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> requests;
    for (int k = 0; k < 1000; ++k) {
        const std::vector<uint8_t> frame = Frame(1, {kReadHolding, 0, 0, 0, 1}, 0, -1, static_cast<uint16_t>(k));
        requests.insert(requests.end(), frame.begin(), frame.end());
    }
    // Until the bridge takes no more: its answers wait to be sent.
    size_t sent = 0;
    auto blockedSince = Clock::now();
    bool blocked = false;
    for (const auto start = Clock::now(); MillisecondsSince(start) < 3000;) {
        const ssize_t size = send(flood.fd(), requests.data(), requests.size(), MSG_NOSIGNAL);
        if (size > 0) {
            sent += static_cast<size_t>(size);
            blocked = false;
            continue;
        }
        if (size < 0 && errno != EAGAIN) break;
        if (!blocked) blockedSince = Clock::now();
        blocked = true;
        if (MillisecondsSince(blockedSince) >= 300) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const long after = ResidentKilobytes(bridge_);
    // Past the 1 s a request begun has to become whole, then second by
    // second: once the bridge has answered what it took (slower under a
    // sanitizer), a second costs it what its polling costs, while a thread
    // spinning takes what the machine gives it every second (a quarter of
    // a core on a loaded one).
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const long quiet = idle + sysconf(_SC_CLK_TCK) / 20;
    long cpu = quiet;
    for (int second = 0; second < 4 && cpu >= quiet; ++second) {
        const long cpuBefore = CpuTicks(bridge_);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        cpu = CpuTicks(bridge_) - cpuBefore;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer freed memory is held in quarantine, so the
    // resident size grows with every request answered, bounded all the same.
    constexpr long kMostGrowthKilobytes = 256 * 1024;
#else
    constexpr long kMostGrowthKilobytes = 16 * 1024;
#endif
    EXPECT_LT(after - before, kMostGrowthKilobytes) << sent << " bytes of requests taken";
    EXPECT_LT(sent, 64u * 1024 * 1024) << "the bridge read on, whatever was not answered";
    EXPECT_LT(cpu, quiet) << "CPU ticks in the quietest second while the answers waited; " << idle << " idle";
    const std::string closed = "connection closed: none of its answers taken for 5 s";
    for (const auto start = Clock::now();
         BridgeLog().find(closed) == std::string::npos && MillisecondsSince(start) < 15000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(BridgeLog().find(closed), std::string::npos) << BridgeLog();
    Client other(modbusPort_);
    EXPECT_EQ(other.Read(1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
}

// Frames a well-behaved client never sends: a wrong protocol identifier or
// a length field that does not fit closes the connection (and is logged);
// a function the map does not serve is exception 1 and the connection goes
// on. The bridge lives on and writes nothing.
TEST_F(ModbusFace, MalformedFramesCloseOrGetException1) {
    StartSimulator({"001M001=5"});
    ASSERT_NO_FATAL_FAILURE(StartFace({"--allow-write", "all", "001M001"}, false));
    {
        Client first(modbusPort_);
        ASSERT_EQ(ReadSettled(first, 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
    }
    const std::vector<uint8_t> read = {kReadHolding, 0, 0, 0, 1};
    const struct {
        const char* name;
        std::vector<uint8_t> frame;
        int exception;  // kNoAnswer: the connection is closed
    } rows[] = {
        {"protocol identifier 1", Frame(1, read, 1), kNoAnswer},
        {"protocol identifier 0xFFFF", Frame(1, read, 0xFFFF), kNoAnswer},
        {"length 0", Frame(1, read, 0, 0), kNoAnswer},
        {"length 1", Frame(1, read, 0, 1), kNoAnswer},
        {"length 4 for a read", Frame(1, read, 0, 4), kNoAnswer},
        {"length over 254", Frame(1, std::vector<uint8_t>(260, 3), 0, 300), kNoAnswer},
        {"write registers: quantity past the frame", Frame(1, {kWriteRegisters, 0, 0, 0, 100, 200, 0, 1}), kNoAnswer},
        {"function 0", Frame(1, {0, 0, 0, 0, 1}), kIllegalFunction},
        {"function 7", Frame(1, {7}), kIllegalFunction},
        {"function 8 (diagnostics)", Frame(1, {8, 0, 0, 0x12, 0x34}), kIllegalFunction},
        {"function 23", Frame(1, {23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1}), kIllegalFunction},
        {"function 23, counts beyond the frame", Frame(1, {23, 0, 0, 0, 125, 0, 0, 0, 121, 242}), kIllegalFunction},
        {"function 43", Frame(1, {43, 14, 1, 0}), kIllegalFunction},
        {"function 0x83", Frame(1, {0x83, 0, 0, 0, 1}), kIllegalFunction},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RawConnection connection(modbusPort_);
        ASSERT_TRUE(connection.connected());
        ASSERT_TRUE(connection.Send(row.frame));
        if (row.exception == kNoAnswer) {
            EXPECT_TRUE(connection.ClosedWithin(3)) << BridgeLog();
            continue;
        }
        const std::vector<uint8_t> reply = connection.Reply();
        EXPECT_EQ(ExceptionOf(reply, row.frame[7]), row.exception) << ::testing::PrintToString(reply) << BridgeLog();
        // The transaction is echoed, and the connection serves the next request.
        ASSERT_GE(reply.size(), 2u);
        EXPECT_EQ(reply[0] << 8 | reply[1], 0x1234);
        ASSERT_TRUE(connection.Send(Frame(1, read, 0, -1, 0x0102)));
        const std::vector<uint8_t> next = connection.Reply();
        EXPECT_EQ(next, (std::vector<uint8_t>{1, 2, 0, 0, 0, 5, 1, kReadHolding, 2, 0, 5})) << BridgeLog();
    }
    // Each closing is logged with its reason.
    EXPECT_EQ(Occurrences(BridgeLog(), ": protocol identifier not 0"), 2u) << BridgeLog();
    EXPECT_EQ(Occurrences(BridgeLog(), ": length field outside 2..254"), 3u) << BridgeLog();
    EXPECT_EQ(Occurrences(BridgeLog(), ": length field does not match the function's fields"), 2u) << BridgeLog();
    Client client(modbusPort_);
    EXPECT_EQ(client.Read(1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
    for (const tz52sim::ExchangeRecord& exchange : simulator_->Exchanges()) {
        EXPECT_FALSE(IsWrite(exchange)) << "exchange " << exchange.number;
    }
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

// A request must arrive whole within 1 s of its first byte; one sent in
// pieces within that is answered. An idle connection is closed after
// --modbus-idle-connection; one in use is not.
TEST_F(ModbusFace, SlowRequestsAndIdleConnectionsAreClosed) {
    StartSimulator({"001M001=5"});
    // The default --modbus-idle-connection (a minute) closes nothing here.
    ASSERT_NO_FATAL_FAILURE(StartFace({"001M001"}, false));
    const std::vector<uint8_t> frame = Frame(1, {kReadHolding, 0, 0, 0, 1});
    {
        SCOPED_TRACE("in two pieces 300 ms apart");
        RawConnection connection(modbusPort_);
        connection.Send({frame.begin(), frame.begin() + 4});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        connection.Send({frame.begin() + 4, frame.end()});
        EXPECT_EQ(ExceptionOf(connection.Reply(), kReadHolding), 0) << BridgeLog();
    }
    {
        SCOPED_TRACE("two requests in one piece, and a third begun");
        RawConnection connection(modbusPort_);
        std::vector<uint8_t> bytes = Frame(1, {kReadHolding, 0, 0, 0, 1}, 0, -1, 1);
        const std::vector<uint8_t> second = Frame(1, {kReadHolding, 0, 1, 0, 1}, 0, -1, 2);
        bytes.insert(bytes.end(), second.begin(), second.end());
        bytes.insert(bytes.end(), frame.begin(), frame.begin() + 3);
        connection.Send(bytes);
        EXPECT_EQ(connection.Reply(), (std::vector<uint8_t>{0, 1, 0, 0, 0, 5, 1, kReadHolding, 2, 0, 5})) << BridgeLog();
        const std::vector<uint8_t> reply = connection.Reply();
        ASSERT_GE(reply.size(), 2u) << BridgeLog();
        EXPECT_EQ(reply[1], 2) << "the second request's answer";
        connection.Send({frame.begin() + 3, frame.end()});
        EXPECT_EQ(ExceptionOf(connection.Reply(), kReadHolding), 0) << BridgeLog();
    }
    {
        SCOPED_TRACE("the rest never comes");
        RawConnection connection(modbusPort_);
        connection.Send({frame.begin(), frame.begin() + 9});
        EXPECT_TRUE(connection.ClosedWithin(4)) << BridgeLog();
    }
    {
        SCOPED_TRACE("one byte a 400 ms");
        RawConnection connection(modbusPort_);
        bool closed = false;
        for (size_t at = 0; at < frame.size() && !closed; ++at) {
            closed = !connection.Send({frame[at]}) || connection.ClosedWithin(0.4);
        }
        EXPECT_TRUE(closed || connection.ClosedWithin(3)) << BridgeLog();
    }
    EXPECT_EQ(Occurrences(BridgeLog(), "connection closed: a request not whole within 1 s of its first byte"), 2u)
        << BridgeLog();
    ASSERT_NO_FATAL_FAILURE(Restart({"001M001=5"}, {}, {"--modbus-idle-connection", "2s", "001M001"}, false));
    {
        SCOPED_TRACE("idle");
        RawConnection idle(modbusPort_);
        RawConnection busy(modbusPort_);
        const auto start = Clock::now();
        bool idleClosed = false;
        while (MillisecondsSince(start) < 6000 && !idleClosed) {
            ASSERT_TRUE(busy.Send(frame));
            EXPECT_EQ(ExceptionOf(busy.Reply(), kReadHolding), 0) << BridgeLog();
            idleClosed = idle.ClosedWithin(0.5);
        }
        EXPECT_TRUE(idleClosed) << BridgeLog();
        EXPECT_GE(MillisecondsSince(start), 1000) << "closed long before --modbus-idle-connection";
        ASSERT_TRUE(busy.Send(frame));
        EXPECT_EQ(ExceptionOf(busy.Reply(), kReadHolding), 0) << "the connection in use was closed";
        EXPECT_EQ(Occurrences(BridgeLog(), "connection closed: idle for 2 s"), 1u) << BridgeLog();
    }
}

// The bridge's sockets numbered above 1024 (past what select() can watch)
// work: the bridge starts with ~1100 descriptors of the test's open.
TEST_F(ModbusFace, DescriptorsAbove1024Work) {
    rlimit limits{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limits), 0);
    const rlimit saved = limits;
    if (limits.rlim_cur < 2048) {
        limits.rlim_cur = std::min<rlim_t>(limits.rlim_max, 4096);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limits), 0);
    }
    if (limits.rlim_cur < 1200) GTEST_SKIP() << "the hard limit of descriptors is " << limits.rlim_max;
    // Inherited by the bridge (no FD_CLOEXEC), so its own come above them.
    std::vector<int> held;
    for (int k = 0; k < 1100; ++k) {
        const int fd = open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        held.push_back(fd);
    }
    // Started after them, so that the simulator's descriptors (FD_CLOEXEC:
    // free numbers in the bridge) are high too, and how many it keeps does
    // not decide where the bridge's sockets land.
    StartSimulator({"001M001=5"});
    StartFace({"001M001"}, false);
    // The test's own clients (libmodbus's uses select()) come below them again.
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::unique_ptr<Client>> clients;
    for (int k = 0; k < 4; ++k) {
        clients.push_back(std::make_unique<Client>(modbusPort_));
        EXPECT_EQ(ReadSettled(*clients.back(), 1, kReadHolding, 1, 1).values, std::vector<uint16_t>{5}) << BridgeLog();
    }
    // The bridge's sockets really are above 1024.
    int highSockets = 0;
    const std::string fds = "/proc/" + std::to_string(bridge_) + "/fd";
    if (DIR* directory = opendir(fds.c_str())) {
        while (dirent* entry = readdir(directory)) {
            char target[64] = {};
            if (entry->d_name[0] == '.' ||
                readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1) <= 0) {
                continue;
            }
            if (std::string(target).rfind("socket:", 0) == 0 && std::atoi(entry->d_name) > 1024) ++highSockets;
        }
        closedir(directory);
    }
    // (The descriptors the test holds with FD_CLOEXEC leave a few low
    // numbers free for the bridge's first ones.)
    EXPECT_GE(highSockets, 4) << "the four clients' connections";
    const MbpollRun run = Mbpoll(directory_, modbusPort_, 1, 4, 1, 1);
    EXPECT_EQ(run.values, std::vector<uint16_t>{5}) << run.output;
    clients.clear();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

}  // namespace
