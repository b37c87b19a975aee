// The complement-pair line code: the only code that knows how a command
// payload travels on the line and how a reply comes back.
//
// Request of n payload bytes, 2n + 4 bytes on the line:
//   station + 0x80, 0x7F - station, 0x01, 0x7E, then per byte (0x7F - p, p).
// Reply of n data bytes, 2n + 4 bytes on the line:
//   0xFE, any byte, one complement pair, then per byte (d, 0x7F - d).
// Both reach the port through the handle of the current PortContext.
#ifndef TZ52DRV_PROTOCOL_FRAME_CODEC_H
#define TZ52DRV_PROTOCOL_FRAME_CODEC_H

#include <cstdint>

// Largest frames the commands use: 5 payload bytes out, 3 data bytes back.
constexpr uint32_t kMaxPayloadBytes = 5;
constexpr uint32_t kMaxReplyDataBytes = 3;

constexpr uint32_t FrameLength(uint32_t byteCount) { return 2 * byteCount + 4; }

// Purges stale input, then writes the request frame for `payload` with one
// write call. Returns 0 when all 2n + 4 bytes were written, otherwise 2
// (no port, write refused or short).
int SendFrame(int32_t station, const uint8_t* payload, uint32_t n);

// Reads exactly 2n + 4 bytes and checks them. Returns 0 with the n data bytes
// in `out`; 2 for a failed or short read or a first byte other than 0xFE;
// 1 for any pair that does not add up to 0x7F. `out` is written only on 0.
int ReceiveFrame(uint8_t* out, uint32_t n);

#endif  // TZ52DRV_PROTOCOL_FRAME_CODEC_H
