// The controller's side of the line code: recognising request frames in the
// byte stream, decoding the command they carry, and building reply frames.
//
// Request on the line (station 1 to 127):
//   station + 0x80, 0x7F - station, 0x01, 0x7E, then per payload byte p the
//   pair (0x7F - p, p). The first payload byte is the opcode, which fixes the
//   payload length.
// Reply on the line:
//   0xFE, 0x00, the pair 0x00 0x7F, then per data byte d the pair (d, 0x7F - d).
#ifndef TZ52SIM_SIM_PROTOCOL_H
#define TZ52SIM_SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tz52sim {

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

private:
    DecodeEvent Drop(size_t count, Bytes* dropped, std::string* reason, std::string why);
    Bytes buffer_;
};

// Point naming for people: "001C001" style addresses from the device
// addresses of the commands, or a raw form when no point lies there.
std::string DescribeCommand(const Command& command);

// Two hex digits per byte, separated by spaces.
std::string HexBytes(const Bytes& bytes);

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_PROTOCOL_H
