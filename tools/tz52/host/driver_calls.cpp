// The host's side of QmxMain: records filled as a host fills them, results
// passed back unchanged, and their meaning in words.
#include "tools/tz52/host/driver_calls.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "driver/point_ranges.h"
#include "tools/tz52/host/point_types.h"

namespace {

// Marks a record field the driver has not written.
constexpr int32_t kNotWritten = INT32_MIN;

int Call(QmxMainFunction entry, PortContext* context, DriverOp operation, void* parameters) {
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.context = context;
    request.operation = operation;
    request.parameters = parameters;
    return entry(&request);
}

void FillPointIo(const CheckedAddress& address, uint8_t* valueBuffer, PointIo* io) {
    std::memset(io, 0, sizeof *io);
    io->station = address.station;
    io->pointType = address.pointType;
    io->pointIndex = address.pointIndex;
    io->valueBuffer = valueBuffer;
}

// The M commands of the high points report a failed reception (read) or a
// failed send (write) as 1 rather than 2.
bool IsHighMemoryPoint(const CheckedAddress& address) {
    return address.pointType == kPointM && IsHighMPoint(address.pointIndex);
}

// The host's value buffer: the driver uses only its value slot.
constexpr size_t kValueBufferSize = kValueSlotOffset + kValueSlotSize;

}  // namespace

std::string CanonicalAddress(const CheckedAddress& address) {
    char text[32];
    std::snprintf(text, sizeof text, "%03d%c%03d", static_cast<int>(address.station), PointTypeLetter(address.pointType),
                  static_cast<int>(address.pointIndex));
    return text;
}

std::string AddressRefusalReason(const CheckedAddress& address) {
    if (address.text.size() > 8) return "longer than the 8 characters of an address";
    if (!address.stationWritten) {
        return "not of the form SSSTIII: a three-digit station, a type letter A B C M O S, a three-digit index";
    }
    if (!address.typeWritten) {
        return "station " + std::to_string(address.station) + " is outside " + std::to_string(kMinStation) + " to " +
               std::to_string(kMaxStation);
    }
    const PointIndexRange* range = FindPointIndexRange(address.pointType);
    if (range == nullptr) return "no point type " + std::string(1, PointTypeLetter(address.pointType));
    return "index " + std::to_string(address.pointIndex) + " is outside " + std::to_string(range->first) + " to " +
           std::to_string(range->last) + " for type " + PointTypeLetter(address.pointType);
}

int QueryDriverInfo(QmxMainFunction entry, DriverInfo* info) {
    std::memset(info, 0, sizeof *info);
    PortContext context;
    std::memset(&context, 0, sizeof context);
    return Call(entry, &context, kOpDriverInfo, info);
}

CheckedAddress CheckAddress(QmxMainFunction entry, const std::string& text) {
    CheckedAddress checked;
    checked.text = text;
    // The driver reads exactly eight bytes. A shorter text is padded with
    // spaces, so "001M025" gets its trailing space and anything shorter is
    // refused at a digit position; a longer one is no address at all.
    if (text.size() > 8) return checked;
    char buffer[9];
    std::memset(buffer, ' ', 8);
    buffer[8] = '\0';
    std::memcpy(buffer, text.data(), text.size());

    PointAddress record;
    std::memset(&record, 0, sizeof record);
    record.text = buffer;
    record.station = kNotWritten;
    record.pointType = kNotWritten;
    record.pointIndex = kNotWritten;
    PortContext context;
    std::memset(&context, 0, sizeof context);
    checked.result = Call(entry, &context, kOpCheckAddress, &record);
    checked.stationWritten = record.station != kNotWritten;
    checked.typeWritten = record.pointType != kNotWritten;
    if (checked.stationWritten) checked.station = record.station;
    if (checked.typeWritten) {
        checked.pointType = record.pointType;
        checked.pointIndex = record.pointIndex;
    }
    return checked;
}

int OpenPort(QmxMainFunction entry, PortContext* context, const PortSetup& setup) {
    OpenParameters parameters;
    std::memset(&parameters, 0, sizeof parameters);
    std::strncpy(parameters.portName, setup.name.c_str(), sizeof parameters.portName - 1);
    parameters.inUse = 1;
    parameters.readTimeout = setup.readTimeout;
    parameters.baudRate = setup.line.baudRate;
    parameters.dataBits = setup.line.dataBits;
    parameters.stopBits = setup.line.stopBits;
    parameters.parity = setup.line.parity;
    return Call(entry, context, kOpOpen, &parameters);
}

int ClosePort(QmxMainFunction entry, PortContext* context) { return Call(entry, context, kOpClose, nullptr); }

int ReopenPort(QmxMainFunction entry, PortContext* context) { return Call(entry, context, kOpReopen, nullptr); }

int ReadPointValue(QmxMainFunction entry, PortContext* context, const CheckedAddress& address, uint16_t* value) {
    uint8_t valueBuffer[kValueBufferSize] = {0};
    PointIo io;
    FillPointIo(address, valueBuffer, &io);
    const int result = Call(entry, context, kOpReadPoint, &io);
    if (result == kResultOk) *value = LoadValueSlot(ValueSlotOf(valueBuffer));
    return result;
}

int WritePointValue(QmxMainFunction entry, PortContext* context, const CheckedAddress& address, uint16_t value) {
    uint8_t valueBuffer[kValueBufferSize] = {0};
    StoreValueSlot(ValueSlotOf(valueBuffer), value);
    PointIo io;
    FillPointIo(address, valueBuffer, &io);
    return Call(entry, context, kOpWritePoint, &io);
}

const char* ResultMeaning(int result) {
    switch (result) {
        case kResultOk: return "success";
        case kResultRefused: return "refused, invalid input or a wrong answer";
        case kResultPortFailure: return "port or line failure";
        default: return "not a result the driver gives";
    }
}

std::string DescribeReadTimeout(int32_t units) { return std::to_string(static_cast<long>(units) * 10) + " ms"; }

std::string DescribeLine(const LineSettings& line) {
    static const char* const kStopBits[] = {"1", "1.5", "2"};
    const char parity = line.parity < kParityCodes ? kParityLetters[line.parity] : '?';
    const char* stopBits = line.stopBits < 3 ? kStopBits[line.stopBits] : "?";
    return std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) + parity + stopBits;
}

int64_t WireMicroseconds(size_t bytes, const LineSettings& line) {
    if (line.baudRate == 0) return 0;
    // In half bits, for one and a half stop bits.
    const int64_t stopHalfBits = line.stopBits == 1 ? 3 : line.stopBits == 2 ? 4 : 2;
    const int64_t halfBits = 2 + 2 * static_cast<int64_t>(line.dataBits) + (line.parity != 0 ? 2 : 0) + stopHalfBits;
    return static_cast<int64_t>(bytes) * halfBits * 1000000 / (2 * static_cast<int64_t>(line.baudRate));
}

std::string PointFailureReason(bool writing, int result, const CheckedAddress& address, const PortSetup& setup) {
    const std::string station = "station " + std::to_string(address.station);
    const std::string attempts = " after " + std::to_string(kDriverAttempts) + " attempts";
    const std::string limit = " (read limit " + DescribeReadTimeout(setup.readTimeout) + ")";
    const char* answer = writing ? "acknowledgement" : "reply";
    if (result == kResultRefused) {
        if (writing && IsReadOnlyType(address.pointType)) {
            return std::string("points of type ") + PointTypeLetter(address.pointType) +
                   " are inputs; the driver writes only C, M, O and S points (nothing was sent)";
        }
        std::string reason = std::string("the ") + answer + " from " + station + " on port " + setup.name +
                             " failed its check (a damaged complement pair)" + attempts;
        if (IsHighMemoryPoint(address)) {
            const std::string highPoints = "; for M points above " + std::to_string(kLastLowMPoint);
            reason += writing ? highPoints + " the driver also reports a failed send this way"
                              : highPoints + " the driver reports every failed reply this way, so " + station +
                                    " may also be silent" + limit;
        }
        return reason;
    }
    if (result == kResultPortFailure) {
        return std::string("no valid ") + answer + " from " + station + " on port " + setup.name + attempts + limit +
               ": no reply in time, a reply cut short or one with a wrong start byte, or the port failed";
    }
    return "the driver returned " + std::to_string(result) + ", which is not one of its results";
}
