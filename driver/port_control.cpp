// Port control: operations 1 (Open), 2 (Flush), 11 and 12 (Close),
// 13 (Reopen) and 15 (Reconfigure).
//
// The host's PortContext holds everything about a port between calls: its
// handle (null when closed), its PortSettings and the read timeout last
// given. A context holds at most one handle: every operation that opens
// first closes the handle the context holds, and keeps it when that close
// fails, so no handle is ever overwritten or leaked.
#include "driver/handlers.h"
#include "driver/host_support.h"
#include "serial/serial.h"

namespace {

// Open always asks for DTR off and RTS off.
constexpr uint16_t kOpenOptions = 8;

// True when the 12-byte name field holds its terminator.
bool PortNameFits(const char* name) {
    for (int i = 0; i < TZ52_PORT_NAME_SIZE; ++i)
        if (name[i] == '\0') return true;
    return false;
}

// Copies a name that fits, terminator included.
void CopyPortName(char* destination, const char* source) {
    int i = 0;
    do {
        destination[i] = source[i];
    } while (source[i++] != '\0');
}

// The one message the driver emits. The name is shown as at most 11
// characters, so an unterminated name field is never read past its end.
void ReportOpenFailure(const char* name) {
    char shown[TZ52_PORT_NAME_SIZE] = {};
    for (int i = 0; i < TZ52_PORT_NAME_SIZE - 1 && name[i] != '\0'; ++i) shown[i] = name[i];
    (void)err(kErrLevelOpenFailure, "QMX%s : Fail to open %s", kDriverName, shown);
}

// Closes the handle the context holds, if any. On success the context is
// closed; on failure it keeps the handle so that a later call can retry.
int CloseHeldPort(PortContext* context) {
    if (context->handle == nullptr) return kResultOk;
    if (CloseSerialPort(context->handle) != kSerialOk) return kResultPortFailure;
    context->handle = nullptr;
    return kResultOk;
}

// Opens the port that `settings` describes into a closed context. The
// handle of a failed open is never stored.
int OpenIntoContext(PortContext* context, const PortSettings* settings) {
    SerialHandle handle = nullptr;
    if (OpenSerialPort(settings->name, &settings->line, settings->options, &handle) != kSerialOk)
        return kResultPortFailure;
    context->handle = handle;
    return kResultOk;
}

// Closes whatever the context holds, then opens the port that `settings`
// describes. On a failed open the context is left closed.
int ReplaceHeldPort(PortContext* context, const PortSettings* settings) {
    if (CloseHeldPort(context) != kResultOk) return kResultPortFailure;
    return OpenIntoContext(context, settings);
}

}  // namespace

int OpenPort(DriverRequest* request) {
    PortContext* context = request->context;
    const OpenParameters* parameters = static_cast<const OpenParameters*>(request->parameters);
    if (context == nullptr || parameters == nullptr) return kResultRefused;

    context->inUse = parameters->inUse;
    if (parameters->inUse == 0) return kResultOk;

    // A name that overruns its field cannot be opened; the context, its
    // handle included, stays as it was.
    if (!PortNameFits(parameters->portName)) {
        ReportOpenFailure(parameters->portName);
        return kResultPortFailure;
    }
    PortSettings settings = {};
    CopyPortName(settings.name, parameters->portName);
    settings.line.baudRate = parameters->baudRate;
    settings.line.dataBits = parameters->dataBits;
    settings.line.stopBits = parameters->stopBits;
    settings.line.parity = parameters->parity;
    settings.options = kOpenOptions;

    // Settings and timeout are stored only once the port is open.
    if (ReplaceHeldPort(context, &settings) != kResultOk) {
        ReportOpenFailure(settings.name);
        return kResultPortFailure;
    }
    (void)SetSerialReadTimeout(context->handle, parameters->readTimeout);
    context->settings = settings;
    context->readTimeout = parameters->readTimeout;
    return kResultOk;
}

int FlushPort(DriverRequest* request) {
    PortContext* context = request->context;
    if (context == nullptr) return kResultRefused;
    if (context->handle != nullptr) (void)PurgeSerialInput(context->handle);
    return kResultOk;
}

int ClosePort(DriverRequest* request) {
    PortContext* context = request->context;
    if (context == nullptr) return kResultRefused;
    return CloseHeldPort(context);
}

// Opens the port again with the stored settings. The read timeout is not
// applied again: the port runs with the limit that opening sets.
int ReopenPort(DriverRequest* request) {
    PortContext* context = request->context;
    if (context == nullptr) return kResultRefused;
    if (!PortNameFits(context->settings.name)) return kResultPortFailure;
    if (ReplaceHeldPort(context, &context->settings) != kResultOk) return kResultPortFailure;
    context->inUse = 1;
    return kResultOk;
}

// Takes a new name and new line settings and opens the port again. A
// non-zero timeout is only remembered; the port's own limit is the one that
// opening sets. The stored option word stays.
int ReconfigurePort(DriverRequest* request) {
    PortContext* context = request->context;
    const ReconfigureParameters* parameters =
        static_cast<const ReconfigureParameters*>(request->parameters);
    if (context == nullptr || parameters == nullptr) return kResultRefused;
    if (!PortNameFits(parameters->portName)) return kResultPortFailure;

    // Nothing of the request is stored until the old port is closed: a close
    // that fails leaves the context exactly as it was, and it never describes
    // a port it no longer holds.
    if (CloseHeldPort(context) != kResultOk) return kResultPortFailure;
    if (parameters->readTimeout != 0) context->readTimeout = parameters->readTimeout;
    PortSettings* settings = &context->settings;
    CopyPortName(settings->name, parameters->portName);
    settings->line.baudRate = parameters->baudRate;
    settings->line.dataBits = parameters->dataBits;
    settings->line.stopBits = parameters->stopBits;
    settings->line.parity = parameters->parity;
    return OpenIntoContext(context, settings);
}
