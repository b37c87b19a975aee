// The parts of tz52 monitor that every platform has: the session that turns
// pieces into shown records, and decoding a capture file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/tz52/monitor.h"
#include "tools/tz52/monitor_capture.h"

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
           "read is named and left out (exit 1). Live monitoring needs Linux; --decode\n"
           "works everywhere.\n";
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
    const std::string& path = settings.decodePath;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        outcome.exitCode = 2;
        outcome.failure = "cannot open the capture " + path + ": " + std::strerror(errno);
        return outcome;
    }
    // The capture's own facts (its read limit, its clock) apply from the
    // start, so they are read first.
    CaptureFacts facts;
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
        if (line.compare(0, 2, "# ") == 0) ParseCaptureLine(line, &facts);
    }
    DisplayOptions display = settings.display;
    display.hasClock = facts.hasClock;
    display.clockAtZeroUs = facts.clockAtZeroUs;
    const int readLimitMs = !settings.readLimitGiven && facts.hasReadLimit ? facts.readLimitMs : settings.readLimitMs;
    MonitorSession session(display, readLimitMs, stdout);

    int unreadable = 0;
    TimeForm form = TimeForm::kNone;
    int64_t zeroUs = 0;
    int64_t lastUs = kNoTime;
    CaptureFacts ignored;
    for (size_t i = 0; i < lines.size(); ++i) {
        CaptureLine parsed = ParseCaptureLine(lines[i], &ignored);
        if (parsed.kind == CaptureLine::kPiece && parsed.timeForm != TimeForm::kNone) {
            if (form == TimeForm::kNone) {
                form = parsed.timeForm;
                // Times of day count from the first; their clock is what they say.
                if (form == TimeForm::kDayTime) {
                    zeroUs = parsed.piece.timeUs;
                    session.display().hasClock = true;
                    session.display().clockAtZeroUs = zeroUs;
                }
            }
            if (parsed.timeForm != form) {
                parsed.kind = CaptureLine::kError;
                parsed.error = "times in milliseconds and times of day mixed in one capture";
            } else {
                int64_t us = parsed.piece.timeUs - zeroUs;
                // A time of day half a day or more before the one above
                // crossed midnight.
                if (form == TimeForm::kDayTime && lastUs != kNoTime && lastUs - us >= kMicrosecondsPerDay / 2) {
                    us += kMicrosecondsPerDay;
                }
                if (lastUs != kNoTime && us < lastUs) {
                    parsed.kind = CaptureLine::kError;
                    parsed.error = "the time goes back";
                } else {
                    parsed.piece.timeUs = us;
                    lastUs = us;
                }
            }
        }
        if (parsed.kind == CaptureLine::kError) {
            ++unreadable;
            std::fprintf(stderr, "tz52 monitor: %s:%zu: cannot read the line, left out: %s\n", path.c_str(), i + 1,
                         parsed.error.c_str());
            continue;
        }
        if (parsed.kind == CaptureLine::kPiece) session.Add(parsed.piece, 0);
    }
    session.Finish();
    outcome.printed = true;
    outcome.exitCode = unreadable == 0 ? 0 : 1;
    return outcome;
}

}  // namespace tz52monitor
