#include "tools/tz52/monitor/exchanges.h"

#include <algorithm>

namespace tz52monitor {

namespace {

Verdict FromReplyCheck(tz52line::ReplyVerdict verdict) {
    switch (verdict) {
        case tz52line::ReplyVerdict::kOk: return Verdict::kOk;
        case tz52line::ReplyVerdict::kNoReply: return Verdict::kNoReply;
        case tz52line::ReplyVerdict::kShort: return Verdict::kShortReply;
        case tz52line::ReplyVerdict::kWrongFirstByte: return Verdict::kWrongFirstByte;
        case tz52line::ReplyVerdict::kBadPair: return Verdict::kBadPair;
    }
    return Verdict::kOk;
}

bool Timed(int64_t a, int64_t b) { return a != kNoTime && b != kNoTime; }

}  // namespace

Verdict Record::Main() const {
    if (!isExchange) return Verdict::kStrayBytes;
    const Verdict verdict = FromReplyCheck(check.verdict);
    return verdict == Verdict::kOk && !stray.empty() ? Verdict::kStrayBytes : verdict;
}

std::string VerdictText(const Record& record) {
    const std::string strayText = "stray bytes (" +
                                  std::to_string(record.isExchange ? record.stray.size() : record.request.size()) + ")";
    if (!record.isExchange) return strayText;
    std::string text;
    switch (FromReplyCheck(record.check.verdict)) {
        case Verdict::kOk: return record.stray.empty() ? "ok" : strayText;
        case Verdict::kBadPair: text = "bad pair at byte " + std::to_string(record.check.badPairAt); break;
        case Verdict::kWrongFirstByte: text = "wrong first byte"; break;
        case Verdict::kShortReply:
            text = "short reply (" + std::to_string(record.reply.size()) + " of " + std::to_string(record.replyLength) +
                   " bytes)";
            break;
        case Verdict::kNoReply: text = "no reply"; break;
        case Verdict::kStrayBytes: break;
    }
    return record.stray.empty() ? text : text + ", " + strayText;
}

const char* VerdictKey(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk: return "ok";
        case Verdict::kBadPair: return "badPair";
        case Verdict::kWrongFirstByte: return "wrongFirstByte";
        case Verdict::kShortReply: return "shortReply";
        case Verdict::kNoReply: return "noReply";
        case Verdict::kStrayBytes: return "strayBytes";
    }
    return "ok";
}

// ---- the tracker -------------------------------------------------------------

void ExchangeTracker::Add(const Piece& piece, std::vector<Record>* out) {
    if (piece.timeUs != kNoTime) AdvanceTo(piece.timeUs, out);
    if (piece.side == Side::kDevice) {
        size_t used = 0;
        if (open_ && current_.reply.size() < current_.replyLength) {
            used = std::min(piece.bytes.size(), current_.replyLength - current_.reply.size());
            current_.reply.insert(current_.reply.end(), piece.bytes.begin(), piece.bytes.begin() + used);
            if (current_.reply.size() == current_.replyLength && Timed(piece.timeUs, current_.timeUs)) {
                current_.replyUs = piece.timeUs - current_.timeUs;
            }
        }
        const Bytes rest(piece.bytes.begin() + used, piece.bytes.end());
        if (open_) {
            current_.stray.insert(current_.stray.end(), rest.begin(), rest.end());
            lastByteUs_ = piece.timeUs;
        } else if (!rest.empty()) {
            AddStray(&deviceStray_, Side::kDevice, piece.timeUs, rest);
            deviceStrayLastUs_ = piece.timeUs;
        }
        return;
    }

    // The host sending again ends what it was waiting for.
    hostLastByteUs_ = piece.timeUs;
    EndExchange(out);
    EndStray(&deviceStray_, out);
    decoder_.Feed(piece.bytes.data(), piece.bytes.size());
    tz52line::Request request;
    Bytes dropped;
    std::string reason;
    for (tz52line::DecodeEvent event; (event = decoder_.Next(&request, &dropped, &reason)) !=
                                      tz52line::DecodeEvent::kNeedMore;) {
        if (event == tz52line::DecodeEvent::kRejected) {
            AddStray(&hostStray_, Side::kHost, piece.timeUs, dropped);
            hostStrayLastUs_ = piece.timeUs;
            continue;
        }
        EndStray(&hostStray_, out);
        EndExchange(out);  // a request sent before the last one was answered
        current_ = Record{};
        current_.number = ++exchanges_;
        current_.timeUs = piece.timeUs;
        current_.station = request.station;
        current_.command = tz52line::DecodeCommand(request);
        current_.request = request.frame;
        current_.replyLength = tz52line::ReplyLength(*current_.command.format);
        open_ = true;
        lastByteUs_ = piece.timeUs;
    }
}

void ExchangeTracker::AdvanceTo(int64_t nowUs, std::vector<Record>* out) {
    if (open_ && Timed(nowUs, lastByteUs_) && nowUs - lastByteUs_ > quietLimitUs_) EndExchange(out);
    // The start of a request that never went on is stray as well.
    if (decoder_.Pending() > 0 && Timed(nowUs, hostLastByteUs_) && nowUs - hostLastByteUs_ > quietLimitUs_) {
        AddStray(&hostStray_, Side::kHost, hostLastByteUs_, decoder_.TakePending());
        hostStrayLastUs_ = hostLastByteUs_;
    }
    if (Timed(nowUs, hostStrayLastUs_) && nowUs - hostStrayLastUs_ > quietLimitUs_) EndStray(&hostStray_, out);
    if (Timed(nowUs, deviceStrayLastUs_) && nowUs - deviceStrayLastUs_ > quietLimitUs_) {
        EndStray(&deviceStray_, out);
    }
}

void ExchangeTracker::Finish(std::vector<Record>* out) {
    EndExchange(out);
    const Bytes pending = decoder_.TakePending();
    if (!pending.empty()) AddStray(&hostStray_, Side::kHost, kNoTime, pending);
    EndStray(&hostStray_, out);
    EndStray(&deviceStray_, out);
}

void ExchangeTracker::EndExchange(std::vector<Record>* out) {
    if (!open_) return;
    open_ = false;
    current_.check = tz52line::CheckReply(current_.reply, current_.replyLength);
    if (current_.check.verdict == tz52line::ReplyVerdict::kOk) {
        current_.hasValue = tz52line::ReplyValue(current_.command, current_.reply, &current_.value);
    }
    out->push_back(current_);
}

void ExchangeTracker::AddStray(Record* stray, Side side, int64_t timeUs, const Bytes& bytes) {
    if (stray->request.empty()) {
        *stray = Record{};
        stray->isExchange = false;
        stray->straySide = side;
        stray->timeUs = timeUs;
    }
    // A stray record keeps its bytes where an exchange keeps its request.
    stray->request.insert(stray->request.end(), bytes.begin(), bytes.end());
}

void ExchangeTracker::EndStray(Record* stray, std::vector<Record>* out) {
    if (stray->request.empty()) return;
    out->push_back(*stray);
    stray->request.clear();
    (stray == &hostStray_ ? hostStrayLastUs_ : deviceStrayLastUs_) = kNoTime;
}

// ---- the summary -------------------------------------------------------------

void Summary::Add(const Record& record) {
    const Verdict verdict = record.Main();
    if (verdict != Verdict::kOk) ++failures[verdict];
    if (!record.isExchange) return;
    if (verdict != Verdict::kStrayBytes && !record.stray.empty()) ++failures[Verdict::kStrayBytes];
    ++exchanges;
    StationCounts& station = stations[record.station];
    ++station.exchanges;
    if (verdict != Verdict::kOk) ++station.failed;
    if (record.replyUs != kNoTime) {
        ++replyTimes[record.replyUs];
        ++replies;
    }
}

bool Summary::ReplyTimes(int64_t* minUs, int64_t* medianUs, int64_t* maxUs) const {
    if (replies == 0) return false;
    *minUs = replyTimes.begin()->first;
    *maxUs = replyTimes.rbegin()->first;
    // The middle reply; for an even count the lower of the two middle ones.
    uint64_t seen = 0;
    const uint64_t middle = (replies - 1) / 2;
    for (const auto& entry : replyTimes) {
        seen += entry.second;
        if (seen > middle) {
            *medianUs = entry.first;
            break;
        }
    }
    return true;
}

}  // namespace tz52monitor
