// POSIX serial backend (termios). Placeholder until the backend lands.
#include "serial/serial.h"

int OpenSerialPort(const char*, const LineSettings*, uint16_t, SerialHandle* handle_out) {
    if (handle_out) *handle_out = reinterpret_cast<SerialHandle>(-1);
    return kSerialOpenFailed;
}
int CloseSerialPort(SerialHandle) { return kSerialCallFailed; }
int SetSerialReadTimeout(SerialHandle, int32_t) { return 0; }
int PurgeSerialInput(SerialHandle) { return kSerialPurgeFailed; }
int WriteSerialPort(SerialHandle, const void*, uint32_t, uint32_t*) { return kSerialCallFailed; }
int ReadSerialExact(SerialHandle, void*, uint32_t, uint32_t* read_out) {
    if (read_out) *read_out = 0;
    return kSerialCallFailed;
}
int SendSerialBreak(uint32_t, SerialHandle) { return 0; }
int SerialSleep(uint32_t) { return 0; }
