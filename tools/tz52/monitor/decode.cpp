// The parts of tz52 monitor that every platform has: the session that turns
// pieces into shown records, and decoding a capture file.
#include <cstdio>

#include "tools/common/cli/exit_codes.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/tz52/monitor/monitor.h"
#include "tools/tz52/monitor/capture.h"

namespace tz52monitor {

const char* MonitorHelpText() {
    return "Sits between a host's port and a controller: opens the controller's serial\n"
           "device (--device), creates a pseudo-terminal for the host to open instead\n"
           "(printed as \"port pts/N\"), and passes every byte both ways unchanged and at\n"
           "once. One line per exchange: time, station, command, value read, reply time\n"
           "(from the request's last byte to the reply's last byte) and the verdict: ok;\n"
           "bad pair at byte N (counted from 0); wrong first byte; short reply (K of N\n"
           "bytes); no reply; stray bytes (COUNT). No reply: nothing from the controller\n"
           "within the read limit (--timeout) plus 20 ms. Ctrl-C, SIGTERM or the end of a\n"
           "capture prints a summary. The line options must be those the host uses.\n\n"
           "--decode FILE reads a capture instead: the monitor's own (-o), or lines\n"
           "\"[TIME] > 81 7E 01 7E ...\" (from the host) and \"[TIME] < FE 00 00 7F ...\"\n"
           "(from the controller); TIME is optional: milliseconds (12.345) or a time of\n"
           "day (23:41:07.123); lines starting with # are comments; a line that cannot be\n"
           "read is named and left out (exit 1); a capture that cannot be read at all\n"
           "(a read error, a directory, a line over 64 KiB, a file over 256 MiB) is\n"
           "exit 74, with nothing decoded. Live monitoring needs Linux; --decode works\n"
           "everywhere.\n";
}

int64_t QuietLimitUs(int readLimitMs) { return (static_cast<int64_t>(readLimitMs) + kQuietMarginMs) * 1000; }

MonitorSession::MonitorSession(const DisplayOptions& display, int readLimitMs, FILE* out)
    : display_(display), tracker_(QuietLimitUs(readLimitMs)), out_(out) {}

void MonitorSession::Add(const Piece& piece, int64_t lagUs) {
    tracker_.Add(piece, &records_);
    Show(lagUs);
}

void MonitorSession::AdvanceTo(int64_t nowUs) {
    tracker_.AdvanceTo(nowUs, &records_);
    Show(0);
}

void MonitorSession::Show(int64_t lagUs) {
    for (const Record& record : records_) {
        summary_.Add(record);
        if (lagUs > kDisplayLagLimitUs) {
            ++leftOff_;
            ++summary_.notShown;
            continue;
        }
        std::string text;
        if (leftOff_ > 0) text += NotShownText(leftOff_, display_);
        leftOff_ = 0;
        if (display_.json) {
            text += RecordJson(record, display_) + "\n";
        } else {
            if (!headerShown_) text += HeaderText(display_);
            headerShown_ = true;
            text += RecordText(record, display_);
        }
        std::fputs(text.c_str(), out_);
    }
    if (!records_.empty()) std::fflush(out_);
    records_.clear();
}

void MonitorSession::Finish() {
    tracker_.Finish(&records_);
    Show(0);
    if (leftOff_ > 0) std::fputs(NotShownText(leftOff_, display_).c_str(), out_);
    leftOff_ = 0;
    std::fputs(SummaryText(summary_, display_).c_str(), out_);
    std::fflush(out_);
}

MonitorOutcome RunMonitorDecode(const MonitorSettings& settings) {
    MonitorOutcome outcome;
    // Read whole and checked first: a read error or a file that never ends
    // is said, and nothing of it decoded as if it were the capture. Captures
    // of a long day run to tens of megabytes; the monitor writes a piece of
    // at most 4096 bytes as one line of about 12 KB.
    TextLimits limits;
    limits.maxLineBytes = 64u << 10;
    limits.maxFileBytes = 256u << 20;
    std::vector<std::string> lines;
    std::string error;
    if (!ReadTextLines(settings.decodePath, limits, &lines, &error)) {
        outcome.exitCode = kExitCodeFileError;
        outcome.failure = "cannot read the capture " + error;
        return outcome;
    }
    CaptureContents contents = ReadCaptureLines(lines);
    lines = std::vector<std::string>();

    DisplayOptions display = settings.display;
    display.hasClock = contents.facts.hasClock;
    display.clockAtZeroUs = contents.facts.clockAtZeroUs;
    if (contents.dayTimes) {
        display.hasClock = true;
        display.clockAtZeroUs = contents.firstDayTimeUs;
    }
    const int readLimitMs = !settings.readLimitGiven && contents.facts.hasReadLimit ? contents.facts.readLimitMs
                                                                                    : settings.readLimitMs;
    const std::string name = Printable(settings.decodePath);
    for (const CaptureFault& fault : contents.faults) {
        std::fprintf(stderr, "tz52 monitor: %s:%zu: cannot read the line, left out: %s\n", name.c_str(), fault.line,
                     fault.error.c_str());
    }
    MonitorSession session(display, readLimitMs, stdout);
    for (const Piece& piece : contents.pieces) session.Add(piece, 0);
    session.Finish();
    outcome.printed = true;
    outcome.exitCode = contents.faults.empty() ? 0 : 1;
    return outcome;
}

}  // namespace tz52monitor
