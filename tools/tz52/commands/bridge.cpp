// tz52 bridge: the controller's points on an MQTT broker, writes from the
// broker where allowed (Linux; the workings are in bridge/).
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <memory>

#include <signal.h>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/cli/stop_signal.h"
#include "tools/tz52/bridge/bridge.h"
#include "tools/tz52/command.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/commands/bridge_config.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/platform.h"
#include "tools/tz52/output/json.h"

namespace {

constexpr uint64_t kLargestTcpPort = 65535;
// The most clients and points on demand an option may ask for: far above
// what a line serves, low enough that no setting exhausts the machine.
constexpr uint64_t kMostModbusClients = 10000;
constexpr uint64_t kMostDemandPoints = 100000;
// The most reads of history kept per point, and event streams open at once.
constexpr uint64_t kMostHistory = 100000;
constexpr uint64_t kMostStreams = 1000;

const char kModbusHelp[] =
    "Modbus TCP (--modbus-listen): the bridge serves the points to Modbus clients,\n"
    "the unit identifier is the station (1 to 127; another unit: exception 10).\n"
    "References count from 1; the protocol address is one less:\n"
    "  coils              functions 1, 5, 15   O001-O012   references 1-12\n"
    "  discrete inputs    function 2           B001-B016   references 1-16\n"
    "  input registers    function 4           A009-A012   references 9-12\n"
    "  holding registers  functions 3, 6, 16   M001-M256   references 1-256\n"
    "                                          S001-S250   references 1001-1250\n"
    "                                          C001-C016   references 2001-2016\n"
    "Reads are answered from the values the bridge polls, never from a failed\n"
    "read. Points not polled join the poll set (at --every) on the first read\n"
    "naming them, which waits up to --modbus-wait for them and else gets\n"
    "exception 6; they leave after --modbus-idle without a read. The\n"
    "configured points keep their periods: reads for clients use only the\n"
    "line time they leave, at most --modbus-demand-share of it, and a silent\n"
    "station's points are tried together once every 5 s. Writes go\n"
    "through the same queue as MQTT sets, only to the points --allow-write\n"
    "names, and are answered after the write and its read-back. Exceptions:\n"
    "1 function not served; 2 reference outside the map, or a write not\n"
    "allowed, or a point not polled with --modbus-demand-points 0; 3 bad\n"
    "quantity or value; 4 the point's last read or the write\n"
    "failed; 6 not read yet, or --modbus-demand-points reached; 10 unit\n"
    "outside 1-127; 11 the station does not answer, or the value is older\n"
    "than --modbus-max-age. Modbus TCP has no authentication: anyone who\n"
    "reaches the port may write what --allow-write allows, so keep that list\n"
    "short and listen on 127.0.0.1 (the default) or a plant network only.\n\n";

const char kHttpHelp[] =
    "HTTP (--http-listen): a REST API, the line's events live and Prometheus\n"
    "metrics (docs/api.md has a curl example of each):\n"
    "  GET  /api/v1/line                   port, health, stations, faces, version\n"
    "  GET  /api/v1/points[/ADDRESS]       values (decimal and hex), states, periods\n"
    "  GET  /api/v1/points/ADDRESS/history the point's last --http-history reads\n"
    "  PUT  /api/v1/points/ADDRESS         {\"value\": N}: an operator's write, answered\n"
    "                                      after the write and its read-back\n"
    "  GET  /api/v1/events?after=SEQ       the journal: writes, refusals, logins,\n"
    "                                      stations and port gone and back\n"
    "  GET  /api/v1/stream                 the journal as Server-Sent Events (id: SEQ;\n"
    "                                      Last-Event-ID resumes), at most --http-max-streams\n"
    "  POST /api/v1/login, /api/v1/logout  a session cookie and its CSRF token\n"
    "  GET  /metrics, /healthz             Prometheus text; 200 while polling runs\n"
    "  POST /api/v1/backup/{scan,dump,restore}  an operator's scan, a station's\n"
    "                                      dump, a restore planned then confirmed,\n"
    "                                      through the line's queue (docs/console.md)\n"
    "  GET  /                              the console for a browser, built in\n"
    "Reading is open to whoever reaches the port unless --http-require-login.\n"
    "Writing needs a user of role operator from --http-users: a session from\n"
    "POST /api/v1/login (every PUT and POST then carries its X-CSRF-Token\n"
    "header) or HTTP Basic. A failed login is answered after a second, at most\n"
    "five a minute from one address. On an address other than loopback, logins\n"
    "and writes need HTTPS (--http-tls-cert, --http-tls-key); over plain HTTP\n"
    "there the face serves reads only.\n\n";

const char kSparkplugHelp[] =
    "Sparkplug B (--sparkplug-group GROUP): the bridge is also an edge node on the\n"
    "broker, with a connection of its own (client id ID-sparkplug): the node's id\n"
    "is LINE, each station a device (001), each polled point a UInt16 metric\n"
    "named by its address, with an alias and the read's time. Topics\n"
    "spBv1.0/GROUP/TYPE/LINE[/DEVICE]: NBIRTH on every connect (bdSeq, Node\n"
    "Control/Rebirth, Line/Port, Store and forward/Changes dropped), NDEATH as\n"
    "the last will, a DBIRTH per station that answers, DDATA with the points\n"
    "that changed, DDEATH when a station goes silent, DBIRTH again when it\n"
    "answers or its points change. NCMD Node Control/Rebirth gives fresh births;\n"
    "DCMD writes the points --allow-write names through the same queue as the\n"
    "other writes, and the value read back comes as DDATA; a command that does\n"
    "not decode, names a metric the births did not give, carries another\n"
    "datatype or a value the point cannot hold is refused and logged, and\n"
    "nothing is sent on the line. --sparkplug-primary-host ID: births only while\n"
    "spBv1.0/STATE/ID says {\"online\":true}; when it says offline the node dies\n"
    "and connects again. While the node is not born the changes are kept (at\n"
    "most --sparkplug-buffer, the oldest dropped and counted) and sent after the\n"
    "next birth as historical metrics with their own times. --sparkplug-only: no\n"
    "plain topics.\n\n";

// A duration option such as --every: "500ms", "2s", at most one day.
void AddDurationOption(CLI::App* app, const char* name, int64_t* milliseconds, const char* help) {
    app->add_option_function<std::string>(
           name,
           [name, milliseconds](const std::string& value) {
               if (!ParseDuration(value, milliseconds)) {
                   throw CLI::ValidationError(std::string(name) + " " + Quoted(value) +
                                              ": give a time such as 500ms, 2s or 10min (at most one day)");
               }
           },
           help)
        ->type_name("DURATION");
}

// A count option such as --modbus-max-clients: `least` (0 or 1) to `most`.
void AddCountOption(CLI::App* app, const char* name, uint64_t least, uint64_t most, size_t* count, const char* help,
                    const char* typeName = "N") {
    app->add_option_function<std::string>(
           name,
           [name, least, most, count](const std::string& value) {
               uint64_t number = 0;
               if (!ParseWholeNumber(value, most, &number) || number < least) {
                   throw CLI::ValidationError(std::string(name) + " " + Quoted(value) + ": give a number from " +
                                              std::to_string(least) + " to " + std::to_string(most));
               }
               *count = static_cast<size_t>(number);
           },
           help)
        ->type_name(typeName);
}

// SIGHUP, as daemons take it: read the configuration again. Set by the
// handler while the bridge runs, cleared by the polling loop that reloads.
volatile std::sig_atomic_t g_reloadRequested = 0;

void RequestReload(int) { g_reloadRequested = 1; }

class ReloadOnHangup {
public:
    ReloadOnHangup() {
        g_reloadRequested = 0;
        struct sigaction action {};
        action.sa_handler = RequestReload;
        sigemptyset(&action.sa_mask);
        sigaction(SIGHUP, &action, &previous_);
    }
    ~ReloadOnHangup() { sigaction(SIGHUP, &previous_, nullptr); }
    ReloadOnHangup(const ReloadOnHangup&) = delete;
    ReloadOnHangup& operator=(const ReloadOnHangup&) = delete;

private:
    struct sigaction previous_ {};
};

bool SameLine(const LineOverrides& a, const LineOverrides& b, std::vector<std::string>* changed) {
    const size_t before = changed->size();
    if (a.hasBaudRate != b.hasBaudRate || a.baudRate != b.baudRate) changed->push_back("baud");
    if (a.hasDataBits != b.hasDataBits || a.dataBits != b.dataBits) changed->push_back("data-bits");
    if (a.hasStopBits != b.hasStopBits || a.stopBitsCode != b.stopBitsCode) changed->push_back("stop-bits");
    if (a.hasParity != b.hasParity || a.parityCode != b.parityCode) changed->push_back("parity");
    if (a.hasReadTimeout != b.hasReadTimeout || a.readTimeout != b.readTimeout) changed->push_back("timeout");
    return changed->size() == before;
}

// A configuration file refused while the command line is parsed; its exit
// code (64, or 74 for a file that cannot be read) reaches tz52's.
class ConfigRefusal : public CLI::ParseError {
public:
    ConfigRefusal(const std::string& message, int exitCode) : CLI::ParseError("ConfigRefusal", message, exitCode) {}
};

class BridgeCommand : public Command {
public:
    const char* Usage() const override {
        return "[--config FILE] [--check] [--points FILE] [--every DURATION] [--allow-write LIST|all] [MQTT options]\n"
               "       [--modbus-listen [ADDRESS:]PORT [--no-mqtt] [Modbus options]]\n"
               "       [--http-listen [ADDRESS:]PORT [HTTP options]]";
    }
    std::string Description() const override {
        return std::string(
                   "Polls the points and publishes them to an MQTT broker, and writes the values\n"
                   "that allowed broker users set. Runs until SIGTERM or Ctrl-C; then the status\n"
                   "reads offline, the port is closed and the exit code is 0. SIGHUP (systemctl\n"
                   "reload) reads the --config and points files again and applies the points,\n"
                   "their periods and the writes allowed, keeping every connection; a changed key\n"
                   "that needs a restart is logged as a warning, a file that no longer checks as\n"
                   "an error, and the bridge goes on.\n\n"
                   "Topics (PREFIX is tz52/LINE unless --topic-prefix says otherwise; LINE is the\n"
                   "--config file's name without .conf, else the port's name without its folder,\n"
                   "+ and # made _, so that bridges of several lines share one broker):\n"
                   "  PREFIX/POINT         the value in decimal, retained, QoS 1: when it changes\n"
                   "                       and at least every --republish; never from a failed read\n"
                   "  PREFIX/POINT/state   retained JSON of the last read:\n"
                   "                       {\"ok\":true,\"result\":0,\"message\":\"...\",\"time\":\"ISO 8601\"}\n"
                   "  PREFIX/POINT/set     publish a value here (decimal or 0x hexadecimal) to write it,\n"
                   "                       without retain, on the topic of the point as the bridge\n"
                   "                       spells it (001M025, not 001m025): a retained set is never\n"
                   "                       written, it is refused (result 1) and cleared on the\n"
                   "                       broker; on an MQTT 3.1.1 broker, which cannot say a set\n"
                   "                       was retained, every set topic is cleared after its set\n"
                   "  PREFIX/POINT/result  JSON {\"value\":42,\"payload\":\"42\",\"result\":0,\"message\":\"...\"}\n"
                   "                       for every set: value the number asked for, null when the\n"
                   "                       payload holds none; a refused set sends nothing on the\n"
                   "                       line; result 2 with more than 256 writes waiting; a write\n"
                   "                       whose acknowledgement was lost may have been taken: the\n"
                   "                       message says so and the point is read again; a result\n"
                   "                       whose broker was away is published on the next connection\n"
                   "  PREFIX/status        online or offline, retained; the broker publishes offline\n"
                   "                       when the bridge dies (last will)\n"
                   "  PREFIX/line          retained JSON of the line's health, soon after the start\n"
                   "                       and every --health-every: exchanges, failedExchanges,\n"
                   "                       stationsSilent, lineBusy (the share of the time the line\n"
                   "                       was in use), behindMs (how late the latest reads came\n"
                   "                       after they were due) and overloaded (a read came more\n"
                   "                       than its period late); the driver does not report its\n"
                   "                       retries, so they are not counted\n\n"
                   "Writes run in the order they arrived, at most one between two reads that are\n"
                   "due; the point is read again at once and its value published. Only the points --allow-write names can be\n"
                   "written, and only C, M, O and S points (O takes 0 or 1).\n\n"
                   "When the broker goes away, polling goes on and the bridge reconnects (1 s, then\n"
                   "doubling to 30 s between attempts) and publishes its latest values again; the\n"
                   "same failure again is logged every 10 min with its count. MQTT 5 where the\n"
                   "broker speaks it, else 3.1.1. When\n"
                   "the serial device goes away, or is missing when the bridge starts, every state\n"
                   "says so, sets get result 2 at once, and the bridge tries to open the port\n"
                   "every 3 s; only a bad configuration stops it.\n\n"
                   "The log on stderr starts with the configuration and then records changes:\n"
                   "broker connected or lost, port gone or back, a station silent or answering\n"
                   "again, and every set written or refused (point, value, result, origin).\n"
                   "When stderr is the journal (JOURNAL_STREAM), each line starts with its\n"
                   "priority: <3> errors, <4> warnings and refusals, <5> writes, <6> information.\n"
                   "Under systemd (NOTIFY_SOCKET) it sends READY=1 once polling runs, STATUS= when\n"
                   "its state changes, WATCHDOG=1 from the polling loop at half of WATCHDOG_USEC,\n"
                   "and STOPPING=1 at the end.\n\n"
                   "The points file has one point a line: ADDRESS, or ADDRESS every DURATION;\n"
                   "# starts a comment. Every address is checked with the driver before the port\n"
                   "opens; a bad one (or a bad line, named FILE:LINE) stops the bridge with exit\n"
                   "code ") +
               std::to_string(kExitUsage) + "; a points file that cannot be read, exit code " +
               std::to_string(kExitFileError) +
               ". The password file is\n"
               "a regular file; the bridge warns when every user may read it.\n\n"
               "--config FILE takes the options from FILE, one `KEY = VALUE` a line: KEY is a\n"
               "long option without -- (port = ttyUSB0, allow-write = 001M025,001S010,\n"
               "mqtt-host = broker.plant); # starts a comment. The points come from a points\n"
               "key, or from point keys, one point each (point = 001M025 every 200ms), used\n"
               "when no ADDRESS is given. An option on the command line wins over its key.\n"
               "An unknown key or a bad value (named FILE:LINE) gives exit code " +
               std::to_string(kExitUsage) + "; a file that cannot be read, " + std::to_string(kExitFileError) +
               ".\n--check checks everything (the addresses with the driver too) and exits 0\n"
               "without opening the port or the broker; outside the unit it says that it left\n"
               "the password credential unchecked.\n\n" +
               kModbusHelp + kHttpHelp + kSparkplugHelp + kAddressHelp;
    }
    const char* JsonMeaning() const override {
        return "one JSON document when the bridge ends: the port,\n"
               "per point reads, failedReads, lastResult, lastError,\n"
               "and the failures of all points";
    }

    void Define(CLI::App* app) override {
        app->add_option("ADDRESS", operands);
        app->add_option("--config", configFile_, "the options and points from FILE (KEY = VALUE a line)")
            ->type_name("FILE")
            ->configurable(false);
        app->add_flag("--check", check_, "check the options, the points and the file, then exit\nwithout opening the port or the broker")
            ->configurable(false)
            ->disable_flag_override();
        // Once the command line is in: the file fills what it left unset.
        app->callback([this, app] {
            prefixGiven_ = app->get_option("--topic-prefix")->count() > 0;
            if (configFile_.empty()) return;
            std::string error;
            int exitCode = kExitUsage;
            if (!ApplyBridgeConfig(app, configFile_, &options_.listed, &error, &exitCode)) {
                throw ConfigRefusal(error, exitCode);
            }
            prefixGiven_ = app->get_option("--topic-prefix")->count() > 0;
        });
        app->add_option("--points", options_.pointsFile, "the points to poll: ADDRESS [every DURATION] a line")
            ->type_name("FILE");
        AddDurationOption(app, "--every", &options_.everyMilliseconds,
                          "time between two reads of a point that names none\n(default 1s)");
        AddDurationOption(app, "--republish", &options_.republishMilliseconds,
                          "publish an unchanged value again after this time\n(default 60s)");
        app->add_option("--allow-write", options_.allowWrite,
                        "the points broker users may write: addresses separated\nby commas, or all")
            ->type_name("LIST|all");
        app->add_option("--mqtt-host", options_.mqtt.host, "the broker (default localhost)")->type_name("HOST");
        app->add_option_function<std::string>(
               "--mqtt-port",
               [this](const std::string& value) {
                   uint64_t number = 0;
                   if (!ParseWholeNumber(value, kLargestTcpPort, &number) || number == 0) {
                       throw CLI::ValidationError("--mqtt-port " + Quoted(value) + ": a TCP port is 1 to " +
                                                  std::to_string(kLargestTcpPort));
                   }
                   options_.mqtt.port = static_cast<int>(number);
               },
               "the broker's port (default 1883)")
            ->type_name("N");
        app->add_option("--mqtt-user", options_.mqtt.user, "the user name to log in with")->type_name("USER");
        app->add_option("--mqtt-password-file", options_.mqttPasswordFile,
                        "the password: the first line of FILE (with --mqtt-user)")
            ->type_name("FILE");
        app->add_option("--mqtt-password-credential", options_.mqttPasswordCredential,
                        "the password: the first line of the systemd credential\nNAME ($CREDENTIALS_DIRECTORY/NAME, see LoadCredential=)")
            ->type_name("NAME");
        app->add_option("--mqtt-tls-ca", options_.mqtt.tlsCaFile,
                        "TLS to the broker, trusting the certificate authorities in\nFILE (PEM; checked at the start)")
            ->type_name("FILE");
        app->add_option("--client-id", options_.mqtt.clientId,
                        "the MQTT client id (default tz52-bridge-HOSTNAME-PID)")
            ->type_name("ID");
        app->add_option("--modbus-listen", options_.modbus.listen,
                        "serve Modbus TCP on [ADDRESS:]PORT (a bare port: 127.0.0.1\nonly; 0.0.0.0:502 for every interface)")
            ->type_name("[ADDRESS:]PORT");
        app->add_flag("--no-mqtt", options_.noMqtt, "no broker: the Modbus face alone (needs --modbus-listen)")
            ->disable_flag_override();
        AddDurationOption(app, "--modbus-wait", &options_.modbus.waitMs,
                          "how long a read of points not read yet waits for them\n(default 800ms)");
        AddDurationOption(app, "--modbus-idle", &options_.modbus.demandIdleMs,
                          "points polled for Modbus reads leave after this long\nwithout one (default 10min)");
        AddCountOption(app, "--modbus-demand-points", 0, kMostDemandPoints, &options_.modbus.demandPoints,
                       "the most points polled for Modbus reads (default 256; 0:\nnone, points not polled get exception 2)");
        AddCountOption(app, "--modbus-demand-share", 1, 100, &options_.modbus.demandSharePercent,
                       "the most of the line's time that reads for Modbus clients\ntake, in percent (default 50); they "
                       "use only what the\nconfigured points leave",
                       "PERCENT");
        AddDurationOption(app, "--modbus-max-age", &options_.modbus.maxAgeMs,
                          "serve no value older than this (default three periods\nof the point, at least 5s)");
        AddCountOption(app, "--modbus-max-clients", 1, kMostModbusClients, &options_.modbus.maxClients,
                       "the most Modbus connections at once (default 32)");
        AddDurationOption(app, "--modbus-idle-connection", &options_.modbus.idleConnectionMs,
                          "close a Modbus connection idle this long (default 60s)");
        app->add_option("--http-listen", options_.http.listen,
                        "serve the HTTP face (REST API, event stream, metrics) on\n[ADDRESS:]PORT (a bare port: 127.0.0.1 "
                        "only)")
            ->type_name("[ADDRESS:]PORT");
        app->add_option("--http-tls-cert", options_.httpFiles.tlsCertFile,
                        "HTTPS with the certificate (chain) in FILE (PEM)")
            ->type_name("FILE");
        app->add_option("--http-tls-key", options_.httpFiles.tlsKeyFile, "the HTTPS certificate's key in FILE (PEM)")
            ->type_name("FILE");
        app->add_option("--http-tls-key-credential", options_.httpFiles.tlsKeyCredential,
                        "the HTTPS key: the systemd credential NAME\n($CREDENTIALS_DIRECTORY/NAME, see LoadCredential=)")
            ->type_name("NAME");
        app->add_option("--http-users", options_.httpFiles.usersFile,
                        "who may log in: NAME:ROLE:HASH a line (roles viewer and\noperator; tz52 passwd makes the lines)")
            ->type_name("FILE");
        app->add_flag("--http-require-login", options_.http.requireLogin,
                      "reads too need a logged-in user (else reading is open\nto whoever reaches the port)")
            ->disable_flag_override();
        AddCountOption(app, "--http-history", 0, kMostHistory, &options_.http.history,
                       "reads kept in memory per point for /history (default 600)");
        AddCountOption(app, "--http-max-streams", 1, kMostStreams, &options_.http.maxStreams,
                       "the most event streams open at once (default 16)");
        AddDurationOption(app, "--http-session-idle", &options_.http.sessionIdleMs,
                          "a login's session ends after this long unused\n(default 30min)");
        AddDurationOption(app, "--health-every", &options_.healthMilliseconds,
                          "publish the line's health on PREFIX/line this often\n(default 60s; 0: never)");
        app->add_option("--topic-prefix", options_.mqtt.topicPrefix,
                        "the head of every topic (default tz52/LINE); not empty,\nno leading $, no + or #")
            ->type_name("PREFIX");
        DefineClientCertificate(app);
        DefineSparkplug(app);
    }
    // A client certificate for the broker.
    void DefineClientCertificate(CLI::App* app) {
        app->add_option("--mqtt-tls-cert", options_.mqtt.tlsCertFile,
                        "log in to the broker with the client certificate in FILE\n(PEM; with --mqtt-tls-ca and its key)")
            ->type_name("FILE");
        app->add_option("--mqtt-tls-key", options_.mqtt.tlsKeyFile, "the client certificate's key (PEM)")
            ->type_name("FILE");
        app->add_option("--mqtt-tls-key-credential", options_.mqttTlsKeyCredential,
                        "the key as the systemd credential NAME")
            ->type_name("NAME");
        app->add_option("--mqtt-tls-key-password-file", options_.mqttTlsKeyPasswordFile,
                        "the key's password: the first line of FILE")
            ->type_name("FILE");
        app->add_option("--mqtt-tls-key-password-credential", options_.mqttTlsKeyPasswordCredential,
                        "the key's password: the first line of the systemd\ncredential NAME")
            ->type_name("NAME");
        app->add_flag("--mqtt-tls-insecure-any-host-name", options_.mqtt.tlsInsecureAnyHostName,
                      "INSECURE: take any certificate of the authority, whoever\nholds it, without checking the "
                      "broker's host name in it")
            ->disable_flag_override();
    }

    // The Sparkplug B face.
    void DefineSparkplug(CLI::App* app) {
        app->add_option("--sparkplug-group", options_.sparkplug.group,
                        "be a Sparkplug B edge node (id LINE) in GROUP")
            ->type_name("GROUP");
        app->add_option("--sparkplug-primary-host", options_.sparkplug.primaryHost,
                        "Sparkplug B births only while the host ID's STATE is online")
            ->type_name("ID");
        AddCountOption(app, "--sparkplug-buffer", 0, 1000000, &options_.sparkplug.buffer,
                       "changes kept for Sparkplug B while the node is not born\n(default 10000; the oldest dropped)");
        app->add_flag("--sparkplug-only", options_.sparkplugOnly, "Sparkplug B alone: no plain topics")
            ->disable_flag_override();
    }

    // Whether there are points at all is known once the file is read.
    std::string CheckOperands() override { return ""; }

    int Run(Host& host) override {
        // From the start: a SIGHUP before the polling runs is a reload
        // that finds the plan being made from the files already.
        const ReloadOnHangup reloadOnHangup;
        BridgePlan plan;
        std::string error;
        int prepared = kExitOk;
        if (!MakePlan(host.entry, host.invocation->port, &plan, &error, &prepared)) {
            Complain(host, error + (check_ ? "" : "; the bridge did not start"));
            return prepared;
        }
        if (check_) return ReportCheck(host, plan);
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!ResolvePortSetup(host, &setup, &exitCode)) return exitCode;
        // A device missing at the start is one that went away: the bridge
        // runs, says so, and opens the port when it comes.
        std::string missing;
        if (OpenPort(host.entry, &context, setup) != kResultOk) {
            missing = DiagnosePortOpen(setup.name);
            if (missing.empty()) missing = "Open failed";
            LogLine(LogLevel::kWarning, "bridge",
                    "cannot open port " + Printable(setup.name) + " (" + Printable(missing) +
                        "); the bridge starts without it");
        }

        std::vector<BridgePointReport> report;
        bool opened = false;
        BridgeReload reload;
        reload.requested = &g_reloadRequested;
        reload.prepare = [&host](BridgePlan* fresh, std::vector<std::string>* restartKeys, std::string* why) {
            return PrepareReload(host, fresh, restartKeys, why);
        };
        {
            const StopOnSignal stopOnSignal;
            exitCode = RunBridge(host.entry, &context, setup, plan, &StopOnSignal::Flag(), {}, &error, &report,
                                 missing, &opened, reload);
        }
        if (exitCode != kExitOk) Complain(host, error);
        AddPortJson(&host.document, setup);
        AddReportJson(&host.document, report);
        return opened ? Worse(exitCode, CloseOrExplain(host, &context, setup)) : exitCode;
    }

private:
    // The plan from the options and files as parsed: the line's topic
    // prefix, the points read and checked with the driver.
    bool MakePlan(QmxMainFunction entry, const std::string& port, BridgePlan* plan, std::string* error,
                  int* exitCode) {
        options_.addresses = operands;
        options_.checkOnly = check_;
        // Points on the command line stand for those of the file.
        if (!operands.empty()) options_.listed.clear();
        // One prefix per line, so that bridges on one broker never share a
        // status topic or a set.
        if (!prefixGiven_ && !options_.noMqtt) {
            const std::string line = BridgeLineName(configFile_, port);
            if (line.empty()) {
                *error = "no line name for the topics in " + Quoted(configFile_.empty() ? port : configFile_) +
                         ": give --topic-prefix";
                *exitCode = kExitUsage;
                return false;
            }
            options_.mqtt.topicPrefix = "tz52/" + line;
        }
        // The edge node's id is the line's name, as in the plain topics.
        if (!options_.sparkplug.group.empty()) {
            options_.sparkplug.node = BridgeLineName(configFile_, port);
            if (options_.sparkplug.node.empty()) {
                *error = "no line name for the Sparkplug B edge node id in " +
                         Quoted(configFile_.empty() ? port : configFile_);
                *exitCode = kExitUsage;
                return false;
            }
        }
        return PrepareBridge(entry, options_, plan, error, exitCode);
    }

    // The command line parsed again as at the start, the configuration file
    // and the points file read again. The port and its line settings are
    // the running port's: a change is named for a restart.
    static bool PrepareReload(Host& host, BridgePlan* plan, std::vector<std::string>* restartKeys,
                              std::string* error) {
        CommandLine commandLine;
        const ParseOutcome parsed = commandLine.Parse(host.arguments);
        auto* again = dynamic_cast<BridgeCommand*>(parsed.command);
        if (!parsed.ok || parsed.help || again == nullptr) {
            *error = parsed.error.empty() ? "the command line no longer parses" : parsed.error;
            return false;
        }
        const Invocation& now = commandLine.invocation();
        int exitCode = kExitOk;
        if (!again->MakePlan(host.entry, host.invocation->port, plan, error, &exitCode)) return false;
        if (now.port != host.invocation->port) restartKeys->push_back("port");
        SameLine(host.invocation->line, now.line, restartKeys);
        return true;
    }

    int ReportCheck(Host& host, const BridgePlan& plan) {
        Json points = Json::array();
        for (const BridgePoint& point : plan.points) points.push_back(point.name);
        host.document["checked"] = true;
        host.document["points"] = points;
        if (plan.mqttEnabled) host.document["topicPrefix"] = plan.mqtt.topicPrefix;
        if (!plan.modbus.listen.empty()) host.document["modbusListen"] = plan.modbus.listen;
        if (!host.invocation->json) {
            std::string faces;
            if (plan.mqttEnabled) faces += ", topics under " + Printable(plan.mqtt.topicPrefix) + "/";
            if (!plan.modbus.listen.empty()) faces += ", Modbus TCP on " + Printable(plan.modbus.listen);
            std::printf("tz52 bridge: good: %zu points on %s%s\n", plan.points.size(),
                        Printable(host.invocation->port).c_str(), faces.c_str());
        }
        return kExitOk;
    }

    // Per point its reads, failedReads, lastResult and lastError, and the
    // failures of all points.
    static void AddReportJson(Json* document, const std::vector<BridgePointReport>& report) {
        Json points = Json::array();
        int64_t failures = 0;
        for (const BridgePointReport& point : report) {
            Json entry = {{"point", point.point},
                          {"reads", point.reads},
                          {"failedReads", point.failedReads},
                          {"lastResult", point.lastResult < 0 ? Json(nullptr) : Json(point.lastResult)}};
            if (!point.lastError.empty()) entry["lastError"] = point.lastError;
            points.push_back(entry);
            failures += point.failedReads;
        }
        (*document)["points"] = points;
        (*document)["failures"] = failures;
    }

    BridgeOptions options_;
    std::string configFile_;
    bool check_ = false;
    bool prefixGiven_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeBridgeCommand() { return std::make_unique<BridgeCommand>(); }
