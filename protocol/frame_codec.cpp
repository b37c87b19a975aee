// The complement-pair frame codec: builds request frames, checks reply frames,
// and moves them over the port of the current PortContext.
#include "protocol/frame_codec.h"

#include "driver/handlers.h"
#include "serial/serial.h"

namespace {

// Every information byte travels with a partner; the two add up to this.
constexpr unsigned kPairSum = 0x7F;

constexpr uint8_t kRequestMarker[2] = {0x01, 0x7E};
constexpr uint8_t kReplyStart = 0xFE;

// One request and one reply in flight at a time: the host makes one call at
// a time, so single static buffers serve every port.
uint8_t g_requestFrame[FrameLength(kMaxPayloadBytes)];
uint8_t g_replyFrame[FrameLength(kMaxReplyDataBytes)];

uint8_t Complement(uint8_t value) { return static_cast<uint8_t>(kPairSum - value); }

}  // namespace

int SendFrame(int32_t station, const uint8_t* payload, uint32_t n) {
    // Nothing reaches the line unless the whole frame can be built.
    if (g_currentContext == nullptr || n > kMaxPayloadBytes || (n > 0 && payload == nullptr))
        return kResultPortFailure;

    // The station is the low byte of the station number, offset by 0x80 so
    // that the first byte of a request always has its top bit set.
    const uint8_t address = static_cast<uint8_t>(station + 0x80);
    g_requestFrame[0] = address;
    g_requestFrame[1] = static_cast<uint8_t>(0xFF - address);
    g_requestFrame[2] = kRequestMarker[0];
    g_requestFrame[3] = kRequestMarker[1];
    // Request pairs put the complement first, the payload byte second.
    for (uint32_t i = 0; i < n; ++i) {
        g_requestFrame[4 + 2 * i] = Complement(payload[i]);
        g_requestFrame[5 + 2 * i] = payload[i];
    }

    const SerialHandle handle = g_currentContext->handle;
    // Whatever waits in the input queue belongs to no request of ours; a
    // failed purge is no reason not to send.
    (void)PurgeSerialInput(handle);

    const uint32_t length = FrameLength(n);
    uint32_t written = 0;
    if (WriteSerialPort(handle, g_requestFrame, length, &written) != kSerialOk || written != length)
        return kResultPortFailure;
    return kResultOk;
}

int ReceiveFrame(uint8_t* out, uint32_t n) {
    if (g_currentContext == nullptr || n > kMaxReplyDataBytes || (n > 0 && out == nullptr))
        return kResultPortFailure;

    const uint32_t length = FrameLength(n);
    uint32_t received = 0;
    if (ReadSerialExact(g_currentContext->handle, g_replyFrame, length, &received) != kSerialOk ||
        received != length)
        return kResultPortFailure;
    if (g_replyFrame[0] != kReplyStart) return kResultPortFailure;

    // Every pair from byte 2 on must add up exactly, the first one included
    // even though its value means nothing to us. The sum is taken without
    // wrapping, so a byte of 0x80 or more never passes.
    for (uint32_t k = 2; k < length; k += 2) {
        if (unsigned{g_replyFrame[k]} + unsigned{g_replyFrame[k + 1]} != kPairSum)
            return kResultRefused;
    }

    // Reply pairs put the data byte first.
    for (uint32_t i = 0; i < n; ++i) out[i] = g_replyFrame[4 + 2 * i];
    return kResultOk;
}
