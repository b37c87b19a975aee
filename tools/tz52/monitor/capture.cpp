#include "tools/tz52/monitor/capture.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>
#include <vector>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"
#include "tools/tz52/monitor/output.h"

namespace tz52monitor {

namespace {

const char kClockFact[] = "# clock ";
const char kReadLimitFact[] = "# read limit ";
// A capture's read limit outside these is not believed.
constexpr int64_t kSmallestReadLimitMs = 10;
constexpr int64_t kLargestReadLimitMs = 60000;

// Captures are read back in microseconds; this bounds a time to some
// three centuries, far beyond any capture, so that no sum overflows.
constexpr int64_t kLatestTimeUs = 10000000000000000ll;
constexpr int64_t kMicrosecondsPerSecond = 1000000;

// "23:41:07" or "23:41:07.123456" to microseconds since midnight.
bool ParseDayTime(const std::string& text, int64_t* us) {
    if (text.size() < 8 || text[2] != ':' || text[5] != ':') return false;
    int64_t hours = 0, minutes = 0, secondsUs = 0;
    if (!ParseDecimalUnits(std::string_view(text).substr(0, 2), 1, 23, &hours) ||
        !ParseDecimalUnits(std::string_view(text).substr(3, 2), 1, 59, &minutes) ||
        !ParseDecimalUnits(std::string_view(text).substr(6), kMicrosecondsPerSecond, 60 * kMicrosecondsPerSecond - 1,
                           &secondsUs)) {
        return false;
    }
    *us = (hours * 3600 + minutes * 60) * kMicrosecondsPerSecond + secondsUs;
    return true;
}

// "817E" or "81" to its bytes; false unless the text is pairs of
// hexadecimal digits.
bool ParseHexBytes(const std::string& text, Bytes* bytes) {
    for (size_t i = 0; i < text.size(); i += 2) {
        if (i + 1 >= text.size()) return false;
        uint8_t byte = 0;
        const char* pair = text.data() + i;
        const auto [end, error] = std::from_chars(pair, pair + 2, byte, 16);
        if (error != std::errc() || end != pair + 2) return false;
        bytes->push_back(byte);
    }
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

namespace {

// A comment line that carries a fact updates *facts; true for any such line,
// read or not.
bool ReadFactLine(const std::string& text, CaptureFacts* facts) {
    if (text.compare(0, sizeof kClockFact - 1, kClockFact) == 0) {
        int64_t us = 0;
        if (ParseDayTime(text.substr(sizeof kClockFact - 1), &us)) {
            facts->hasClock = true;
            facts->clockAtZeroUs = us;
        }
        return true;
    }
    if (text.compare(0, sizeof kReadLimitFact - 1, kReadLimitFact) == 0) {
        int64_t ms = 0;
        std::string value = text.substr(sizeof kReadLimitFact - 1);
        if (value.size() > 3 && value.compare(value.size() - 3, 3, " ms") == 0) value.resize(value.size() - 3);
        if (ParseDecimalUnits(value, 1, kLargestReadLimitMs, &ms) && ms >= kSmallestReadLimitMs) {
            facts->hasReadLimit = true;
            facts->readLimitMs = static_cast<int>(ms);
        }
        return true;
    }
    return false;
}

// The time a piece's line starts with, as milliseconds or a time of day;
// false with parsed->error set.
bool ReadPieceTime(const std::string& token, CaptureLine* parsed) {
    std::string time = token;
    if (time.find(':') != std::string::npos) {
        if (!ParseDayTime(time, &parsed->piece.timeUs)) {
            parsed->error = "'" + Printable(time) + "' is not a time of day (HH:MM:SS or HH:MM:SS.ffffff)";
            return false;
        }
        parsed->timeForm = TimeForm::kDayTime;
        return true;
    }
    if (time.size() > 2 && time.compare(time.size() - 2, 2, "ms") == 0) time.resize(time.size() - 2);
    if (!ParseDecimalUnits(time, 1000, kLatestTimeUs, &parsed->piece.timeUs)) {
        parsed->error = "'" + Printable(token) + "' is neither a direction mark (> or <) nor a time (12.345 or "
                                                 "23:41:07.123)";
        return false;
    }
    parsed->timeForm = TimeForm::kMilliseconds;
    return true;
}

// [TIME] > or <, then the bytes.
void ReadPieceLine(const std::vector<std::string>& tokens, CaptureLine* parsed) {
    parsed->kind = CaptureLine::kError;
    size_t at = 0;
    if (tokens[0] != ">" && tokens[0] != "<") {
        if (!ReadPieceTime(tokens[0], parsed)) return;
        at = 1;
    }
    if (at >= tokens.size() || (tokens[at] != ">" && tokens[at] != "<")) {
        parsed->error = "no direction mark: > (from the host) or < (from the controller)";
        return;
    }
    parsed->piece.side = tokens[at] == ">" ? Side::kHost : Side::kDevice;
    for (++at; at < tokens.size(); ++at) {
        if (!ParseHexBytes(tokens[at], &parsed->piece.bytes)) {
            parsed->error = "'" + Printable(tokens[at]) + "' is not hexadecimal bytes (pairs of digits 0-9, A-F)";
            return;
        }
    }
    if (parsed->piece.bytes.empty()) {
        parsed->error = "no bytes after the direction mark";
        return;
    }
    parsed->kind = CaptureLine::kPiece;
}

}  // namespace

CaptureLine ParseCaptureLine(const std::string& line, CaptureFacts* facts) {
    CaptureLine parsed;
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || std::isspace(static_cast<unsigned char>(text.back())))) {
        text.pop_back();
    }
    if (ReadFactLine(text, facts)) return parsed;
    std::istringstream words(text);
    std::vector<std::string> tokens;
    for (std::string token; words >> token;) tokens.push_back(token);
    if (tokens.empty() || tokens[0][0] == '#') return parsed;
    ReadPieceLine(tokens, &parsed);
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
