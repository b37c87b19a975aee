// tz52 bridge between the simulator on a pseudo-terminal and a real broker
// (mosquitto, started here on a free loopback port with a configuration of
// its own), watched by an MQTT client of the test: values reach their
// topics, allowed sets reach the controller's memory, refusals send nothing,
// the broker and the bridge going away are survived and reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/tools/bridge_test_support.h"

namespace {

using bridgetest::Bridge;
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

TEST_F(Bridge, ValuesReachTheirTopicsAndAnAllowedSetReachesTheController) {
    StartSimulator({"001M025=1234", "001S250=510"});
    std::ofstream(directory_ + "/points") << "# the plant's points\n001M025\n\n001s250 every 100ms  # a byte pair\n";
    Watcher watcher(broker_->port());
    StartBridge({"--points", directory_ + "/points", "--allow-write", "001M025,001C001", "001C001"});

    EXPECT_EQ(watcher.WaitFor("tz52/status"), "online") << BridgeLog();
    EXPECT_EQ(watcher.WaitFor("tz52/001M025"), "1234") << BridgeLog();
    EXPECT_EQ(watcher.WaitFor("tz52/001S250"), "510");
    EXPECT_EQ(watcher.WaitFor("tz52/001C001"), "0");
    const nlohmann::json state = Parsed(watcher.WaitFor("tz52/001M025/state"));
    EXPECT_EQ(state["ok"], true);
    EXPECT_EQ(state["result"], 0);
    EXPECT_EQ(state["time"].get<std::string>().size(), std::string("2026-12-08T23:40:01.123Z").size());

    // A value changed in the controller reaches its topic.
    simulator_->SetPoint(Point(1, 'M', 25), 4321);
    EXPECT_EQ(watcher.WaitFor("tz52/001M025", Is("4321")), "4321");

    // An allowed set, in hexadecimal: written, then read back and published.
    watcher.Publish("tz52/001C001/set", "0x10");
    const nlohmann::json result = Parsed(watcher.WaitFor("tz52/001C001/result"));
    EXPECT_EQ(result["result"], 0) << result;
    EXPECT_EQ(result["value"], 16) << result;
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 16);
    EXPECT_EQ(watcher.WaitFor("tz52/001C001", Is("16")), "16");
    // The audit line: point, value, result and where the set came from.
    EXPECT_NE(BridgeLog().find("tz52 bridge: set 001C001 to 16 from mqtt (topic tz52/001C001/set): result 0, written\n"),
              std::string::npos)
        << BridgeLog();
    // An unchanged value is not published again within the republish period.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> values = watcher.On("tz52/001M025");
    EXPECT_EQ(std::count(values.begin(), values.end(), "4321"), 1) << ::testing::PrintToString(values);

    // SIGTERM: offline, then exit 0.
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
    EXPECT_EQ(watcher.WaitFor("tz52/status", Is("offline")), "offline");
    // With the bridge gone, a newcomer still finds the last of everything.
    Watcher newcomer(broker_->port());
    EXPECT_EQ(newcomer.WaitFor("tz52/001M025"), "4321");
    EXPECT_EQ(newcomer.WaitFor("tz52/001C001"), "16");
    EXPECT_EQ(Parsed(newcomer.WaitFor("tz52/001S250/state"))["ok"], true);
    EXPECT_EQ(newcomer.WaitFor("tz52/status"), "offline");
}

TEST_F(Bridge, EveryRefusedSetGetsAResultAndSendsNothing) {
    StartSimulator({});
    Watcher watcher(broker_->port());
    StartBridge({"--allow-write", "001C001,001O001", "--topic-prefix", "tz52/", "001C001", "001A009"});
    ASSERT_EQ(watcher.WaitFor("tz52/001C001"), "0") << BridgeLog();

    // The result's value is the number asked for, or null when the payload
    // holds none; the payload comes back as text. The audit line shows the
    // number, else the payload.
    const struct {
        const char* point;
        const char* payload;
        const char* message;
        const char* valueJson;  // the result's "value"
        const char* shownJson;  // the audit line's value
    } refusals[] = {
        {"001C002", "5", "writes to 001C002 are not allowed", "5", "5"},
        {"001A009", "5", "points of type A are inputs", "5", "5"},
        {"001C001", "five", "is not a number", "null", "\"five\""},
        {"001C001", "", "is not a number", "null", "\"\""},
        {"001C001", "1.5", "is not a number", "null", "\"1.5\""},
        {"001C001", "70000", "outside 0 to 65535 for type C", "70000", "70000"},
        {"001C001", "-1", "outside 0 to 65535 for type C", "-1", "-1"},
        {"001C001", " -0x10 ", "outside 0 to 65535 for type C", "-16", "-16"},
        {"001C001", "99999999999999999999999", "outside 0 to 65535", "null", "\"99999999999999999999999\""},
        {"001O001", "0x2", "outside 0 to 1 for type O", "2", "2"},
        {"001M300", "5", "is not a valid point address", "5", "5"},
        // Another spelling of an allowed point's topic would get around the
        // broker's rule for that topic: refused, naming the one to use.
        {"001c001", "5", "\"001c001\" is not how the bridge names the point: its set topic is tz52/001C001/set", "5",
         "5"},
        {"001C001 ", "5", "\"001C001 \" is not how the bridge names the point: its set topic is tz52/001C001/set", "5",
         "5"},
        // Bytes that are no UTF-8 come back replaced, and the bridge lives on.
        {"001C001", "\xff\xfe", "is not a number", "null", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"001C002", "\xc3", "writes to 001C002 are not allowed", "null", "\"\xEF\xBF\xBD\""},
    };
    size_t from = 0;
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(std::string(refusal.point) + " <- '" + refusal.payload + "'");
        const std::string topic = std::string("tz52/") + refusal.point + "/result";
        watcher.Publish(std::string("tz52/") + refusal.point + "/set", refusal.payload);
        size_t at = 0;
        const nlohmann::json result = Parsed(watcher.WaitFor(topic, [](const std::string&) { return true; }, 10, from, &at));
        from = at + 1;
        EXPECT_EQ(result["result"], 1) << result;
        EXPECT_NE(result["message"].get<std::string>().find(refusal.message), std::string::npos) << result;
        EXPECT_EQ(result["value"].dump(), refusal.valueJson) << result;
        EXPECT_EQ(result["payload"].dump(), nlohmann::json(refusal.payload).dump(-1, ' ', false,
                                                           nlohmann::json::error_handler_t::replace))
            << result;
        // Every refusal is in the log too, with the same message.
        const std::string audit = std::string("tz52 bridge: set ") + refusal.point + " to " + refusal.shownJson +
                                  " from mqtt (topic tz52/" + refusal.point + "/set): result 1, " +
                                  result["message"].get<std::string>() + "\n";
        EXPECT_NE(BridgeLog().find(audit), std::string::npos) << audit << BridgeLog();
    }
    // Nothing but reads went on the line.
    for (const tz52sim::ExchangeRecord& exchange : simulator_->Exchanges()) {
        EXPECT_TRUE(exchange.kind != tz52sim::CommandKind::kWriteWord && exchange.kind != tz52sim::CommandKind::kWriteBit &&
                    exchange.kind != tz52sim::CommandKind::kWriteByte)
            << "exchange " << exchange.number;
    }
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 0);
}

TEST_F(Bridge, SilentStationGivesStateResult2AndNoValue) {
    StartSimulator({"001C001=7"});
    Watcher watcher(broker_->port());
    StartBridge({"--republish", "100ms", "--json", "002C001", "001C001"});
    const nlohmann::json state = Parsed(watcher.WaitFor("tz52/002C001/state"));
    EXPECT_EQ(state["ok"], false) << state;
    EXPECT_EQ(state["result"], 2) << state;
    EXPECT_NE(state["message"].get<std::string>().find("no valid reply from station 2"), std::string::npos) << state;
    EXPECT_EQ(watcher.WaitFor("tz52/001C001"), "7");
    // An unchanged value comes again after the republish period.
    size_t first = 0;
    watcher.WaitFor("tz52/001C001", Is("7"), 10, 0, &first);
    EXPECT_EQ(watcher.WaitFor("tz52/001C001", Is("7"), 10, first + 1), "7");
    EXPECT_EQ(watcher.On("tz52/002C001"), std::vector<std::string>{});
    EXPECT_EQ(watcher.On("tz52/status"), std::vector<std::string>{"online"});
    EXPECT_EQ(BridgeLog().find("is gone"), std::string::npos) << "a silent station taken for a lost device";

    // The document at the end holds each point's reads and failures.
    ASSERT_EQ(StopBridge(), 0) << BridgeLog();
    const std::string log = BridgeLog();
    const nlohmann::json document = Parsed(log.substr(log.rfind("\n{") + 1));
    ASSERT_TRUE(document.is_object()) << log;
    ASSERT_EQ(document["points"].size(), 2u) << document;
    const nlohmann::json silent = document["points"][0], answering = document["points"][1];
    EXPECT_EQ(silent["point"], "002C001") << document;
    EXPECT_GT(silent["reads"].get<int>(), 0) << document;
    EXPECT_EQ(silent["failedReads"], silent["reads"]) << document;
    EXPECT_EQ(silent["lastResult"], 2) << document;
    EXPECT_NE(silent["lastError"].get<std::string>().find("no valid reply from station 2"), std::string::npos);
    EXPECT_EQ(answering["failedReads"], 0) << document;
    EXPECT_EQ(answering["lastResult"], 0) << document;
    EXPECT_FALSE(answering.contains("lastError")) << document;
    EXPECT_EQ(document["failures"], silent["failedReads"]) << document;
}

// A station that stops answering is logged once, and once when it answers
// again; not at every read.
TEST_F(Bridge, SilentStationIsLoggedOnChangeOnly) {
    const struct {
        const char* name;
        std::vector<std::string> faults;
        const char* point;
        const char* silentLine;
        size_t silentTimes;
        const char* backLine;
        size_t backTimes;
    } rows[] = {
        {"never answers", {}, "002C001", "station 2 does not answer (002C001: no valid reply from station 2", 1,
         "station 2 answers again", 0},
        // Read 3 has all three of its attempts unanswered; read 4 gets its reply.
        {"silent for one read", {"3:silent", "4:silent", "5:silent"}, "001C001",
         "station 1 does not answer (001C001: no valid reply from station 1", 1, "station 1 answers again", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StartSimulator({"001C001=7"}, row.faults);
        std::remove(log().c_str());
        StartBridge({row.point});
        // Many reads at 50 ms, each one that fails a reason to log again if
        // changes were not what counts.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ASSERT_EQ(StopBridge(), 0) << BridgeLog();
        const std::string log = BridgeLog();
        EXPECT_EQ(Occurrences(log, row.silentLine), row.silentTimes) << log;
        EXPECT_EQ(Occurrences(log, "does not answer"), row.silentTimes) << log;
        EXPECT_EQ(Occurrences(log, row.backLine), row.backTimes) << log;
    }
}

// Under systemd stderr may be the journal: then every line carries its
// priority, which the journal keeps; elsewhere the lines are plain.
TEST_F(Bridge, LogLinesCarryJournalPrioritiesOnlyWhenStderrIsTheJournal) {
    StartSimulator({"001C001=3"});
    const std::string other = directory_ + "/other";
    std::ofstream(other) << "";
    const auto streamOf = [](const std::string& path) {
        struct stat status {};
        stat(path.c_str(), &status);
        return "JOURNAL_STREAM=" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    };
    const struct {
        const char* name;
        bool stderrIsJournal;  // JOURNAL_STREAM names the bridge's stderr
        const char* variable;  // else this JOURNAL_STREAM, or none
    } rows[] = {
        {"stderr is the journal", true, nullptr},
        {"stderr is another file", false, "other"},
        {"no journal", false, nullptr},
        {"a variable that is no DEVICE:INODE", false, "JOURNAL_STREAM=journal"},
    };
    // The lines of a run with their priorities under the journal.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"<6>", "tz52 bridge: port "},
        {"<6>", "tz52 bridge: points every 50ms: 001C001\n"},
        {"<6>", "tz52 bridge: writes allowed: 001C001\n"},
        {"<6>", "tz52 bridge: broker 127.0.0.1:"},
        {"<5>", "tz52 bridge: connected to the broker 127.0.0.1:"},
        {"<5>", "tz52 bridge: set 001C001 to 4 from mqtt (topic tz52/001C001/set): result 0, written\n"},
        {"<4>", "tz52 bridge: set 001C002 to 4 from mqtt (topic tz52/001C002/set): result 1, writes to 001C002 are "
                "not allowed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(log().c_str());
        std::ofstream(log()) << "";
        environment_.clear();
        if (row.stderrIsJournal) environment_.push_back(streamOf(log()));
        if (row.variable != nullptr) {
            environment_.push_back(std::string(row.variable) == "other" ? streamOf(other) : row.variable);
        }
        Watcher watcher(broker_->port());
        StartBridge({"--allow-write", "001C001", "001C001"});
        ASSERT_EQ(watcher.WaitFor("tz52/status", Is("online")), "online") << BridgeLog();
        watcher.Publish("tz52/001C001/set", "4");
        ASSERT_FALSE(watcher.WaitFor("tz52/001C001/result").empty()) << BridgeLog();
        watcher.Publish("tz52/001C002/set", "4");
        ASSERT_FALSE(watcher.WaitFor("tz52/001C002/result").empty()) << BridgeLog();
        ASSERT_EQ(StopBridge(), 0) << BridgeLog();
        const std::string log = BridgeLog();
        for (const auto& line : expected) {
            const std::string want = (row.stderrIsJournal ? line.first : "") + line.second;
            EXPECT_TRUE(log.rfind(want, 0) == 0 || log.find("\n" + want) != std::string::npos) << want << "\n" << log;
        }
        // Every line, or none, starts with a priority.
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_EQ(line.size() > 3 && line[0] == '<' && line[2] == '>', row.stderrIsJournal) << line;
        }
    }
    // A configuration that stops the bridge is an error, which
    // `journalctl -p warning` shows.
    std::ofstream(directory_ + "/bad.conf") << "colour = blue\n";
    const struct {
        const char* config;
        int exitCode;
    } stops[] = {{"bad.conf", 64}, {"missing.conf", 74}};
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.config);
        std::remove(log().c_str());
        std::ofstream(log()) << "";
        bridge_ = Spawn({kHost, "bridge", "--config", directory_ + "/" + stop.config}, log(), {streamOf(log())});
        EXPECT_EQ(WaitExit(bridge_, 10), stop.exitCode) << BridgeLog();
        bridge_ = 0;
        EXPECT_EQ(BridgeLog().rfind("<3>tz52: ", 0), 0u) << BridgeLog();
    }
}

// systemd's side of Type=notify: a datagram socket named in NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    // Every line of every datagram that arrived, in order.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        char buffer[4096];
        for (ssize_t size; (size = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
            std::istringstream datagram(std::string(buffer, static_cast<size_t>(size)));
            for (std::string line; std::getline(datagram, line);) lines.push_back(line);
        }
        return lines;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Under Type=notify: ready once polling runs, the state, the watchdog fed
// while the loop turns, stopping at the end; never ready with a bad
// configuration.
TEST_F(Bridge, TellsSystemdItsStateThroughNotifySocket) {
    StartSimulator({"001C001=3"});
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        std::string watchdogPid;  // "" unset, "other": a pid not the bridge's
        int exitCode;
        bool ready;
        bool watchdog;
    } rows[] = {
        {"running", {"001C001"}, "", 0, true, true},
        {"watchdog meant for another process", {"001C001"}, "other", 0, true, false},
        {"bad configuration", {"001M300"}, "", 64, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NotifySocket notify(directory_ + "/notify");
        environment_ = {"NOTIFY_SOCKET=" + directory_ + "/notify", "WATCHDOG_USEC=400000"};
        if (row.watchdogPid == "other") environment_.push_back("WATCHDOG_PID=" + std::to_string(getpid()));
        std::remove(log().c_str());
        Watcher watcher(broker_->port());
        StartBridge(row.arguments);
        if (row.exitCode == 0) {
            ASSERT_EQ(watcher.WaitFor("tz52/status", Is("online")), "online") << BridgeLog();
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            EXPECT_EQ(StopBridge(), 0) << BridgeLog();
        } else {
            EXPECT_EQ(WaitExit(bridge_, 10), row.exitCode) << BridgeLog();
            bridge_ = 0;
        }
        const std::vector<std::string> lines = notify.Lines();
        const std::string all = ::testing::PrintToString(lines);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "READY=1"), row.ready ? 1 : 0) << all;
        const auto watchdogs = std::count(lines.begin(), lines.end(), "WATCHDOG=1");
        // At 200 ms for a second: about five.
        if (row.watchdog) {
            EXPECT_GE(watchdogs, 3) << all;
        } else {
            EXPECT_EQ(watchdogs, 0) << all;
        }
        if (!row.ready) {
            EXPECT_EQ(lines, std::vector<std::string>{}) << all;
            continue;
        }
        EXPECT_EQ(lines.back(), "STOPPING=1") << all;
        const std::string connected = "STATUS=1 point polled; broker connected; port " + simulator_->PortName() + " open";
        EXPECT_NE(std::find(lines.begin(), lines.end(), connected), lines.end()) << all;
        // The state is sent when it changes, not at every turn of the loop.
        EXPECT_LE(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("STATUS=", 0) == 0; }),
                  3)
            << all;
    }
}

// A broker that refuses the bridge's login: said once, not at every
// attempt, and the service's status says why the broker is not connected.
TEST_F(Bridge, RefusedLoginIsLoggedOnceAndTheStatusSaysWhy) {
    StartSimulator({"001C001=3"});
    broker_.reset();
    mkdir((directory_ + "/refusing").c_str(), 0700);
    broker_ = std::make_unique<bridgetest::Broker>(directory_ + "/refusing", "allow_anonymous false\n");
    NotifySocket notify(directory_ + "/notify");
    environment_ = {"NOTIFY_SOCKET=" + directory_ + "/notify"};
    StartBridge({"001C001"});
    // Attempts at 0, 1 and 3 s: three refusals.
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
    const std::string log = BridgeLog();
    const std::string refused =
        "the broker 127.0.0.1:" + std::to_string(broker_->port()) + " refused the connection: Not authorized";
    EXPECT_EQ(Occurrences(log, refused), 1u) << log;
    EXPECT_EQ(Occurrences(log, "lost the broker"), 0u) << log;
    EXPECT_EQ(Occurrences(log, "cannot reach the broker"), 0u) << log;
    const std::vector<std::string> lines = notify.Lines();
    const std::string status = "STATUS=1 point polled; broker not connected (" + refused + "); port " +
                               simulator_->PortName() + " open";
    EXPECT_NE(std::find(lines.begin(), lines.end(), status), lines.end()) << ::testing::PrintToString(lines);
}

// A broker over TLS is trusted through the authority --mqtt-tls-ca names
// and the name in its certificate (unless the option that says it is
// insecure lets any name pass); a broker that asks for client certificates
// takes the bridge's and refuses it without one. A handshake that fails
// says OpenSSL's reason in the log.
TEST_F(Bridge, TlsBrokerIsCheckedAgainstItsAuthorityAndAFailedHandshakeSaysWhy) {
    StartSimulator({});
    const std::string tls = directory_ + "/tls";
    mkdir(tls.c_str(), 0700);
    std::ofstream(tls + "/names") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    std::ofstream(tls + "/other-names") << "subjectAltName=DNS:broker.plant\n";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string sign = " -CA ca.pem -CAkey ca.key -CAcreateserial -days 2";
    const std::string made = "cd " + tls + " && openssl req -x509" + key + " -keyout ca.key -out ca.pem -days 2 -subj /CN=tz52-test-ca" +
                             " && openssl req -x509" + key + " -keyout stranger.key -out stranger.pem -days 2 -subj /CN=stranger" +
                             " && openssl req" + key + " -keyout server.key -out server.csr -subj /CN=localhost" +
                             " && openssl x509 -req -in server.csr" + sign + " -out server.pem -extfile names" +
                             " && openssl x509 -req -in server.csr" + sign + " -out other.pem -extfile other-names" +
                             " && openssl req" + key + " -keyout client.key -out client.csr -subj /CN=bridge" +
                             " && openssl x509 -req -in client.csr" + sign + " -out client.pem";
    ASSERT_EQ(std::system(("(" + made + ") >/dev/null 2>&1").c_str()), 0) << made;
    // A second listener whose certificate names another host.
    const int otherPort = bridgetest::FreeLoopbackPort();
    const std::string clients = "cafile " + tls + "/ca.pem\nrequire_certificate true\n";
    broker_.reset();
    broker_ = std::make_unique<bridgetest::Broker>(
        // As root the broker would read its files as the user mosquitto.
        tls, "allow_anonymous true\nuser root\ncertfile " + tls + "/server.pem\nkeyfile " + tls + "/server.key\n" +
                 clients + "listener " + std::to_string(otherPort) + " 127.0.0.1\ncertfile " + tls +
                 "/other.pem\nkeyfile " + tls + "/server.key\n" + clients);
    const std::vector<std::string> certificate = {"--mqtt-tls-cert", tls + "/client.pem", "--mqtt-tls-key",
                                                  tls + "/client.key"};
    const auto with = [&certificate](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), certificate.begin(), certificate.end());
        return arguments;
    };
    const std::string connected = "connected to the broker 127.0.0.1:";
    NotifySocket notify(directory_ + "/notify");
    environment_ = {"NOTIFY_SOCKET=" + directory_ + "/notify"};
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int port;  // 0: the broker's first listener
        std::string logged;
        std::string status;  // in a STATUS= line, when not ""
    } rows[] = {
        {"the broker's authority", with({"--mqtt-tls-ca", tls + "/ca.pem"}), 0, connected + std::to_string(broker_->port()),
         "broker connected"},
        {"another authority", with({"--mqtt-tls-ca", tls + "/stranger.pem"}), 0, "certificate verify failed", ""},
        // The broker's refusal is the service's status too.
        {"no client certificate", {"--mqtt-tls-ca", tls + "/ca.pem"}, 0, "certificate required",
         "broker not connected (cannot reach the broker 127.0.0.1:" + std::to_string(broker_->port())},
        {"a certificate of another name", with({"--mqtt-tls-ca", tls + "/ca.pem"}), otherPort, "certificate verify failed", ""},
        {"another name, let pass as asked", with({"--mqtt-tls-ca", tls + "/ca.pem", "--mqtt-tls-insecure-any-host-name"}),
         otherPort, connected + std::to_string(otherPort), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(log().c_str());
        brokerPort_ = row.port;
        std::vector<std::string> arguments = row.arguments;
        arguments.push_back("001C001");
        StartBridge(arguments);
        std::vector<std::string> said;  // Lines() takes what it returns
        notify.Lines();
        const auto statusSaid = [&notify, &row, &said] {
            const std::vector<std::string> lines = notify.Lines();
            said.insert(said.end(), lines.begin(), lines.end());
            return row.status.empty() || std::any_of(said.begin(), said.end(), [&row](const std::string& line) {
                       return line.rfind("STATUS=", 0) == 0 && line.find(row.status) != std::string::npos;
                   });
        };
        const auto start = Clock::now();
        while ((BridgeLog().find(row.logged) == std::string::npos || !statusSaid()) && MillisecondsSince(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(StopBridge(), 0) << BridgeLog();
        EXPECT_NE(BridgeLog().find(row.logged), std::string::npos) << BridgeLog();
        EXPECT_TRUE(statusSaid()) << ::testing::PrintToString(said);
    }
    brokerPort_ = 0;
}

// A set the broker kept (published with retain) would be written again on
// every connect, over whatever was set since: it is refused and cleared.
// On MQTT 5 a retained set is seen as one also when it arrives while the
// bridge is connected; a broker of 3.1.1 alone (a relay that refuses MQTT 5
// as such a broker does) passes it on as a live set, so there the bridge
// clears every set topic after its set.
TEST_F(Bridge, RetainedSetIsNeverWrittenAndCleared) {
    const struct {
        const char* name;
        bool only311;
        bool beforeStart;  // retained before the bridge connects, else while connected
        int result;
        uint16_t written;  // 001C001 after it
    } rows[] = {
        {"held when the bridge connects", false, true, 1, 0},
        {"published while connected", false, false, 1, 0},
        {"held when the bridge connects, MQTT 3.1.1", true, true, 1, 0},
        {"published while connected, MQTT 3.1.1", true, false, 0, 12},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StartSimulator({});
        std::remove(log().c_str());
        bridgetest::BrokerRelay relay(broker_->port(), row.only311);
        brokerPort_ = relay.port();
        Watcher watcher(broker_->port());
        if (row.beforeStart) {
            watcher.Publish("tz52/001C001/set", "12", true);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        StartBridge({"--allow-write", "001C001", "001C001"});
        ASSERT_EQ(watcher.WaitFor("tz52/status", Is("online")), "online") << BridgeLog();
        if (!row.beforeStart) watcher.Publish("tz52/001C001/set", "12", true);
        const nlohmann::json answer = Parsed(watcher.WaitFor("tz52/001C001/result"));
        EXPECT_EQ(answer["result"], row.result) << answer << BridgeLog();
        EXPECT_EQ(answer["value"], 12) << answer;
        if (row.result == 1) {
            EXPECT_EQ(answer["message"], "a retained set is never written; publish sets without retain") << answer;
        }
        EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), row.written);
        watcher.Publish("tz52/001C001/set", "20");
        const nlohmann::json written = Parsed(watcher.WaitFor("tz52/001C001/result", [](const std::string& payload) {
            return Parsed(payload)["value"] == 20;
        }));
        EXPECT_EQ(written["result"], 0) << written << BridgeLog();
        EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Two sets answered: the clears' own echoes got no answer.
        EXPECT_EQ(watcher.On("tz52/001C001/result").size(), 2u) << ::testing::PrintToString(watcher.On("tz52/001C001/result"));
        EXPECT_EQ(Occurrences(BridgeLog(), "does not take MQTT 5; connecting with MQTT 3.1.1"), row.only311 ? 1u : 0u)
            << BridgeLog();
        // The broker holds no set, so a bridge started again has none to write.
        Watcher newcomer(broker_->port());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(newcomer.On("tz52/001C001/set"), std::vector<std::string>{});
        EXPECT_EQ(StopBridge(), 0) << BridgeLog();
        watcher.Publish("tz52/001C001/set", "", true);
    }
}

// The /result of a set whose write ran while the broker was away comes on
// the next connection.
TEST_F(Bridge, ResultOfASetCarriedOutWhileTheBrokerIsAwayComesOnReconnect) {
    // Exchange 1 is the first read; the write's first two attempts (2, 3)
    // get no answer, so the write lasts long enough to lose the broker.
    StartSimulator({}, {"2:silent", "3:silent"});
    timeout_ = "400ms";
    std::ofstream(directory_ + "/points") << "001C001 every 3600s\n";
    bridgetest::BrokerRelay relay(broker_->port(), false);
    brokerPort_ = relay.port();
    Watcher watcher(broker_->port());
    StartBridge({"--points", directory_ + "/points", "--allow-write", "001C001"});
    ASSERT_EQ(watcher.WaitFor("tz52/001C001"), "0") << BridgeLog();
    watcher.Publish("tz52/001C001/set", "9");
    const auto start = Clock::now();
    while (simulator_->Exchanges().size() < 2 && MillisecondsSince(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    relay.Cut(true);
    ASSERT_EQ(watcher.WaitFor("tz52/status", Is("offline")), "offline") << BridgeLog();
    while (BridgeLog().find("set 001C001 to 9 ") == std::string::npos && MillisecondsSince(start) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    relay.Cut(false);
    const nlohmann::json result = Parsed(watcher.WaitFor("tz52/001C001/result", 40));
    EXPECT_EQ(result["result"], 0) << result << BridgeLog();
    EXPECT_EQ(result["value"], 9) << result;
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 9);
    EXPECT_NE(BridgeLog().find("published 1 result of sets carried out while the broker was away"), std::string::npos)
        << BridgeLog();
}

// A set larger than any value is dropped by an MQTT 5 broker, which the
// bridge told the largest packet it takes: it never reaches the bridge,
// whose memory stays small, and nothing is carried out or answered.
TEST_F(Bridge, OversizedSetNeverReachesTheBridge) {
    StartSimulator({});
    Watcher watcher(broker_->port());
    StartBridge({"--allow-write", "001C001", "001C001"});
    ASSERT_EQ(watcher.WaitFor("tz52/001C001"), "0") << BridgeLog();
    const auto peakKiB = [this] {
        std::istringstream status(ReadFile("/proc/" + std::to_string(bridge_) + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        }
        return 0L;
    };
    for (const size_t size : {size_t{1} << 20, size_t{16} << 20}) {
        SCOPED_TRACE(size);
        const long before = peakKiB();
        const size_t answered = watcher.On("tz52/001C001/result").size();
        watcher.Publish("tz52/001C001/set", std::string(size, '7'));
        watcher.Publish("tz52/001C001/set", std::to_string(size % 1000));
        const size_t small = size % 1000;
        EXPECT_FALSE(watcher
                         .WaitFor("tz52/001C001/result",
                                  [small](const std::string& payload) { return Parsed(payload)["value"] == small; }, 20)
                         .empty())
            << BridgeLog();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::vector<std::string> results = watcher.On("tz52/001C001/result");
        ASSERT_EQ(results.size(), answered + 1) << ::testing::PrintToString(results) << BridgeLog();
        EXPECT_EQ(Parsed(results.back())["value"], size % 1000) << results.back();
        EXPECT_EQ(Parsed(results.back())["result"], 0) << results.back();
        EXPECT_LT(peakKiB() - before, 4096) << "the bridge took in a payload of " << size << " bytes";
    }
    EXPECT_EQ(Occurrences(BridgeLog(), "tz52 bridge: set 001C001"), 2u) << BridgeLog();
}

// A write whose acknowledgement never came may still have been taken: the
// result says so and the point is read back.
TEST_F(Bridge, LostAcknowledgementIsSaidAndThePointReadBack) {
    // Exchange 1 is the first read; the write's attempts are 2 to 4.
    StartSimulator({}, {"2:silent", "3:silent", "4:silent"});
    std::ofstream(directory_ + "/points") << "001C001 every 3600s\n";
    Watcher watcher(broker_->port());
    StartBridge({"--points", directory_ + "/points", "--allow-write", "001C001"});
    ASSERT_EQ(watcher.WaitFor("tz52/001C001"), "0") << BridgeLog();
    watcher.Publish("tz52/001C001/set", "9");
    const nlohmann::json result = Parsed(watcher.WaitFor("tz52/001C001/result"));
    EXPECT_EQ(result["result"], 2) << result;
    EXPECT_NE(result["message"].get<std::string>().find("the value may have been written"), std::string::npos)
        << result;
    EXPECT_EQ(simulator_->GetPoint(Point(1, 'C', 1)), 9);
    EXPECT_EQ(watcher.WaitFor("tz52/001C001", Is("9"), 5), "9") << BridgeLog();
}

// Milliseconds of the day of a state's "time" (2026-12-08T23:40:01.123Z).
int64_t StateMilliseconds(const std::string& payload) {
    const std::string time = Parsed(payload)["time"];
    return ((std::stoll(time.substr(11, 2)) * 60 + std::stoll(time.substr(14, 2))) * 60 + std::stoll(time.substr(17, 2))) *
               1000 + std::stoll(time.substr(20, 3));
}

// A flood of sets on a slow line: polling keeps its period, and every set
// is answered.
TEST_F(Bridge, FloodOfSetsKeepsThePollingPeriod) {
    tz52sim::SimConfig config = simline::SimulatorConfig({}, {"001M025=7"});
    config.baud = 9600;
    simulator_ = simline::StartSimulator(config);
    timeout_ = "200ms";
    std::ofstream(directory_ + "/points") << "001M025 every 1s\n";
    Watcher watcher(broker_->port());
    StartBridge({"--points", directory_ + "/points", "--allow-write", "001C001"});
    ASSERT_EQ(watcher.WaitFor("tz52/001M025"), "7") << BridgeLog();
    constexpr int kSets = 200;
    for (int set = 1; set <= kSets; ++set) watcher.Publish("tz52/001C001/set", std::to_string(set));
    const auto start = Clock::now();
    while (watcher.On("tz52/001C001/result").size() < kSets && MillisecondsSince(start) < 60000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(watcher.On("tz52/001C001/result").size(), static_cast<size_t>(kSets)) << BridgeLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const std::vector<std::string> states = watcher.On("tz52/001M025/state");
    ASSERT_GE(states.size(), 3u);
    for (size_t next = 1; next < states.size(); ++next) {
        const int64_t gap = StateMilliseconds(states[next]) - StateMilliseconds(states[next - 1]);
        EXPECT_LT(gap, 2500) << "state " << next << " of " << states.size();
    }
}

TEST_F(Bridge, BrokerRestartedGetsStatusAndValuesBack) {
    StartSimulator({"001M001=42"});
    StartBridge({"001M001"});
    {
        Watcher watcher(broker_->port());
        ASSERT_EQ(watcher.WaitFor("tz52/001M001"), "42") << BridgeLog();
    }
    broker_->Kill(SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    simulator_->SetPoint(Point(1, 'M', 1), 43);
    broker_->Start();
    // The restarted broker remembers nothing: what it holds came again.
    Watcher watcher(broker_->port());
    EXPECT_EQ(watcher.WaitFor("tz52/status", Is("online"), 40), "online") << BridgeLog();
    EXPECT_EQ(watcher.WaitFor("tz52/001M001", Is("43"), 20), "43") << BridgeLog();
    EXPECT_NE(BridgeLog().find("lost the broker"), std::string::npos) << BridgeLog();
    // The loss is said once, not again as an attempt that failed.
    EXPECT_EQ(BridgeLog().find("The connection was lost"), std::string::npos) << BridgeLog();
}

TEST_F(Bridge, KilledBridgeLeavesOfflineByItsLastWill) {
    StartSimulator({});
    Watcher watcher(broker_->port());
    StartBridge({"001C001"});
    ASSERT_EQ(watcher.WaitFor("tz52/status"), "online") << BridgeLog();
    kill(bridge_, SIGKILL);
    EXPECT_EQ(WaitExit(bridge_, 10), 128 + SIGKILL);
    bridge_ = 0;
    EXPECT_EQ(watcher.WaitFor("tz52/status", Is("offline")), "offline");
}

// The device goes away in the middle of a reply; every state says so, a set
// is refused at once, and a device back under the same name is reopened.
TEST_F(Bridge, DeviceGoneIsReportedAndReopened) {
    char link[] = "/tmp/XXXXXX";
    close(mkstemp(link));
    unlink(link);
    port_ = link;
    StartSimulator({"001C001=5"}, {"20:hangup"}, link);
    Watcher watcher(broker_->port());
    StartBridge({"--allow-write", "all", "001C001", "001M002"});
    const auto gone = [](const std::string& payload) {
        return Parsed(payload)["message"].get<std::string>().find("is gone") != std::string::npos;
    };
    const nlohmann::json state = Parsed(watcher.WaitFor("tz52/001M002/state", gone));
    EXPECT_EQ(state["result"], 2) << BridgeLog();
    EXPECT_EQ(state["ok"], false);
    const auto start = Clock::now();
    watcher.Publish("tz52/001C001/set", "9");
    const nlohmann::json result = Parsed(watcher.WaitFor("tz52/001C001/result"));
    EXPECT_EQ(result["result"], 2) << result;
    EXPECT_LT(MillisecondsSince(start), 2000) << "the set waited for the line";
    EXPECT_EQ(watcher.On("tz52/status").back(), "online");

    StartSimulator({"001C001=6"}, {}, link);
    EXPECT_EQ(watcher.WaitFor("tz52/001C001", Is("6"), 20), "6") << BridgeLog();
    EXPECT_NE(BridgeLog().find("is open again"), std::string::npos) << BridgeLog();
}

// A device missing at the start is one that went away: the bridge runs,
// every state says so, and the port opens when the device comes.
TEST_F(Bridge, DeviceMissingAtStartIsOpenedWhenItComes) {
    char link[] = "/tmp/XXXXXX";
    close(mkstemp(link));
    unlink(link);
    port_ = link;
    Watcher watcher(broker_->port());
    StartBridge({"--allow-write", "all", "001C001"});
    EXPECT_EQ(watcher.WaitFor("tz52/status"), "online") << BridgeLog();
    const nlohmann::json state = Parsed(watcher.WaitFor("tz52/001C001/state"));
    EXPECT_EQ(state["result"], 2) << state;
    EXPECT_NE(state["message"].get<std::string>().find("is missing"), std::string::npos) << state;
    watcher.Publish("tz52/001C001/set", "3");
    EXPECT_EQ(Parsed(watcher.WaitFor("tz52/001C001/result"))["result"], 2) << BridgeLog();
    EXPECT_NE(BridgeLog().find("the bridge starts without it"), std::string::npos) << BridgeLog();

    // Never said to be open before it is.
    EXPECT_EQ(BridgeLog().find(" is open"), std::string::npos) << BridgeLog();

    // The device comes, held by another program: the states give the
    // latest reason, not the first.
    const std::string held = std::string(link) + "h";
    StartSimulator({"001C001=8"}, {}, held);
    const int holder = open(held.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    char device[64] = "";
    ASSERT_GT(readlink(held.c_str(), device, sizeof device - 1), 0);
    ASSERT_EQ(symlink(device, link), 0) << std::strerror(errno);
    const auto busy = [](const std::string& payload) {
        return Parsed(payload)["message"].get<std::string>().find("busy (EBUSY)") != std::string::npos;
    };
    EXPECT_FALSE(watcher.WaitFor("tz52/001C001/state", busy, 20).empty()) << BridgeLog();
    EXPECT_EQ(BridgeLog().find(" is open"), std::string::npos) << BridgeLog();

    close(holder);
    EXPECT_EQ(watcher.WaitFor("tz52/001C001", Is("8"), 20), "8") << BridgeLog();
    EXPECT_NE(BridgeLog().find("is open; polling goes on"), std::string::npos) << BridgeLog();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
    unlink(link);
}

// Two lines on one broker with the default prefixes: each has its own
// status, sets and health, the port's name made a topic level.
TEST_F(Bridge, TwoLinesOnOneBrokerKeepApart) {
    // Port names are short (11 characters): /tmp/ and six more.
    char first[] = "/tmp/XXXXXX";
    close(mkstemp(first));
    unlink(first);
    const std::string number = std::to_string(getpid() % 10000);
    const std::string secondPath = "/tmp/+#" + number;
    const char* second = secondPath.c_str();
    unlink(second);
    const std::string a = std::string("tz52/") + (first + 5);
    const std::string b = "tz52/__" + number;
    StartSimulator({"001C001=1"}, {}, first);
    tz52sim::SimConfig config = simline::SimulatorConfig({}, {"001C001=2"});
    config.linkPath = second;
    const std::unique_ptr<tz52sim::Simulator> other = simline::StartSimulator(config);
    Watcher watcher(broker_->port());
    const std::vector<std::string> common = {kHost, "bridge", "--timeout", "20ms", "--every", "50ms", "--mqtt-host",
                                             "127.0.0.1", "--mqtt-port", std::to_string(broker_->port()),
                                             "--allow-write", "all"};
    // A silent station costs its full read limit three times (60 ms): the
    // first line keeps its periods, the second cannot.
    std::ofstream(directory_ + "/a.points") << "001C001 every 200ms\n002C001 every 2s\n";
    std::ofstream(directory_ + "/b.points") << "001C001 every 20ms\n002C001 every 20ms\n";
    std::vector<std::string> arguments = common;
    arguments.insert(arguments.end(), {"--port", first, "--health-every", "300ms", "--points", directory_ + "/a.points"});
    bridge_ = Spawn(arguments, log());
    arguments = common;
    arguments.insert(arguments.end(), {"--port", second, "--health-every", "300ms", "--points", directory_ + "/b.points"});
    const pid_t otherBridge = Spawn(arguments, directory_ + "/other.log");
    ASSERT_EQ(watcher.WaitFor(a + "/001C001"), "1") << BridgeLog();
    ASSERT_EQ(watcher.WaitFor(b + "/001C001"), "2") << ReadFile(directory_ + "/other.log");

    // A set on one line's prefix reaches that line only.
    watcher.Publish(a + "/001C001/set", "11");
    EXPECT_EQ(watcher.WaitFor(a + "/001C001", Is("11")), "11") << BridgeLog();
    EXPECT_EQ(other->GetPoint(Point(1, 'C', 1)), 2);
    EXPECT_EQ(watcher.On(b + "/001C001/result"), std::vector<std::string>{});

    // The line's health, with the silent station 2 in it.
    const nlohmann::json health = Parsed(watcher.WaitFor(a + "/line", [](const std::string& payload) {
        return Parsed(payload)["exchanges"].get<int>() > 2;
    }));
    EXPECT_EQ(health["portOpen"], true) << health;
    EXPECT_GT(health["failedExchanges"].get<int>(), 0) << health;
    EXPECT_LT(health["failedExchanges"].get<int>(), health["exchanges"].get<int>()) << health;
    EXPECT_EQ(health["stationsSilent"], nlohmann::json::array({2})) << health;
    EXPECT_GT(health["lineBusy"].get<double>(), 0.0) << health;
    EXPECT_LE(health["lineBusy"].get<double>(), 1.0) << health;
    EXPECT_TRUE(health["behindMs"].is_number()) << health;
    EXPECT_EQ(health["overloaded"], false) << health;
    const nlohmann::json overloaded = Parsed(watcher.WaitFor(b + "/line"));
    EXPECT_EQ(overloaded["overloaded"], true) << overloaded;
    EXPECT_GT(overloaded["behindMs"].get<int>(), 20) << overloaded;
    EXPECT_NE(ReadFile(directory_ + "/other.log").find("the line cannot keep up"), std::string::npos);

    // One bridge stopping leaves the other online.
    kill(otherBridge, SIGTERM);
    EXPECT_EQ(WaitExit(otherBridge, 10), 0);
    EXPECT_EQ(watcher.WaitFor(b + "/status", Is("offline")), "offline");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(watcher.On(a + "/status"), std::vector<std::string>{"online"});
    unlink(second);
}

// ---- the command line ----------------------------------------------------------------

// tz52 bridge --config FILE --check: keys as the long options, the command
// line over the file, every refusal named FILE:LINE, and nothing on the line.
TEST_F(Bridge, ConfigurationFileIsCheckedWithoutTouchingThePort) {
    StartSimulator({});
    const std::string file = directory_ + "/line1.conf";
    std::ofstream(directory_ + "/points") << "001M025\n001S250 every 2s\n";
    const std::string port = "port = " + simulator_->PortName() + "\n";
    // Nobody writes to it: opening it to read would wait for ever.
    const std::string fifo = directory_ + "/line1.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    const std::string nul = std::string("port = tz52") + '\0' + "x\npoint = 001M025\n";
    const struct {
        std::string text;
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    } rows[] = {
        {"# line 1\n" + port + "allow-write = 001M025, 001C001\nmqtt-host = 127.0.0.1  # the broker\n"
         "point = 001M025 every 200ms\npoint = 001C001\npoint = 001S010\ntopic-prefix = fromfile\n",
         {}, 0, "good: 3 points on " + simulator_->PortName() + ", topics under fromfile/"},
        // The points key, and the command line over the file.
        {"port = tz52-none\npoints = " + directory_ + "/points\ntopic-prefix = fromfile\n",
         {"--port", simulator_->PortName(), "--topic-prefix", "cmdline"}, 0, "good: 2 points on " +
         simulator_->PortName() + ", topics under cmdline/"},
        // By default the topics are the line's: the file's name without .conf.
        {port + "point = 001M025\n", {}, 0, "good: 1 points on " + simulator_->PortName() + ", topics under tz52/line1/"},
        // Addresses on the command line stand for the file's points.
        {port + "point = 001M025\npoint = 001M300\n", {"001C002"}, 0, "good: 1 points"},
        // The Modbus face's keys: beside the broker, or alone.
        {port + "point = 001M025\nmodbus-listen = 0.0.0.0:5020\nmodbus-wait = 2s\nmodbus-max-clients = 4\n"
                "modbus-demand-share = 25\n",
         {}, 0,
         "good: 1 points on " + simulator_->PortName() + ", topics under tz52/line1/, Modbus TCP on 0.0.0.0:5020"},
        {port + "point = 001M025\nmodbus-listen = 5020\nno-mqtt = true\nmodbus-idle = 10min\n", {}, 0,
         "good: 1 points on " + simulator_->PortName() + ", Modbus TCP on 5020\n"},
        {port + "point = 001M025\nno-mqtt = true\n", {}, 64, "--no-mqtt needs --modbus-listen"},
        {port + "point = 001M025\nmodbus-listen = 70000\n", {}, 64, "give [ADDRESS:]PORT, a TCP port 1 to 65535"},
        {port + "point = 001M025\nmodbus-listen = 0\n", {}, 64, "give [ADDRESS:]PORT, a TCP port 1 to 65535"},
        {port + "point = 001M025\nmodbus-listen = plant:502\n", {}, 64, "\"plant\" is not an IP address"},
        {port + "point = 001M025\nmodbus-listen = 5020\nmodbus-wait = often\n", {}, 64,
         "--modbus-wait \"often\": give a time such as 500ms"},
        {port + "point = 001M025\nmodbus-listen = 5020\nmodbus-max-clients = 0\n", {}, 64,
         "--modbus-max-clients \"0\": give a number from 1 to"},
        {port + "point = 001M025\nmodbus-listen = 5020\nmodbus-demand-points = -1\n", {}, 64,
         "--modbus-demand-points \"-1\": give a number from 0 to"},
        {port + "point = 001M025\nmodbus-listen = 5020\nmodbus-demand-share = 101\n", {}, 64,
         "--modbus-demand-share \"101\": give a number from 1 to 100"},
        {port + "modbus-listen = 5020\nmodbus-demand-points = 0\n", {}, 64, "unless --modbus-demand-points is 0"},
        {port + "point = 001M025\ncolour = blue\n", {}, 64, "line1.conf:3: unknown key \"colour\""},
        {port + "[bridge]\nevery = 2s\n", {}, 64, "line1.conf:3: unknown key \"bridge.every\""},
        {port + "config = other.conf\n", {}, 64, "line1.conf:2: unknown key \"config\""},
        {"mqtt-port = 0\n" + port + "point = 001M025\n", {}, 64, "line1.conf:1: --mqtt-port \"0\": a TCP port"},
        {port + "point = 001M025\n\n# the press\npoint = 001M300\n", {}, 64,
         "line1.conf:5: \"001M300\" is not a valid point address"},
        {port + "point = 001M025 every often\n", {}, 64, "line1.conf:2: \"often\" is not a period"},
        {port + "point = 001M025\npoint = 001C001, 001m025\n", {}, 64, "line1.conf:3: 001M025 is listed twice"},
        {port + "point = 001M025\nport = ttyS0\n", {}, 64, "line1.conf:3: \"port\" is set twice (first at line 1)"},
        {port + "mqtt-host = a\nmqtt-host = b\npoint = 001M025\n", {}, 64,
         "line1.conf:3: \"mqtt-host\" is set twice (first at line 2)"},
        {port + "point = 001M025\npoint = 001M025\n", {}, 64,
         "line1.conf:3: 001M025 is listed twice (first at " + file + ":2)"},
        // An editor's byte-order mark, and the credential that only the unit has.
        {"\xEF\xBB\xBF" + port + "point = 001M025\n", {}, 0, "good: 1 points"},
        {port + "point = 001M025\nmqtt-user = u\nmqtt-password-credential = mqtt-password\n", {}, 0,
         "--mqtt-password-credential \"mqtt-password\": not checked: the credential is there only for the unit"},
        // A NUL would cut the port's name short.
        {nul, {}, 64, "line1.conf:1: a NUL byte"},
        {port + "allow-write = 001A009\npoint = 001M025\n", {}, 64, "--allow-write: 001A009 is an input"},
        {port + "mqtt-host = a b\npoint = 001M025\n", {}, 64, "line1.conf:2: mqtt-host takes one value"},
        {port + "json = \x1b[2J\npoint = 001M025\n", {}, 64, "line1.conf:2: json is a flag: json = true, or leave it out"},
        {port + "baud = \x1b[2J\npoint = 001M025\n", {}, 64, "line1.conf:2: --baud \"\\x1B[2J\": the baud rate"},
        {"point = 001M025\n", {}, 64, "bridge needs --port NAME"},
        // A file that cannot be read whole.
        {"", {"--config", "/dev/zero"}, 74, "--config /dev/zero:1: line longer than"},
        {"", {"--config", directory_}, 74, "--config " + directory_ + ": "},
        {"", {"--config", fifo}, 74, "--config " + fifo + ": a FIFO, not a regular file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::ofstream(file, std::ios::trunc) << row.text;
        std::remove(log().c_str());
        std::vector<std::string> arguments = {kHost, "bridge", "--check"};
        if (row.arguments.empty() || row.arguments[0] != "--config") arguments.insert(arguments.end(), {"--config", file});
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        bridge_ = Spawn(arguments, log());
        EXPECT_EQ(WaitExit(bridge_, 10), row.exitCode) << BridgeLog();
        bridge_ = 0;
        EXPECT_NE(BridgeLog().find(row.message), std::string::npos) << BridgeLog();
        EXPECT_EQ(BridgeLog().find('\x1b'), std::string::npos) << "a control character reached the terminal";
    }
    EXPECT_TRUE(simulator_->Exchanges().empty()) << "--check sent something on the line";
}

// The keys of a configuration file drive a real bridge.
TEST_F(Bridge, ConfigurationFileRunsTheBridge) {
    StartSimulator({"001M025=77"});
    const std::string file = directory_ + "/line1.conf";
    std::ofstream(file) << "port = " << simulator_->PortName() << "\ntimeout = 20ms\nmqtt-host = 127.0.0.1\n"
                        << "mqtt-port = " << broker_->port() << "\nallow-write = 001C001\n"
                        << "point = 001M025 every 100ms\npoint = 001C001\n";
    Watcher watcher(broker_->port());
    bridge_ = Spawn({kHost, "bridge", "--config", file}, log());
    // The prefix is the configuration's name.
    EXPECT_EQ(watcher.WaitFor("tz52/line1/001M025"), "77") << BridgeLog();
    watcher.Publish("tz52/line1/001C001/set", "5");
    EXPECT_EQ(watcher.WaitFor("tz52/line1/001C001", Is("5")), "5") << BridgeLog();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}


// SIGHUP (systemctl reload): the files read again while the bridge runs, on
// the same broker connection; what needs a restart is named, a file that
// does not check changes nothing.
TEST_F(Bridge, HangupReadsTheConfigurationAgain) {
    StartSimulator({"001C001=1", "001C002=2", "001C003=3"});
    const std::string file = directory_ + "/line1.conf";
    const std::string points = directory_ + "/line1.points";
    const std::string head = "port = " + simulator_->PortName() + "\ntimeout = 60ms\nevery = 50ms\n" +
                             "mqtt-port = " + std::to_string(broker_->port()) + "\ntopic-prefix = tz52\n" +
                             "points = " + points + "\n";
    std::ofstream(file) << head << "mqtt-host = 127.0.0.1\nallow-write = 001C001\n";
    std::ofstream(points) << "001C001\n";
    Watcher watcher(broker_->port());
    bridge_ = Spawn({kHost, "bridge", "--config", file}, log());
    ASSERT_EQ(watcher.WaitFor("tz52/001C001"), "1") << BridgeLog();
    const struct {
        const char* name;
        std::string config;    // after the head
        const char* points;
        std::string logged;    // said after the signal
        const char* topic;     // then a value here ("": none)
        const char* value;
    } rows[] = {
        {"a point added", "mqtt-host = 127.0.0.1\nallow-write = 001C001\n", "001C001\n001C002 every 100ms\n",
         "reload: points added: 001C002", "tz52/001C002", "2"},
        {"a points file that does not check", "mqtt-host = 127.0.0.1\nallow-write = 001C001\n",
         "001C001\n001C003\n001M300\n", "reload refused: " + points + ":3: \"001M300\" is not a valid point address",
         "", ""},
        {"a configuration that does not check", "mqtt-host = 127.0.0.1\ncolour = blue\n", "001C001\n001C003\n",
         "reload refused: " + file + ":8: unknown key \"colour\"", "", ""},
        {"a key that needs a restart, and the writes allowed", "mqtt-host = localhost\nallow-write = 001C003\n",
         "001C001\n001C003\n", "reload: mqtt-host changed; it takes effect when the bridge restarts", "tz52/001C003",
         "3"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(file, std::ios::trunc) << head << row.config;
        std::ofstream(points, std::ios::trunc) << row.points;
        const size_t before = BridgeLog().size();
        ASSERT_EQ(kill(bridge_, SIGHUP), 0);
        const auto start = Clock::now();
        while (BridgeLog().find(row.logged, before) == std::string::npos && MillisecondsSince(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_NE(BridgeLog().find(row.logged, before), std::string::npos) << BridgeLog();
        if (*row.topic != '\0') {
            EXPECT_EQ(watcher.WaitFor(row.topic), row.value) << BridgeLog();
        }
    }
    // 001C003 is now the one allowed, 001C001 no longer.
    watcher.Publish("tz52/001C003/set", "33");
    EXPECT_EQ(watcher.WaitFor("tz52/001C003", Is("33")), "33") << BridgeLog();
    watcher.Publish("tz52/001C001/set", "11");
    EXPECT_EQ(Parsed(watcher.WaitFor("tz52/001C001/result"))["result"], 1) << BridgeLog();
    // The last points file left 001C002 out.
    EXPECT_NE(BridgeLog().find("reload: no longer polled: 001C002"), std::string::npos) << BridgeLog();
    // One broker connection throughout, and the bridge ends as usual.
    EXPECT_EQ(Occurrences(BridgeLog(), "connected to the broker"), 1u) << BridgeLog();
    EXPECT_EQ(StopBridge(), 0) << BridgeLog();
}

TEST_F(Bridge, BadConfigurationStopsTheBridgeBeforeThePortOpens) {
    const std::string file = directory_ + "/points";
    const std::string password = directory_ + "/password";
    std::ofstream(password) << "secret\n";
    chmod(password.c_str(), 0644);
    // What systemd's LoadCredential= makes: a directory of credentials.
    const std::string credentials = directory_ + "/credentials";
    mkdir(credentials.c_str(), 0700);
    std::ofstream(credentials + "/mqtt-password") << "secret\n";
    chmod((credentials + "/mqtt-password").c_str(), 0644);
    environment_ = {"CREDENTIALS_DIRECTORY=" + credentials};
    // CA files that trust no one.
    const std::string noCertificate = directory_ + "/empty.pem", notPem = directory_ + "/notpem.pem";
    std::ofstream(noCertificate) << "";
    std::ofstream(notPem) << "the plant's certificates\n";
    // A client certificate with its key under a password, and another key.
    const std::string tls = directory_ + "/tls";
    mkdir(tls.c_str(), 0700);
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1";
    const std::string made = "cd " + tls + " && openssl req -x509" + key + " -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=ca" +
                             " && openssl req -x509" + key + " -passout pass:secret -keyout client.key -out client.pem -days 2 -subj /CN=bridge" +
                             " && openssl req -x509" + key + " -nodes -keyout other.key -out other.pem -days 2 -subj /CN=other";
    ASSERT_EQ(std::system(("(" + made + ") >/dev/null 2>&1").c_str()), 0) << made;
    chmod((tls + "/client.key").c_str(), 0600);
    std::ofstream(credentials + "/key-password") << "secret\n";
    std::ofstream(credentials + "/wrong-password") << "guessed\n";
    chmod((credentials + "/key-password").c_str(), 0600);
    chmod((credentials + "/wrong-password").c_str(), 0600);
    const std::vector<std::string> withCertificate = {"--mqtt-tls-ca", tls + "/ca.pem", "--mqtt-tls-cert",
                                                      tls + "/client.pem"};
    const auto certificateAnd = [&withCertificate](std::vector<std::string> more) {
        more.insert(more.begin(), withCertificate.begin(), withCertificate.end());
        return more;
    };
    const std::string keyOption = "--mqtt-tls-key \"" + tls + "/client.key\": ";
    // Outside the test's directory, whose points files the rows write.
    const std::string fifo = directory_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    const struct {
        const char* text;
        std::vector<std::string> arguments;
        std::string message;
        int exitCode;
        std::string path;  // the points file, when not `file`; written when under the test's directory
    } rows[] = {
        {"001M025\n001M025 every often\n", {}, "points:2: \"often\" is not a period", 64, ""},
        {"001M025\n# fine\n001M300\n", {}, "points:3: \"001M300\" is not a valid point address: index 300", 64, ""},
        {"001M025 each 2s\n", {}, "points:1: expected ADDRESS or ADDRESS every DURATION", 64, ""},
        {"001M025\n001m025\n", {}, "points:2: 001M025 is listed twice (first at ", 64, ""},
        {"001M025\n", {"--allow-write", "001A009"}, "--allow-write: 001A009 is an input (type A)", 64, ""},
        {"001M025\n", {"--topic-prefix", "a/#"}, "--topic-prefix \"a/#\"", 64, ""},
        {"001M025\n", {"--topic-prefix", "$SYS/tz52"}, "--topic-prefix \"$SYS/tz52\": a topic prefix", 64, ""},
        {"001M025\n", {"--topic-prefix", "a+b"}, "--topic-prefix \"a+b\": a topic prefix", 64, ""},
        {"001M025\n", {"--topic-prefix", "/"}, "--topic-prefix \"/\": a topic prefix is not empty", 64, ""},
        {"", {}, "no points to poll", 64, ""},
        // A Modbus face polls what its clients read: no points of its own is fine.
        {"", {"--no-mqtt", "--modbus-listen", "15020", "--check"}, "good: 0 points", 0, ""},
        {"001M025\n", {"--mqtt-tls-ca", "/nonexistent/ca.crt"}, "--mqtt-tls-ca \"/nonexistent/ca.crt\": No such file", 64, ""},
        {"001M025\n", {"--mqtt-tls-ca", noCertificate}, "--mqtt-tls-ca \"" + noCertificate + "\": holds no certificate",
         64, ""},
        {"001M025\n", {"--mqtt-tls-ca", notPem, "--check"}, "--mqtt-tls-ca \"" + notPem + "\": holds no certificate",
         64, ""},
        {"001M025\n", {"--mqtt-tls-ca", directory_, "--check"}, "\": not a regular file; give a file of PEM", 64, ""},
        {"001M025\n", {"--mqtt-tls-ca", "/dev/zero"}, "--mqtt-tls-ca \"/dev/zero\": not a regular file", 64, ""},
        {"001M025\n", {"--mqtt-password-file", "/nonexistent/pw"}, "--mqtt-password-file needs --mqtt-user", 64, ""},
        // A password file that gives no password (or one without end) is no
        // login without one.
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-file", directory_}, "not a regular file", 64, ""},
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-file", "/dev/zero"}, "\"/dev/zero\": not a regular file", 64, ""},
        // One that every user may read is taken, with a warning.
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-file", password, "--check"}, "can be read by every user",
         0, ""},
        // The password as a systemd credential: read with the same checks.
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-credential", "mqtt-password", "--check"},
         "--mqtt-password-credential \"" + credentials + "/mqtt-password\" can be read by every user", 0, ""},
        {"001M025\n", {"--mqtt-password-credential", "mqtt-password"}, "--mqtt-password-credential needs --mqtt-user",
         64, ""},
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-credential", "../password"},
         "--mqtt-password-credential \"../password\": a credential name is not empty and has no /", 64, ""},
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-credential", "missing"},
         "--mqtt-password-credential \"" + credentials + "/missing\": No such file", 64, ""},
        {"001M025\n", {"--mqtt-user", "u", "--mqtt-password-credential", "mqtt-password", "--mqtt-password-file", password},
         "give one of them", 64, ""},
        // A client certificate: its key (a file or a credential) with its
        // password, checked before the broker would refuse every connect.
        {"001M025\n", {"--mqtt-tls-cert", tls + "/client.pem", "--mqtt-tls-key", tls + "/client.key"},
         "--mqtt-tls-cert needs --mqtt-tls-ca", 64, ""},
        {"001M025\n", withCertificate, "--mqtt-tls-cert needs its key", 64, ""},
        {"001M025\n", {"--mqtt-tls-key", tls + "/other.key"}, "needs --mqtt-tls-cert", 64, ""},
        {"001M025\n", certificateAnd({"--mqtt-tls-key", tls + "/client.key"}),
         keyOption + "the key does not load (if it has a password, give it)", 64, ""},
        {"001M025\n", certificateAnd({"--mqtt-tls-key", tls + "/client.key", "--mqtt-tls-key-password-credential", "wrong-password"}),
         keyOption + "the key does not load with the password given", 64, ""},
        {"001M025\n", certificateAnd({"--mqtt-tls-key", tls + "/other.key"}),
         "\"" + tls + "/other.key\": not the key of the certificate", 64, ""},
        {"001M025\n", {"--mqtt-tls-ca", tls + "/ca.pem", "--mqtt-tls-cert", notPem, "--mqtt-tls-key", tls + "/other.key"},
         "--mqtt-tls-cert \"" + notPem + "\": holds no certificate", 64, ""},
        {"001M025\n", certificateAnd({"--mqtt-tls-key-credential", "missing"}),
         "--mqtt-tls-key-credential \"" + credentials + "/missing\": No such file", 64, ""},
        {"001M025\n", certificateAnd({"--mqtt-tls-key", tls + "/client.key", "--mqtt-tls-key-password-credential", "key-password", "--check"}),
         "good: 1 points", 0, ""},
        // The Sparkplug B face's settings.
        {"001M025\n", {"--sparkplug-only"}, "--sparkplug-only needs --sparkplug-group", 64, ""},
        {"001M025\n", {"--sparkplug-group", "plant/east"}, "--sparkplug-group", 64, ""},
        {"001M025\n", {"--sparkplug-group", "plant", "--sparkplug-primary-host", "scada#1"}, "--sparkplug-primary-host",
         64, ""},
        {"001M025\n", {"--sparkplug-group", "plant", "--no-mqtt", "--modbus-listen", "15020"},
         "--sparkplug-group needs the broker: it cannot go with --no-mqtt", 64, ""},
        // A points file that cannot be read whole is no shorter one.
        {"", {}, "--points /dev/zero:1: line longer than", 74, "/dev/zero"},
        {"", {}, "--points " + directory_ + ": ", 74, directory_},
        {"", {}, "--points " + fifo + ": a FIFO, not a regular file", 74, fifo},
        // A name from outside is shown with its control characters escaped.
        {"001M\x1b[2J\n", {}, "points\\x1B[2J:1: \"001M\\x1B[2J\" is not a valid point address", 64,
         directory_ + "/points\x1b[2J"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        const std::string path = row.path.empty() ? file : row.path;
        if (path.compare(0, directory_.size() + 1, directory_ + "/") == 0) std::ofstream(path, std::ios::trunc) << row.text;
        std::remove(log().c_str());
        std::vector<std::string> arguments = {"--points", path};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        port_ = "tz52-none";  // opening it would fail with exit 2
        StartBridge(arguments);
        EXPECT_EQ(WaitExit(bridge_, 10), row.exitCode) << BridgeLog();
        bridge_ = 0;
        EXPECT_NE(BridgeLog().find(row.message), std::string::npos) << BridgeLog();
        EXPECT_EQ(BridgeLog().find("cannot open"), std::string::npos) << BridgeLog();
        EXPECT_EQ(BridgeLog().find('\x1b'), std::string::npos) << "a control character reached the terminal";
    }
    unlink(fifo.c_str());
}

}  // namespace
