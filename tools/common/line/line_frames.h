// The line code as the tools see it, kept apart from the driver's own code
// so that the simulator and the monitor check the driver instead of repeating
// it: recognising request frames in a byte stream, the command table (opcode,
// payload length, reply data count), decoding the command a request carries,
// building reply frames and judging the replies a controller sent.
//
// Request on the line (station 1 to 127):
//   station + 0x80, 0x7F - station, 0x01, 0x7E, then per payload byte p the
//   pair (0x7F - p, p). The first payload byte is the opcode, which fixes the
//   payload length.
// Reply on the line:
//   0xFE, any byte, one complement pair, then per data byte d the pair
//   (d, 0x7F - d). A controller we build sends 0xFE 0x00 0x00 0x7F first.
#ifndef TZ52_TOOLS_COMMON_LINE_LINE_FRAMES_H
#define TZ52_TOOLS_COMMON_LINE_LINE_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tz52line {

using Bytes = std::vector<uint8_t>;

// What a command does to the controller's memory.
enum class CommandKind {
    kReadAnalog,    // A input by channel operand, two data bytes
    kReadBinary,    // B input by index, one data byte
    kReadWord,      // word memory by device address, split word back
    kReadOutput,    // O output by index, one data byte 0 or 1
    kReadByteWord,  // two bytes of byte memory (high at a, low at a + 1), split word back
    kWriteWord,     // word memory: a 16-bit value to a device address
    kWriteBit,      // O output: bit 0 of the operand
    kWriteByte      // byte memory: one byte to a 16-bit address
};

struct CommandFormat {
    uint8_t opcode;
    CommandKind kind;
    size_t payloadLength;  // opcode included
    size_t replyDataCount;
};

// The format of `opcode`, or null for an opcode the controller does not know.
const CommandFormat* FindCommandFormat(uint8_t opcode);

// Bytes on the line: a request of `format`, and the reply it asks for.
size_t RequestLength(const CommandFormat& format);
size_t ReplyLength(const CommandFormat& format);
// Bytes on the line of one attempt to read a point of `type` (A, B, C, M, O,
// S), request and reply; 0 for another letter.
size_t ReadExchangeLength(char type);

// A whole, well-formed request taken from the line.
struct Request {
    int station = 0;
    Bytes frame;    // every byte as it came
    Bytes payload;  // the payload bytes, opcode first
};

// A decoded command. `address` is the A or B index, the word device address,
// the O index, or the byte address; `value` is the word, bit or byte written.
struct Command {
    const CommandFormat* format = nullptr;
    int station = 0;
    int address = 0;
    uint16_t value = 0;
};

// Decodes the payload of a well-formed request; the formats guarantee the
// length.
Command DecodeCommand(const Request& request);

// The split word: three 7-bit bytes carrying bits 15-9, bits 7-1, and
// bit 8 (in bit 1) with bit 0 (in bit 0).
void SplitWord(uint16_t word, uint8_t out[3]);
uint16_t JoinSplitWord(uint8_t high, uint8_t middle, uint8_t low);

// The reply frame carrying `data` (each byte 0x00 to 0x7F).
Bytes BuildReply(const Bytes& data);

// What a host reading `expectedLength` bytes makes of the reply bytes that
// came, checked in the order a host checks them: length, first byte, pairs
// (each pair's two bytes must add up to exactly 0x7F, not modulo 256).
enum class ReplyVerdict { kOk, kNoReply, kShort, kWrongFirstByte, kBadPair };
struct ReplyCheck {
    ReplyVerdict verdict = ReplyVerdict::kOk;
    size_t badPairAt = 0;  // kBadPair: position of the pair's first byte, from 0
};
ReplyCheck CheckReply(const Bytes& reply, size_t expectedLength);

// The value a read command's good reply carries, as a host combines its data
// bytes; false for a write, whose reply is an acknowledgement.
bool ReplyValue(const Command& command, const Bytes& reply, uint16_t* value);

// How the stream decoder ended one step.
enum class DecodeEvent {
    kNeedMore,  // nothing whole yet
    kRequest,   // a well-formed request
    kRejected   // bytes thrown away: noise, or a frame that does not check
};

// Reassembles requests from a byte stream that arrives in arbitrary pieces.
// Bytes that cannot begin a request are dropped as noise; a frame whose start,
// pair or opcode does not check is dropped up to the next byte that could
// begin a request, so decoding resynchronises on the next valid start.
class RequestDecoder {
public:
    void Feed(const uint8_t* data, size_t count);

    // One step. kRequest fills `request`; kRejected fills `dropped` and
    // `reason` with what was thrown away and why.
    DecodeEvent Next(Request* request, Bytes* dropped, std::string* reason);

    size_t Pending() const { return buffer_.size(); }
    // Hands back the bytes waiting for the rest of a frame, and forgets them.
    Bytes TakePending();

private:
    DecodeEvent Drop(size_t count, Bytes* dropped, std::string* reason, std::string why);
    Bytes buffer_;
};

// Point naming for people: "001C001" style addresses from the device
// addresses of the commands, or a raw form when no point lies there.
std::string DescribeCommand(const Command& command);
// The point (or raw address) alone, and whether the command writes there.
std::string CommandTarget(const Command& command, bool* isWrite);

// Two hex digits per byte, separated by spaces.
std::string HexBytes(const Bytes& bytes);

}  // namespace tz52line

#endif  // TZ52_TOOLS_COMMON_LINE_LINE_FRAMES_H
