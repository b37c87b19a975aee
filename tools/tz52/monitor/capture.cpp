#include "tools/tz52/monitor/capture.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <vector>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/monitor/output.h"

namespace tz52monitor {

namespace {

const char kClockFact[] = "# clock ";
const char kReadLimitFact[] = "# read limit ";

// Digits, then an optional fraction of up to six digits: a count of
// `unitUs` microseconds. False for anything else.
bool ParseDecimal(const std::string& text, int64_t unitUs, int64_t* us) {
    size_t at = 0;
    int64_t whole = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        if (whole > 1000000000000ll) return false;
        whole = whole * 10 + (text[at++] - '0');
    }
    if (at == 0) return false;
    int64_t fraction = 0;
    int64_t scale = unitUs;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t digitsFrom = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            if (scale % 10 != 0) return false;  // finer than a microsecond
            scale /= 10;
            fraction += (text[at++] - '0') * scale;
        }
        if (at == digitsFrom) return false;
    }
    if (at != text.size()) return false;
    *us = whole * unitUs + fraction;
    return true;
}

// "23:41:07" or "23:41:07.123456" to microseconds since midnight.
bool ParseDayTime(const std::string& text, int64_t* us) {
    if (text.size() < 8 || text[2] != ':' || text[5] != ':') return false;
    int64_t hours = 0, minutes = 0, seconds = 0;
    if (!ParseDecimal(text.substr(0, 2), 1, &hours) || !ParseDecimal(text.substr(3, 2), 1, &minutes) ||
        !ParseDecimal(text.substr(6), 1000000, &seconds)) {
        return false;
    }
    if (hours > 23 || minutes > 59 || seconds >= 60000000) return false;
    *us = (hours * 3600 + minutes * 60) * 1000000 + seconds;
    return true;
}

bool HexDigit(char c, int* value) {
    if (c >= '0' && c <= '9') *value = c - '0';
    else if (c >= 'a' && c <= 'f') *value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') *value = c - 'A' + 10;
    else return false;
    return true;
}

}  // namespace

std::string CaptureHeaderText(const CaptureFacts& facts) {
    std::string text = "# tz52 monitor capture: TIME (ms since the start) > from the host, < from the controller\n";
    if (facts.hasClock) text += kClockFact + DayTimeText(facts.clockAtZeroUs, 6) + "\n";
    if (facts.hasReadLimit) text += kReadLimitFact + std::to_string(facts.readLimitMs) + " ms\n";
    return text;
}

std::string CaptureLineText(const Piece& piece) {
    char time[32];
    std::snprintf(time, sizeof time, "%lld.%03lld", static_cast<long long>(piece.timeUs / 1000),
                  static_cast<long long>(piece.timeUs % 1000));
    return std::string(time) + (piece.side == Side::kHost ? " > " : " < ") + tz52line::HexBytes(piece.bytes) + "\n";
}

CaptureLine ParseCaptureLine(const std::string& line, CaptureFacts* facts) {
    CaptureLine parsed;
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || std::isspace(static_cast<unsigned char>(text.back())))) {
        text.pop_back();
    }
    if (text.compare(0, sizeof kClockFact - 1, kClockFact) == 0) {
        int64_t us = 0;
        if (ParseDayTime(text.substr(sizeof kClockFact - 1), &us)) {
            facts->hasClock = true;
            facts->clockAtZeroUs = us;
        }
        return parsed;
    }
    if (text.compare(0, sizeof kReadLimitFact - 1, kReadLimitFact) == 0) {
        int64_t ms = 0;
        std::string value = text.substr(sizeof kReadLimitFact - 1);
        if (value.size() > 3 && value.compare(value.size() - 3, 3, " ms") == 0) value.resize(value.size() - 3);
        if (ParseDecimal(value, 1, &ms) && ms >= 10 && ms <= 60000) {
            facts->hasReadLimit = true;
            facts->readLimitMs = static_cast<int>(ms);
        }
        return parsed;
    }
    std::istringstream words(text);
    std::vector<std::string> tokens;
    for (std::string token; words >> token;) tokens.push_back(token);
    if (tokens.empty() || tokens[0][0] == '#') return parsed;

    parsed.kind = CaptureLine::kError;
    size_t at = 0;
    if (tokens[0] != ">" && tokens[0] != "<") {
        std::string time = tokens[0];
        if (time.find(':') != std::string::npos) {
            if (!ParseDayTime(time, &parsed.piece.timeUs)) {
                parsed.error = "'" + Printable(time) + "' is not a time of day (HH:MM:SS or HH:MM:SS.ffffff)";
                return parsed;
            }
            parsed.timeForm = TimeForm::kDayTime;
        } else {
            if (time.size() > 2 && time.compare(time.size() - 2, 2, "ms") == 0) time.resize(time.size() - 2);
            if (!ParseDecimal(time, 1000, &parsed.piece.timeUs)) {
                parsed.error = "'" + Printable(tokens[0]) + "' is neither a direction mark (> or <) nor a time (12.345 or "
                                                 "23:41:07.123)";
                return parsed;
            }
            parsed.timeForm = TimeForm::kMilliseconds;
        }
        at = 1;
    }
    if (at >= tokens.size() || (tokens[at] != ">" && tokens[at] != "<")) {
        parsed.error = "no direction mark: > (from the host) or < (from the controller)";
        return parsed;
    }
    parsed.piece.side = tokens[at] == ">" ? Side::kHost : Side::kDevice;
    for (++at; at < tokens.size(); ++at) {
        const std::string& hex = tokens[at];
        int high = 0, low = 0;
        for (size_t i = 0; i < hex.size(); i += 2) {
            if (i + 1 >= hex.size() || !HexDigit(hex[i], &high) || !HexDigit(hex[i + 1], &low)) {
                parsed.error = "'" + Printable(hex) + "' is not hexadecimal bytes (pairs of digits 0-9, A-F)";
                return parsed;
            }
            parsed.piece.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
    }
    if (parsed.piece.bytes.empty()) {
        parsed.error = "no bytes after the direction mark";
        return parsed;
    }
    parsed.kind = CaptureLine::kPiece;
    return parsed;
}

CaptureContents ReadCaptureLines(const std::vector<std::string>& lines) {
    CaptureContents contents;
    // The capture's own facts (its read limit, its clock) apply from the
    // start, so they are read first.
    for (const std::string& line : lines) {
        if (line.compare(0, 2, "# ") == 0) ParseCaptureLine(line, &contents.facts);
    }
    TimeForm form = TimeForm::kNone;
    int64_t lastUs = kNoTime;
    CaptureFacts ignored;
    for (size_t i = 0; i < lines.size(); ++i) {
        CaptureLine parsed = ParseCaptureLine(lines[i], &ignored);
        if (parsed.kind == CaptureLine::kPiece && parsed.timeForm != TimeForm::kNone) {
            if (form == TimeForm::kNone) {
                form = parsed.timeForm;
                // Times of day count from the first; their clock is what they say.
                if (form == TimeForm::kDayTime) {
                    contents.dayTimes = true;
                    contents.firstDayTimeUs = parsed.piece.timeUs;
                }
            }
            if (parsed.timeForm != form) {
                parsed.kind = CaptureLine::kError;
                parsed.error = "times in milliseconds and times of day mixed in one capture";
            } else {
                int64_t us = parsed.piece.timeUs - contents.firstDayTimeUs;
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
        if (parsed.kind == CaptureLine::kError) contents.faults.push_back({i + 1, parsed.error});
        if (parsed.kind == CaptureLine::kPiece) contents.pieces.push_back(std::move(parsed.piece));
    }
    return contents;
}

}  // namespace tz52monitor
