#include "tools/common/line/line_frames.h"

#include <cstdio>

#include "tools/common/line/line_points.h"

namespace tz52line {

namespace {

constexpr uint8_t kPairSum = 0x7F;
constexpr uint8_t kLowestStartByte = 0x81;  // station 1
constexpr uint8_t kStartThird = 0x01;
constexpr uint8_t kStartFourth = 0x7E;
constexpr size_t kStartLength = 4;
constexpr uint8_t kReplyStart = 0xFE;

constexpr CommandFormat kCommandFormats[] = {
    {0x34, CommandKind::kReadAnalog, 2, 2},
    {0x38, CommandKind::kReadBinary, 2, 1},
    {0x20, CommandKind::kReadWord, 2, 3},    // word address 0 to 127
    {0x24, CommandKind::kReadWord, 2, 3},    // word address 128 to 255
    {0x48, CommandKind::kReadWord, 2, 3},    // even word address 256 to 510
    {0x4C, CommandKind::kReadWord, 2, 3},    // even word address 512 to 766
    {0x2C, CommandKind::kReadOutput, 2, 1},
    {0x41, CommandKind::kReadByteWord, 4, 3},
    {0x0F, CommandKind::kWriteWord, 5, 0},
    {0x28, CommandKind::kWriteBit, 2, 0},
    {0x47, CommandKind::kWriteByte, 5, 1},
};

uint8_t Low7(int value) { return static_cast<uint8_t>(value & 0x7F); }

// The word device address carried by the one operand of a word read.
int WordReadAddress(uint8_t opcode, uint8_t operand) {
    switch (opcode) {
        case 0x20: return operand;
        case 0x24: return 128 + operand;
        case 0x48: return 256 + 2 * operand;
        default: return 512 + 2 * operand;  // 0x4C
    }
}

}  // namespace

const CommandFormat* FindCommandFormat(uint8_t opcode) {
    for (const CommandFormat& format : kCommandFormats) {
        if (format.opcode == opcode) return &format;
    }
    return nullptr;
}

size_t RequestLength(const CommandFormat& format) { return kStartLength + 2 * format.payloadLength; }
size_t ReplyLength(const CommandFormat& format) { return kStartLength + 2 * format.replyDataCount; }

size_t ReadExchangeLength(char type) {
    // The command that reads each type; C and M share the word reads, which
    // all have one length.
    static constexpr struct {
        char type;
        uint8_t opcode;
    } kReads[] = {{'A', 0x34}, {'B', 0x38}, {'C', 0x20}, {'M', 0x20}, {'O', 0x2C}, {'S', 0x41}};
    for (const auto& read : kReads) {
        if (read.type != type) continue;
        const CommandFormat* format = FindCommandFormat(read.opcode);
        return format == nullptr ? 0 : RequestLength(*format) + ReplyLength(*format);
    }
    return 0;
}

void SplitWord(uint16_t word, uint8_t out[3]) {
    out[0] = static_cast<uint8_t>(word >> 9);
    out[1] = Low7(word >> 1);
    out[2] = static_cast<uint8_t>(2 * ((word >> 8) & 1) + (word & 1));
}

uint16_t JoinSplitWord(uint8_t high, uint8_t middle, uint8_t low) {
    return static_cast<uint16_t>(512 * high + 256 * ((low >> 1) & 1) + 2 * middle + (low & 1));
}

Command DecodeCommand(const Request& request) {
    Command command;
    command.station = request.station;
    command.format = FindCommandFormat(request.payload[0]);
    const Bytes& p = request.payload;
    switch (command.format->kind) {
        case CommandKind::kReadAnalog:
            command.address = p[1] - kAnalogOperandOffset;
            break;
        case CommandKind::kReadBinary:
        case CommandKind::kReadOutput:
            command.address = p[1];
            break;
        case CommandKind::kReadWord:
            command.address = WordReadAddress(p[0], p[1]);
            break;
        case CommandKind::kReadByteWord:
            command.address = JoinSplitWord(p[1], p[2], p[3]);
            break;
        case CommandKind::kWriteWord:
            // Byte 3 carries address bits 12-8 in its bits 7-3 and address
            // bit 0 in its bit 2, above the two low bits of the split word.
            command.value = JoinSplitWord(p[1], p[2], p[3]);
            command.address = ((p[3] >> 3) << 8) | (p[4] << 1) | ((p[3] >> 2) & 1);
            break;
        case CommandKind::kWriteBit:
            command.address = p[1] >> 1;
            command.value = static_cast<uint16_t>(p[1] & 1);
            break;
        case CommandKind::kWriteByte:
            // The address travels as a split word; the data byte's bit 0 rides
            // in bit 2 of the third byte, its bits 7-1 in the fourth.
            command.address = JoinSplitWord(p[1], p[2], static_cast<uint8_t>(p[3] & 3));
            command.value = static_cast<uint16_t>((p[4] << 1) | ((p[3] >> 2) & 1));
            break;
    }
    return command;
}

Bytes BuildReply(const Bytes& data) {
    Bytes reply = {kReplyStart, 0x00, 0x00, kPairSum};
    for (uint8_t d : data) {
        reply.push_back(d);
        reply.push_back(static_cast<uint8_t>(kPairSum - d));
    }
    return reply;
}

ReplyCheck CheckReply(const Bytes& reply, size_t expectedLength) {
    ReplyCheck check;
    if (reply.empty()) {
        check.verdict = ReplyVerdict::kNoReply;
    } else if (reply.size() < expectedLength) {
        check.verdict = ReplyVerdict::kShort;
    } else if (reply[0] != kReplyStart) {
        check.verdict = ReplyVerdict::kWrongFirstByte;
    } else {
        for (size_t at = 2; at + 1 < expectedLength; at += 2) {
            if (unsigned{reply[at]} + unsigned{reply[at + 1]} != kPairSum) {
                check.verdict = ReplyVerdict::kBadPair;
                check.badPairAt = at;
                break;
            }
        }
    }
    return check;
}

bool ReplyValue(const Command& command, const Bytes& reply, uint16_t* value) {
    // Data byte i sits at 4 + 2i, its complement after it.
    switch (command.format->kind) {
        case CommandKind::kReadAnalog:
            *value = static_cast<uint16_t>(2 * reply[4] + reply[6]);
            return true;
        case CommandKind::kReadBinary:
        case CommandKind::kReadOutput:
            *value = reply[4];
            return true;
        case CommandKind::kReadWord:
        case CommandKind::kReadByteWord:
            *value = JoinSplitWord(reply[4], reply[6], reply[8]);
            return true;
        default:
            return false;
    }
}

void RequestDecoder::Feed(const uint8_t* data, size_t count) {
    buffer_.insert(buffer_.end(), data, data + count);
}

Bytes RequestDecoder::TakePending() {
    Bytes pending;
    pending.swap(buffer_);
    return pending;
}

DecodeEvent RequestDecoder::Drop(size_t count, Bytes* dropped, std::string* reason,
                                 std::string why) {
    // A request can begin only at a byte of 0x81 or more, so everything before
    // the next such byte goes with the rejected bytes.
    while (count < buffer_.size() && buffer_[count] < kLowestStartByte) ++count;
    dropped->assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    *reason = std::move(why);
    return DecodeEvent::kRejected;
}

DecodeEvent RequestDecoder::Next(Request* request, Bytes* dropped, std::string* reason) {
    if (buffer_.empty()) return DecodeEvent::kNeedMore;
    const Bytes& b = buffer_;
    if (b[0] < kLowestStartByte) return Drop(1, dropped, reason, "noise");

    // The start, checked as far as it has come.
    if (b.size() >= 2 && b[1] != 0xFF - b[0]) return Drop(1, dropped, reason, "bad start");
    if (b.size() >= 3 && b[2] != kStartThird) return Drop(1, dropped, reason, "bad start");
    if (b.size() >= 4 && b[3] != kStartFourth) return Drop(1, dropped, reason, "bad start");

    // Every whole pair must add up to 0x7F, and the first carries the opcode.
    const CommandFormat* format = nullptr;
    for (size_t at = kStartLength; at + 1 < b.size(); at += 2) {
        if (b[at] + b[at + 1] != kPairSum) {
            char why[48];
            std::snprintf(why, sizeof why, "bad pair at byte %zu", at);
            return Drop(1, dropped, reason, why);
        }
        if (at == kStartLength) {
            format = FindCommandFormat(b[at + 1]);
            if (format == nullptr) {
                char why[48];
                std::snprintf(why, sizeof why, "unknown opcode %02X", b[at + 1]);
                return Drop(1, dropped, reason, why);
            }
        }
        if (at + 2 >= kStartLength + 2 * format->payloadLength) break;
    }
    if (format == nullptr || b.size() < RequestLength(*format)) return DecodeEvent::kNeedMore;

    const size_t length = RequestLength(*format);
    request->station = b[0] - 0x80;
    request->frame.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(length));
    request->payload.clear();
    for (size_t at = kStartLength; at < length; at += 2) request->payload.push_back(b[at + 1]);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    return DecodeEvent::kRequest;
}

std::string CommandTarget(const Command& command, bool* isWrite) {
    PointRef point;
    point.station = command.station;
    point.index = command.address;
    std::string where;
    bool write = false;
    switch (command.format->kind) {
        case CommandKind::kReadAnalog:
            point.type = 'A';
            where = FormatPoint(point);
            break;
        case CommandKind::kReadBinary:
            point.type = 'B';
            where = FormatPoint(point);
            break;
        case CommandKind::kReadOutput:
        case CommandKind::kWriteBit:
            write = command.format->kind == CommandKind::kWriteBit;
            point.type = 'O';
            where = FormatPoint(point);
            break;
        case CommandKind::kReadWord:
        case CommandKind::kWriteWord:
            write = command.format->kind == CommandKind::kWriteWord;
            if (PointAtWordAddress(command.address, &point.type, &point.index)) {
                where = FormatPoint(point);
            } else {
                char raw[32];
                std::snprintf(raw, sizeof raw, "word @%d", command.address);
                where = raw;
            }
            break;
        case CommandKind::kReadByteWord:
        case CommandKind::kWriteByte: {
            write = command.format->kind == CommandKind::kWriteByte;
            bool low = false;
            if (PointAtByteAddress(command.address, &point.index, &low)) {
                point.type = 'S';
                where = FormatPoint(point);
                if (write) where += low ? " low byte" : " high byte";
            } else {
                char raw[32];
                std::snprintf(raw, sizeof raw, "byte @%04X", command.address);
                where = raw;
            }
            break;
        }
    }
    *isWrite = write;
    return where;
}

std::string DescribeCommand(const Command& command) {
    bool write = false;
    const std::string where = CommandTarget(command, &write);
    if (!write) return "read " + where;
    return "write " + where + " := " + std::to_string(command.value);
}

std::string HexBytes(const Bytes& bytes) {
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    return text;
}

}  // namespace tz52line
