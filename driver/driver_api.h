/*
 * tz52drv host interface: the one exported entry point and every record that
 * crosses the boundary between the host application and the driver.
 *
 * The host owns every record; the driver reads and writes them only during a
 * call. On a 32-bit target the layout is fixed (little-endian, 4-byte
 * pointers and handles) and every offset is pinned below. On a 64-bit target
 * the same fields come in the same order with natural alignment.
 *
 * This header compiles as C and as C++.
 */
#ifndef TZ52DRV_DRIVER_API_H
#define TZ52DRV_DRIVER_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The export decoration: the only place where the platform shapes the entry
 * point. Windows hosts call QmxMain with the Windows API convention. */
#if defined(_WIN32)
#define QMX_CALL __stdcall
#if defined(TZ52DRV_BUILDING)
#define QMX_EXPORT __declspec(dllexport)
#else
#define QMX_EXPORT __declspec(dllimport)
#endif
#else
#define QMX_CALL
#define QMX_EXPORT __attribute__((visibility("default")))
#endif

/* Operation codes of DriverRequest.operation. 8 and 9 have no handler. */
typedef enum DriverOp {
    kOpOpen = 1,
    kOpFlush = 2,
    kOpCheckAddress = 3,
    kOpRefused4 = 4,
    kOpReadPoint = 5,
    kOpRefused6 = 6,
    kOpWritePoint = 7,
    kOpRefused10 = 10,
    kOpClose = 11,
    kOpCloseAlso = 12,
    kOpReopen = 13,
    kOpDriverInfo = 14,
    kOpReconfigure = 15
} DriverOp;

/* Results of every operation. */
typedef enum DriverResult {
    kResultOk = 0,
    kResultRefused = 1,     /* refused, invalid input, or a wrong answer from the device */
    kResultPortFailure = 2  /* opening, writing, reading or closing the port failed */
} DriverResult;

/* Line fields of a PortSettings block, in the order OpenSerialPort reads
 * them. Only the low byte of dataBits, stopBits and parity is used. */
typedef struct LineSettings {
    uint16_t baudRate; /* bits per second */
    uint16_t dataBits; /* 5 to 8 */
    uint16_t stopBits; /* 0 one, 1 one and a half, 2 two */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

#define TZ52_PORT_NAME_SIZE 12

/* The 22-byte description of a port, kept inside the PortContext. */
typedef struct PortSettings {
    char name[TZ52_PORT_NAME_SIZE]; /* NUL-terminated, at most 11 characters */
    LineSettings line;
    uint16_t options; /* DTR and RTS control bits */
} PortSettings;

/* Per-port state, kept by the host between calls. */
typedef struct PortContext {
    int32_t readTimeout; /* units of 10 ms, as last given to Open or Reconfigure */
    int32_t inUse;       /* Open copies it from its parameters, Reopen sets 1 */
    void* handle;        /* open serial port; NULL when no port is open */
    PortSettings settings;
} PortContext;

/* The request of every call. */
typedef struct DriverRequest {
    PortContext* context;
    int32_t operation;   /* a DriverOp code */
    uint8_t reserved[8]; /* not read by the driver */
    void* parameters;    /* the operation's parameter record */
} DriverRequest;

/* Operation 14 fills this record. Offsets 12 to 27 have the layout of the
 * Open parameters from inUse onwards. */
typedef struct DriverInfo {
    int32_t infoVersion;    /* 70 */
    const char* name;       /* "KORVEL, ", owned by the driver */
    const char* banner;     /* installation banner, code page 437, owned by the driver */
    int32_t inUse;          /* 36 */
    int32_t readTimeout;    /* 4: 40 ms */
    uint16_t baudRate;      /* 9600 */
    uint16_t dataBits;      /* 8 */
    uint16_t stopBits;      /* 0: one stop bit */
    uint16_t parity;        /* 0: none */
    int32_t reserved;       /* 0 */
} DriverInfo;

/* Operation 1 parameters. */
typedef struct OpenParameters {
    char portName[TZ52_PORT_NAME_SIZE];
    int32_t inUse;       /* 0: the port is not to be opened */
    int32_t readTimeout; /* units of 10 ms */
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} OpenParameters;

/* Operation 15 parameters. */
typedef struct ReconfigureParameters {
    char portName[TZ52_PORT_NAME_SIZE];
    int32_t readTimeout; /* units of 10 ms; 0 keeps the stored timeout */
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} ReconfigureParameters;

/* Operation 3 parameters. */
typedef struct PointAddress {
    const char* text;    /* eight characters, such as "001M025 " */
    uint8_t unused[12];  /* never read or written */
    int32_t station;
    int32_t pointType;   /* character code of the upper-case type letter */
    int32_t pointIndex;
    int32_t validMark;   /* 255, written only for a valid address */
    int32_t validWidth;  /* 16, written only for a valid address */
} PointAddress;

/* Operations 5 and 7 parameters. The driver never writes into the record. */
typedef struct PointIo {
    uint8_t reserved0[8];
    int32_t station;     /* 1 to 127 */
    int32_t pointType;   /* 'A', 'B', 'C', 'M', 'O' or 'S' */
    int32_t pointIndex;
    uint8_t reserved20[20];
    uint8_t* valueBuffer; /* the value slot is the little-endian word at offset 2 */
} PointIo;

/* Point type codes: the character code of the upper-case letter. */
enum PointType {
    kPointA = 'A',
    kPointB = 'B',
    kPointC = 'C',
    kPointM = 'M',
    kPointO = 'O',
    kPointS = 'S'
};

/* The only export. */
QMX_EXPORT int32_t QMX_CALL QmxMain(DriverRequest* request);

#ifdef __cplusplus
}
#endif

/* The layout the host was built against, pinned field by field on 32-bit
 * targets. On 64-bit targets only the field order holds. */
#if defined(__cplusplus)
#define TZ52_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TZ52_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

TZ52_STATIC_ASSERT(sizeof(LineSettings) == 8, "LineSettings");
TZ52_STATIC_ASSERT(sizeof(PortSettings) == 22, "PortSettings is 22 bytes");
TZ52_STATIC_ASSERT(offsetof(PortSettings, name) == 0, "PortSettings.name");
TZ52_STATIC_ASSERT(offsetof(PortSettings, line) + offsetof(LineSettings, baudRate) == 12, "PortSettings baud rate");
TZ52_STATIC_ASSERT(offsetof(PortSettings, line) + offsetof(LineSettings, dataBits) == 14, "PortSettings data bits");
TZ52_STATIC_ASSERT(offsetof(PortSettings, line) + offsetof(LineSettings, stopBits) == 16, "PortSettings stop bits");
TZ52_STATIC_ASSERT(offsetof(PortSettings, line) + offsetof(LineSettings, parity) == 18, "PortSettings parity");
TZ52_STATIC_ASSERT(offsetof(PortSettings, options) == 20, "PortSettings.options");

#if UINTPTR_MAX == 0xFFFFFFFFu
TZ52_STATIC_ASSERT(offsetof(DriverRequest, context) == 0, "DriverRequest.context");
TZ52_STATIC_ASSERT(offsetof(DriverRequest, operation) == 4, "DriverRequest.operation");
TZ52_STATIC_ASSERT(offsetof(DriverRequest, reserved) == 8, "DriverRequest.reserved");
TZ52_STATIC_ASSERT(offsetof(DriverRequest, parameters) == 16, "DriverRequest.parameters");

TZ52_STATIC_ASSERT(offsetof(PortContext, readTimeout) == 0, "PortContext.readTimeout");
TZ52_STATIC_ASSERT(offsetof(PortContext, inUse) == 4, "PortContext.inUse");
TZ52_STATIC_ASSERT(offsetof(PortContext, handle) == 8, "PortContext.handle");
TZ52_STATIC_ASSERT(offsetof(PortContext, settings) == 12, "PortContext.settings");

TZ52_STATIC_ASSERT(offsetof(DriverInfo, infoVersion) == 0, "DriverInfo.infoVersion");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, name) == 4, "DriverInfo.name");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, banner) == 8, "DriverInfo.banner");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, inUse) == 12, "DriverInfo.inUse");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, readTimeout) == 16, "DriverInfo.readTimeout");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, baudRate) == 20, "DriverInfo.baudRate");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, dataBits) == 22, "DriverInfo.dataBits");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, stopBits) == 24, "DriverInfo.stopBits");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, parity) == 26, "DriverInfo.parity");
TZ52_STATIC_ASSERT(offsetof(DriverInfo, reserved) == 28, "DriverInfo.reserved");

TZ52_STATIC_ASSERT(offsetof(OpenParameters, portName) == 0, "OpenParameters.portName");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, inUse) == 12, "OpenParameters.inUse");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, readTimeout) == 16, "OpenParameters.readTimeout");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, baudRate) == 20, "OpenParameters.baudRate");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, dataBits) == 22, "OpenParameters.dataBits");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, stopBits) == 24, "OpenParameters.stopBits");
TZ52_STATIC_ASSERT(offsetof(OpenParameters, parity) == 26, "OpenParameters.parity");

TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, portName) == 0, "ReconfigureParameters.portName");
TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, readTimeout) == 12, "ReconfigureParameters.readTimeout");
TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, baudRate) == 16, "ReconfigureParameters.baudRate");
TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, dataBits) == 18, "ReconfigureParameters.dataBits");
TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, stopBits) == 20, "ReconfigureParameters.stopBits");
TZ52_STATIC_ASSERT(offsetof(ReconfigureParameters, parity) == 22, "ReconfigureParameters.parity");

TZ52_STATIC_ASSERT(offsetof(PointAddress, text) == 0, "PointAddress.text");
TZ52_STATIC_ASSERT(offsetof(PointAddress, unused) == 4, "PointAddress.unused");
TZ52_STATIC_ASSERT(offsetof(PointAddress, station) == 16, "PointAddress.station");
TZ52_STATIC_ASSERT(offsetof(PointAddress, pointType) == 20, "PointAddress.pointType");
TZ52_STATIC_ASSERT(offsetof(PointAddress, pointIndex) == 24, "PointAddress.pointIndex");
TZ52_STATIC_ASSERT(offsetof(PointAddress, validMark) == 28, "PointAddress.validMark");
TZ52_STATIC_ASSERT(offsetof(PointAddress, validWidth) == 32, "PointAddress.validWidth");

TZ52_STATIC_ASSERT(offsetof(PointIo, station) == 8, "PointIo.station");
TZ52_STATIC_ASSERT(offsetof(PointIo, pointType) == 12, "PointIo.pointType");
TZ52_STATIC_ASSERT(offsetof(PointIo, pointIndex) == 16, "PointIo.pointIndex");
TZ52_STATIC_ASSERT(offsetof(PointIo, reserved20) == 20, "PointIo.reserved20");
TZ52_STATIC_ASSERT(offsetof(PointIo, valueBuffer) == 40, "PointIo.valueBuffer");
#endif

#endif /* TZ52DRV_DRIVER_API_H */
