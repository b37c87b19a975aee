// tz52 monitor: sits between a host's port and a controller, passes every
// byte through unchanged and at once, and shows every exchange decoded and
// timed; or decodes a capture of such a line. The command's own file turns
// the command line into MonitorSettings; these run it.
#ifndef TZ52_TOOLS_TZ52_MONITOR_MONITOR_H
#define TZ52_TOOLS_TZ52_MONITOR_MONITOR_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/tz52/monitor/exchanges.h"
#include "tools/tz52/monitor/output.h"

namespace tz52monitor {

// An exchange ends as "no reply" (or a short reply) when nothing came from
// the controller for the read limit plus this margin: the host has given up
// by then. The margin allows for the time serial adapters and the monitor
// itself take to pass bytes on.
constexpr int kQuietMarginMs = 20;

// A live display more than this far behind the line leaves exchanges off
// (and says how many) until it has caught up; nothing is left off the line,
// the capture or the summary.
constexpr int64_t kDisplayLagLimitUs = 500000;

struct MonitorSettings {
    std::string devicePath;   // live: the controller's serial device
    std::string linkPath;     // live: a symlink kept pointing at the host's pseudo-terminal
    std::string capturePath;  // -o: also write a capture file
    std::string decodePath;   // --decode: read this capture instead of a line
    uint32_t baud = 9600;
    int dataBits = 8;
    char parity = 'N';        // N, O, E, M, S
    int stopBits = 1;         // 1 or 2
    int readLimitMs = 40;
    bool readLimitGiven = false;  // --timeout given (it wins over a capture's own)
    DisplayOptions display;
};

int64_t QuietLimitUs(int readLimitMs);

// What both kinds of run share: the tracker, the summary, and the output,
// which leaves records off while it lags too far behind.
class MonitorSession {
public:
    MonitorSession(const DisplayOptions& display, int readLimitMs, FILE* out);
    // `lagUs`: how far behind the line the piece is being handled (0 when
    // decoding a file).
    void Add(const Piece& piece, int64_t lagUs);
    void AdvanceTo(int64_t nowUs);
    // Ends everything open and prints the summary.
    void Finish();
    Summary& summary() { return summary_; }
    DisplayOptions& display() { return display_; }

private:
    void Show(int64_t lagUs);

    DisplayOptions display_;
    ExchangeTracker tracker_;
    Summary summary_;
    FILE* out_;
    std::vector<Record> records_;
    uint64_t leftOff_ = 0;  // since the display last caught up
    bool headerShown_ = false;
};

// What tz52 monitor --help says between the usage line and the options.
const char* MonitorHelpText();

// How a run ended. Exit codes as tz52's: 0 done; 1 some capture lines could
// not be read; 2 the device, the pseudo-terminal or the -o file failed; 74
// the capture to decode could not be read.
struct MonitorOutcome {
    int exitCode = 0;
    std::string failure;  // for the caller to report; empty when none
    bool printed = false; // output (lines or JSON lines) went to stdout
};

MonitorOutcome RunMonitorDecode(const MonitorSettings& settings);
// POSIX only; elsewhere it refuses.
MonitorOutcome RunMonitorLive(const MonitorSettings& settings);

}  // namespace tz52monitor

#endif  // TZ52_TOOLS_TZ52_MONITOR_MONITOR_H
