// The option word's DTR and RTS selection, shared by every backend.
#include "serial/serial.h"

SerialLineControl DtrControlFromOptions(uint16_t options) {
    if (options & 0x0101) return kLineControlOn;
    if (options & 0x8000) return kLineControlHandshake;
    return kLineControlOff;
}

SerialLineControl RtsControlFromOptions(uint16_t options) {
    if (options & 0x0202) return kLineControlOn;
    if (options & 0x1000) return kLineControlHandshake;
    if (options & 0x2000) return kLineControlToggle;
    return kLineControlOff;
}
