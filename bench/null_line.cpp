#include "bench/null_line.h"

#include <cstring>

namespace {

uint8_t g_port;  // only its address is used, as the handle
const uint8_t* g_reply = nullptr;
uint32_t g_replyLength = 0;

}  // namespace

SerialHandle NullLineHandle() { return &g_port; }

void SetNullLineReply(const uint8_t* bytes, uint32_t length) {
    g_reply = bytes;
    g_replyLength = length;
}

int OpenSerialPort(const char*, const LineSettings*, uint16_t, SerialHandle* handle_out) {
    *handle_out = NullLineHandle();
    return kSerialOk;
}
int CloseSerialPort(SerialHandle) { return kSerialOk; }
int SetSerialReadTimeout(SerialHandle, int32_t) { return 100; }
int PurgeSerialInput(SerialHandle) { return kSerialOk; }

int WriteSerialPort(SerialHandle handle, const void*, uint32_t count, uint32_t* written_out) {
    if (handle == nullptr) return kSerialCallFailed;
    if (written_out) *written_out = count;
    return kSerialOk;
}

int ReadSerialExact(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out) {
    const uint32_t delivered = handle == nullptr ? 0 : (count < g_replyLength ? count : g_replyLength);
    if (delivered > 0) std::memcpy(buffer, g_reply, delivered);
    if (read_out) *read_out = delivered;
    return delivered == count && count > 0 ? kSerialOk : kSerialCallFailed;
}

int SendSerialBreak(uint32_t, SerialHandle) { return kSerialOk; }
int SerialSleep(uint32_t) { return kSerialOk; }
