// Several ports at once, a port whose device goes away, and a host that dies
// holding its port.
#include <linux/capability.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/tools/sim_line_support.h"

namespace simline {
namespace {

constexpr int kPorts = 8;

// Eight controllers, all station 1, on eight pseudo-terminals, each port with
// its own PortContext, served in turn by one host. The values differ per port,
// so a request that reached the wrong controller would show.
TEST(SeveralPorts, EveryValueLandsOnTheRightPort) {
    std::unique_ptr<tz52sim::Simulator> simulators[kPorts];
    HostPort ports[kPorts];
    for (int p = 0; p < kPorts; ++p) {
        simulators[p] = StartSimulator(SimulatorConfig());
        simulators[p]->SetPoint(Point(1, 'A', 9), static_cast<uint16_t>(100 + p));
        ASSERT_EQ(ports[p].Open(simulators[p]->PortName(), 10), 0) << simulators[p]->PortName();
    }
    const struct {
        char type;
        int index;
    } points[] = {{'C', 3}, {'M', 40}, {'O', 2}, {'S', 77}};
    for (int round = 0; round < 3; ++round) {
        for (const auto& point : points) {
            for (int p = 0; p < kPorts; ++p) {
                const uint16_t value = static_cast<uint16_t>(round * 1000 + p * 10 + 1);
                ASSERT_EQ(ports[p].Write(1, point.type, point.index, value), 0);
            }
            for (int p = 0; p < kPorts; ++p) {
                SCOPED_TRACE("port " + std::to_string(p) + " point " + point.type);
                const uint16_t value = static_cast<uint16_t>(round * 1000 + p * 10 + 1);
                const uint16_t stored = point.type == 'O' ? 1 : value;
                EXPECT_EQ(simulators[p]->GetPoint(Point(1, point.type, point.index)), stored);
                ports[p].SetSlot(0);
                ASSERT_EQ(ports[p].Read(1, point.type, point.index), 0);
                EXPECT_EQ(ports[p].Slot(), stored);
            }
        }
    }
    for (int p = 0; p < kPorts; ++p) {
        ASSERT_EQ(ports[p].Read(1, 'A', 9), 0);
        EXPECT_EQ(ports[p].Slot(), 100 + p);
        // Per round a write and a read of each point, two exchanges for an S write.
        EXPECT_EQ(simulators[p]->ExchangeCount(), 3u * (5 + 4) + 1) << "port " << p;
        EXPECT_EQ(ports[p].Close(), 0);
    }
}

// A name for the simulator's link that fits a port name (11 characters).
std::string ShortLinkPath() {
    char path[] = "/tmp/XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    unlink(path);
    return path;
}

// The simulator ends in the middle of a reply, as an unplugged adapter would.
// The call in progress fails within its limits, the calls after it fail at
// once, Close succeeds, and once a simulator is back under the same name a
// Reopen reaches it.
TEST(DeviceGoingAway, CallsFailPromptlyAndReopenFindsTheDeviceAgain) {
    constexpr int32_t kTimeout = 50;  // 500 ms, so that "at once" is plain
    constexpr long long kLimitMs = kTimeout * 10;
    const std::string link = ShortLinkPath();
    ASSERT_LE(link.size(), 11u);

    tz52sim::SimConfig config = SimulatorConfig({"2:hangup"}, {"001C001=111"});
    config.linkPath = link;
    auto first = StartSimulator(config);
    HostPort port;
    ASSERT_EQ(port.Open(link, kTimeout), 0);
    ASSERT_EQ(port.Read(1, 'C', 1), 0);
    EXPECT_EQ(port.Slot(), 111);

    port.SetSlot(7);
    auto start = Clock::now();
    EXPECT_EQ(port.Read(1, 'C', 1), 2);
    EXPECT_LT(MillisecondsSince(start), 3 * kLimitMs + 1000);
    EXPECT_EQ(port.Slot(), 7);
    EXPECT_TRUE(first->Ended());
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link outlived the line";

    const struct {
        bool write;
        char type;
        int index;
        int result;
    } after[] = {{false, 'C', 1, 2}, {true, 'C', 1, 2}, {true, 'S', 9, 2},
                 {false, 'M', 33, 2}, {true, 'M', 33, 1}};  // a failed send: 2 on read, 1 on write
    for (const auto& call : after) {
        SCOPED_TRACE(std::string(call.write ? "write " : "read ") + call.type);
        start = Clock::now();
        const int result = call.write ? port.Write(1, call.type, call.index, 5)
                                      : port.Read(1, call.type, call.index);
        EXPECT_EQ(result, call.result);
        EXPECT_LT(MillisecondsSince(start), kLimitMs) << "waited for a line that is gone";
    }
    EXPECT_EQ(port.Close(), 0);
    first.reset();
    EXPECT_EQ(port.Reopen(), 2) << "nothing is there to reopen yet";

    config.faults.scripted.clear();
    config.assignments.clear();
    auto second = StartSimulator(config);
    second->SetPoint(Point(1, 'C', 1), 222);
    ASSERT_EQ(port.Reopen(), 0);
    ASSERT_EQ(port.Read(1, 'C', 1), 0);
    EXPECT_EQ(port.Slot(), 222);
    EXPECT_EQ(port.Write(1, 'M', 33, 333), 0);
    EXPECT_EQ(second->GetPoint(Point(1, 'M', 33)), 333);
    EXPECT_EQ(port.Close(), 0);
    second.reset();
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link outlived the simulator";
}

// Runs `host` in a child process and returns its exit code (-1 when it
// did not exit).
template <typename Host>
int InChildProcess(Host host) {
    const pid_t child = fork();
    if (child == 0) _exit(host());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A host without the administrator's privilege, as a bridge under its own
// user: the tty's exclusive flag turns its open away, where root passes.
void DropAdministratorPrivilege() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return;
    data[0].effective &= ~(1u << CAP_SYS_ADMIN);
    syscall(SYS_capset, &header, data);
}

// A host that dies holding the port (SIGKILL: no close of its own) leaves the
// line to the next host, whether it had used the line or only opened it.
TEST(HostGoingAway, KilledHostLeavesThePortToTheNextHost) {
    const struct {
        const char* name;
        bool readBeforeDying;
    } hosts[] = {{"a host that read a point", true}, {"a host that only opened the port", false}};
    for (const auto& first : hosts) {
        SCOPED_TRACE(first.name);
        auto simulator = StartSimulator(SimulatorConfig({}, {"001C001=111"}));
        const std::string port = simulator->PortName();
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t host = fork();
        ASSERT_GE(host, 0);
        if (host == 0) {
            HostPort held;
            const bool ok = held.Open(port, 10) == 0 && (!first.readBeforeDying || held.Read(1, 'C', 1) == 0);
            if (write(ready[1], ok ? "y" : "n", 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char answer = 0;
        EXPECT_EQ(read(ready[0], &answer, 1), 1);
        close(ready[0]);
        EXPECT_EQ(answer, 'y') << "the first host could not use the port";
        kill(host, SIGKILL);
        ASSERT_EQ(waitpid(host, nullptr, 0), host);

        // The simulator notices the host gone in its own time: the next host
        // tries for a while, as a restarted bridge does.
        const int next = InChildProcess([&port] {
            DropAdministratorPrivilege();
            HostPort opened;
            const auto start = Clock::now();
            while (opened.Open(port, 10) != 0) {
                if (MillisecondsSince(start) > 5000) return 2;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            opened.SetSlot(0);
            if (opened.Read(1, 'C', 1) != 0 || opened.Slot() != 111) return 3;
            return opened.Close() == 0 ? 0 : 4;
        });
        EXPECT_EQ(next, 0) << "2: the port stayed busy, 3: no reading, 4: no close";
        EXPECT_FALSE(simulator->Ended());
    }
}

}  // namespace
}  // namespace simline
