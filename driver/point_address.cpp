// Operation 3: validate and parse an eight-character point address such as
// "001M025 ": a three-digit station, a point-type letter, a three-digit point
// index and a trailing space (or the end of the text).
//
// The steps, each refusing with 1:
//   1. copy the text, upper-cased, into the working copy;
//   2. character test, one set of accepted characters per position;
//   3. station read and station test;
//   4. type and index read, index test against the point's range.
// What a refused address leaves in the record tells the host how far it got:
// nothing after the character test, the station after the station test, and
// station, type and index after the index test. 255 and 16 mark success.
#include <cstdio>
#include <cstring>

#include "driver/handlers.h"
#include "driver/point_ranges.h"

namespace {

constexpr int kAddressLength = 8;
constexpr int kStationPosition = 0;
constexpr int kTypePosition = 3;
constexpr int kIndexPosition = 4;

constexpr int32_t kValidMark = 255;
constexpr int32_t kValidWidth = 16;

constexpr char kDigits[] = "0123456789";
constexpr char kIndexHundreds[] = "0123456";  // no point index reaches 700
constexpr char kTypeLetters[] = "ABCOMS";
constexpr char kEndOfAddress[] = " ";

struct AddressPosition {
    const char* accepted;  // the characters allowed at this position
    bool textMayEnd;       // a zero byte here ends a seven-character text
};

// Searched in position order; the first position that refuses ends the test.
constexpr AddressPosition kAddressPositions[kAddressLength] = {
    {kDigits, false},         // station, hundreds
    {kDigits, false},         // station, tens
    {kDigits, false},         // station, units
    {kTypeLetters, false},    // point type
    {kIndexHundreds, false},  // index, hundreds
    {kDigits, false},         // index, tens
    {kDigits, false},         // index, units
    {kEndOfAddress, true},    // end of the address
};

// The upper-cased address the later steps parse; the host's text is never
// written. The ninth byte stays zero so that the "%3d" reads always find the
// end of a string inside the buffer.
char g_addressCopy[kAddressLength + 1];

// Bytes from 0x61 up, taken as signed, move down by 0x20: a to z become A to
// Z, and the bytes from 0x80 up, negative as signed, stay as they are.
char UpperCaseAddressByte(char byte) {
    const signed char value = static_cast<signed char>(byte);
    return value >= 0x61 ? static_cast<char>(value - 0x20) : byte;
}

// Copies at most eight bytes of `text`. The host's text may end at a zero
// byte, so nothing past it is read; the rest of the copy is zero instead.
void CopyAddress(const char* text) {
    int position = 0;
    for (; position < kAddressLength && text[position] != '\0'; ++position) {
        g_addressCopy[position] = UpperCaseAddressByte(text[position]);
    }
    for (; position < kAddressLength; ++position) g_addressCopy[position] = '\0';
}

// A zero byte is searched for separately: strchr would find every set's own
// terminator and so accept a text that ends early.
bool PassesCharacterTest() {
    for (int position = 0; position < kAddressLength; ++position) {
        const char byte = g_addressCopy[position];
        const AddressPosition& rule = kAddressPositions[position];
        const bool accepted =
            byte == '\0' ? rule.textMayEnd : std::strchr(rule.accepted, byte) != nullptr;
        if (!accepted) return false;
    }
    return true;
}

// Reads the three digits at `position`; the character test has made sure
// they are digits, so the read stops exactly after them.
bool ReadThreeDigits(int position, int32_t* value) {
    int number = 0;
    if (std::sscanf(g_addressCopy + position, "%3d", &number) != 1) return false;
    *value = number;
    return true;
}

}  // namespace

int CheckPointAddress(DriverRequest* request) {
    PointAddress* address = static_cast<PointAddress*>(request->parameters);
    if (address == nullptr || address->text == nullptr) return kResultRefused;

    CopyAddress(address->text);
    if (!PassesCharacterTest()) return kResultRefused;

    if (!ReadThreeDigits(kStationPosition, &address->station)) return kResultRefused;
    if (address->station < kMinStation || address->station > kMaxStation) return kResultRefused;

    address->pointType = static_cast<signed char>(g_addressCopy[kTypePosition]);
    if (!ReadThreeDigits(kIndexPosition, &address->pointIndex)) return kResultRefused;
    const PointIndexRange* range = FindPointIndexRange(address->pointType);
    if (range == nullptr || address->pointIndex < range->first ||
        address->pointIndex > range->last) {
        return kResultRefused;
    }

    address->validMark = kValidMark;
    address->validWidth = kValidWidth;
    return kResultOk;
}
