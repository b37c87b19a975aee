// QmxMain: the one export. It records the request's PortContext as the
// current context and dispatches to the handler of the operation code.
#include "driver/driver_api.h"
#include "driver/handlers.h"

PortContext* g_currentContext = nullptr;

namespace {

constexpr int kOperationCount = 16;

// Indexed by DriverOp. Entry 0 and codes 8 and 9 have no operation.
constexpr OperationHandler kOperationTable[kOperationCount] = {
    nullptr,           // 0: not an operation
    OpenPort,          // 1
    FlushPort,         // 2
    CheckPointAddress, // 3
    RefuseOperation,   // 4
    ReadPoint,         // 5
    RefuseOperation,   // 6
    WritePoint,        // 7
    nullptr,           // 8
    nullptr,           // 9
    RefuseOperation,   // 10
    ClosePort,         // 11
    ClosePort,         // 12
    ReopenPort,        // 13
    DescribeDriver,    // 14
    ReconfigurePort,   // 15
};

// The installation banner: a three-line box in code page 437, each line
// preceded by CR LF and the whole ended by CR LF; 149 characters.
constexpr char kBanner[] =
    "\r\n"
    "\xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xBF"
    "            "
    "\r\n"
    "\xB3 KORVEL, tz-52 driver Installed. \xB3"
    "            "
    "\r\n"
    "\xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9"
    "            "
    "\r\n";
static_assert(sizeof(kBanner) - 1 == 149, "the banner is 149 characters");

}  // namespace

// The driver's name as the host shows it; also the first argument of the Open
// failure report.
extern const char kDriverName[] = "KORVEL, ";
static_assert(sizeof(kDriverName) - 1 == 8, "the driver name is 8 characters");

extern "C" QMX_EXPORT int32_t QMX_CALL QmxMain(DriverRequest* request) {
    if (request == nullptr) return kResultRefused;
    // Codes outside the table, and the codes without a handler, are refused
    // before anything is recorded, so they change nothing.
    const int32_t operation = request->operation;
    if (operation < 0 || operation >= kOperationCount) return kResultRefused;
    const OperationHandler handler = kOperationTable[operation];
    if (handler == nullptr) return kResultRefused;
    g_currentContext = request->context;
    return handler(request);
}

int DescribeDriver(DriverRequest* request) {
    DriverInfo* info = static_cast<DriverInfo*>(request->parameters);
    if (info == nullptr) return kResultRefused;
    info->infoVersion = 70;
    info->name = kDriverName;
    info->banner = kBanner;
    info->inUse = 36;
    info->readTimeout = 4;
    info->baudRate = 9600;
    info->dataBits = 8;
    info->stopBits = 0;
    info->parity = 0;
    info->reserved = 0;
    return kResultOk;
}

int RefuseOperation(DriverRequest*) { return kResultRefused; }
