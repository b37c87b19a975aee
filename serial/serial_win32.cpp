// Windows serial backend: the serial routines over the KERNEL32
// communications calls.
//
// Sections, in order:
//   1. Line settings  (the DCB an open writes)
//   2. Open and close (CreateFileA, GetCommState, SetCommTimeouts,
//                      SetCommState, SetupComm, CloseHandle)
//   3. Read limit     (GetCommTimeouts, SetCommTimeouts)
//   4. Purge          (ClearCommError, ReadFile)
//   5. Write and read (WriteFile, ReadFile)
//   6. Break and sleep
//
// Every call is synchronous: the device is opened without overlapped I/O and
// the read limit alone decides how long a read may block.
#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "serial/port_names.h"
#include "serial/serial.h"
#include "serial/serial_win32_line.h"

static_assert(sizeof(SerialHandle) == sizeof(HANDLE), "a SerialHandle holds a HANDLE");

namespace {

// ------------------------------------------------------ 1. Line settings

DWORD DtrControlBits(uint16_t options) {
    switch (DtrControlFromOptions(options)) {
        case kLineControlOn: return DTR_CONTROL_ENABLE;
        case kLineControlHandshake: return DTR_CONTROL_HANDSHAKE;
        default: return DTR_CONTROL_DISABLE;
    }
}

DWORD RtsControlBits(uint16_t options) {
    switch (RtsControlFromOptions(options)) {
        case kLineControlOn: return RTS_CONTROL_ENABLE;
        case kLineControlHandshake: return RTS_CONTROL_HANDSHAKE;
        case kLineControlToggle: return RTS_CONTROL_TOGGLE;
        default: return RTS_CONTROL_DISABLE;
    }
}

}  // namespace

void ApplyLineSettings(DCB* dcb, const LineSettings& line, uint16_t options) {
    dcb->BaudRate = line.baudRate;
    dcb->fBinary = TRUE;
    dcb->fParity = TRUE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DtrControlBits(options) & 0x3u;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RtsControlBits(options) & 0x3u;
    dcb->fAbortOnError = FALSE;
    dcb->ByteSize = static_cast<BYTE>(line.dataBits & 0xFFu);
    dcb->Parity = static_cast<BYTE>(line.parity & 0xFFu);
    dcb->StopBits = static_cast<BYTE>(line.stopBits & 0xFFu);
    dcb->ErrorChar = static_cast<char>(kParityReplacementByte);
}

namespace {

// ------------------------------------------------------ 2. Open and close

constexpr DWORD kQueueSize = 1200;
constexpr DWORD kOpenReadLimitMs = 1000;

// ------------------------------------------------------------ 4. Purge

constexpr int32_t kPurgeReadLimit = 5;  // units of 10 ms
constexpr DWORD kPurgeBlockSize = 512;

}  // namespace

int OpenSerialPort(const char* name, const LineSettings* line, uint16_t options,
                   SerialHandle* handle_out) {
    if (handle_out == nullptr) return kSerialOpenFailed;
    *handle_out = INVALID_HANDLE_VALUE;
    // COM10 and above open only as \\.\COMn; a name without a path opens nothing.
    char path[kDevicePathSize];
    if (line == nullptr || WindowsDevicePath(name, path, sizeof path) != 0) return kSerialOpenFailed;
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    *handle_out = handle;
    if (handle == INVALID_HANDLE_VALUE) return kSerialOpenFailed;

    // The null device has no line settings: it is used as opened.
    if (std::strcmp(name, "NUL") == 0) return kSerialOk;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return kSerialNotSerial;
    }

    // Reads wait up to 1000 ms in all, however many bytes they ask for;
    // writes have no limit. Set before the line settings are applied.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadLimitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) {
        CloseHandle(handle);
        return kSerialOpenFailed;
    }

    ApplyLineSettings(&dcb, *line, options);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return kSerialSettingsRefused;
    }

    // The queue sizes are a request the driver does not depend on.
    SetupComm(handle, kQueueSize, kQueueSize);
    return kSerialOk;
}

int CloseSerialPort(SerialHandle handle) {
    return CloseHandle(handle) ? kSerialOk : kSerialCallFailed;
}

// ------------------------------------------------------------ 3. Read limit

int SetSerialReadTimeout(SerialHandle handle, int32_t timeout) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return 0;
    const DWORD old = timeouts.ReadTotalTimeoutConstant;
    // Unsigned, so that an out-of-range count wraps instead of overflowing.
    const DWORD limit = static_cast<DWORD>(timeout) * 10u;
    if (old != limit) {
        timeouts.ReadTotalTimeoutConstant = limit;
        if (!SetCommTimeouts(handle, &timeouts)) return 0;
    }
    return static_cast<int32_t>(old) / 10;
}

int PurgeSerialInput(SerialHandle handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(handle, &errors, &status) && status.cbInQue == 0) return kSerialOk;

    // Something waits (or the status is unknown): drain it in 512-byte reads
    // under a short limit, so the last read ends 50 ms after the line falls
    // silent.
    const int saved = SetSerialReadTimeout(handle, kPurgeReadLimit);
    BYTE discard[kPurgeBlockSize];
    DWORD received = 0;
    BOOL ok;
    do {
        received = 0;
        ok = ReadFile(handle, discard, kPurgeBlockSize, &received, nullptr);
    } while (ok && received == kPurgeBlockSize);
    // A previous limit below 10 ms reads back as 0 and cannot be restored.
    if (saved != 0) SetSerialReadTimeout(handle, saved);
    return ok ? kSerialOk : kSerialPurgeFailed;
}

// ------------------------------------------------------ 5. Write and read

int WriteSerialPort(SerialHandle handle, const void* buffer, uint32_t count,
                    uint32_t* written_out) {
    DWORD written = 0;
    if (!WriteFile(handle, buffer, count, &written, nullptr)) return kSerialCallFailed;
    if (written_out != nullptr) *written_out = written;
    return written == count ? kSerialOk : kSerialShortWrite;
}

int ReadSerialExact(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out) {
    if (read_out != nullptr) *read_out = 0;
    BYTE* const bytes = static_cast<BYTE*>(buffer);
    uint32_t total = 0;
    do {
        // Each request is at most 65535 bytes; the loop asks again for the rest.
        const DWORD request = static_cast<uint16_t>(count - total);
        DWORD received = 0;
        if (!ReadFile(handle, bytes + total, request, &received, nullptr)) return kSerialCallFailed;
        // Nothing within a whole read limit: the far end has gone quiet.
        if (received == 0) return kSerialCallFailed;
        total += received;
        if (read_out != nullptr) *read_out = total;
    } while (total < count);
    return kSerialOk;
}

// ------------------------------------------------------ 6. Break and sleep

int SendSerialBreak(uint32_t duration, SerialHandle handle) {
    SetCommBreak(handle);
    Sleep(duration);
    ClearCommBreak(handle);
    return 0;
}

int SerialSleep(uint32_t duration) {
    Sleep(duration);
    return 0;
}

#endif  // _WIN32
