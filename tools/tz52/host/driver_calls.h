// The host's side of QmxMain: one function per operation tz52 uses, each
// filling the operation's record, making the call and returning the driver's
// result unchanged; and the words that tell a person what a result means.
// What these words say of the driver (index ranges, attempts, the M points
// above 32, the value slot) comes from the driver's headers.
#ifndef TZ52_TOOLS_TZ52_HOST_DRIVER_CALLS_H
#define TZ52_TOOLS_TZ52_HOST_DRIVER_CALLS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/driver_api.h"
#include "protocol/point_commands.h"
#include "tools/tz52/host/platform.h"

// Attempts the driver makes for one read or write before it gives up.
constexpr int kDriverAttempts = kPointAttempts;

// The driver's answer to an address check (operation 3), with what the
// record shows about where a refusal happened: the driver writes the station
// once the characters passed, type and index once the station passed.
struct CheckedAddress {
    std::string text;  // as given
    int result = kResultRefused;
    bool stationWritten = false;
    bool typeWritten = false;
    int32_t station = 0;
    int32_t pointType = 0;
    int32_t pointIndex = 0;
};

// "001M025": the address as the driver parsed it.
std::string CanonicalAddress(const CheckedAddress& address);

// Why an address was refused, in words.
std::string AddressRefusalReason(const CheckedAddress& address);

int QueryDriverInfo(QmxMainFunction entry, DriverInfo* info);
CheckedAddress CheckAddress(QmxMainFunction entry, const std::string& text);

// The settings a port is opened with.
struct PortSetup {
    std::string name;
    int32_t readTimeout = 0;  // units of 10 ms
    LineSettings line{};
};

int OpenPort(QmxMainFunction entry, PortContext* context, const PortSetup& setup);
int ClosePort(QmxMainFunction entry, PortContext* context);
// Closes the port the context holds and opens it again with its settings.
int ReopenPort(QmxMainFunction entry, PortContext* context);
// Reads the point `address` names into *value (left alone on failure).
int ReadPointValue(QmxMainFunction entry, PortContext* context, const CheckedAddress& address, uint16_t* value);
int WritePointValue(QmxMainFunction entry, PortContext* context, const CheckedAddress& address, uint16_t value);

// "port or line failure" and the like: the meaning of a result code.
const char* ResultMeaning(int result);

// Why a read or write of `address` gave `result` (1 or 2), naming the port,
// the attempts and the read limit.
std::string PointFailureReason(bool writing, int result, const CheckedAddress& address, const PortSetup& setup);

// "9600 baud, 8N1" style text of line settings.
std::string DescribeLine(const LineSettings& line);
// How long `bytes` characters take on the line at its settings (start bit,
// data bits, parity, stop bits), in microseconds; 0 without a rate.
int64_t WireMicroseconds(size_t bytes, const LineSettings& line);
// "40 ms" for a read limit in units of 10 ms.
std::string DescribeReadTimeout(int32_t units);

#endif  // TZ52_TOOLS_TZ52_HOST_DRIVER_CALLS_H
