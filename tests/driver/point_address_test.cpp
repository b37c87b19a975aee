// Operation 3: which point addresses are valid, what they parse to, and
// exactly which fields of the record each refusal leaves written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver_api.h"
#include "tests/support/fake_serial.h"

namespace {

constexpr uint8_t kSentinel = 0xC3;

// What a call leaves in the record.
enum class Written { kNothing, kStation, kStationTypeIndex, kEverything };

struct AddressCase {
    std::string text;  // the bytes the host passes, exactly (no terminator added)
    int result;
    Written written;
    int32_t station;
    int32_t pointType;
    int32_t pointIndex;
};

// The host's text held in exactly its own bytes, so that a read past them is
// an overrun the sanitizer build reports.
struct HostText {
    std::vector<char> bytes;
    explicit HostText(const std::string& text) : bytes(text.begin(), text.end()) {}
};

struct Call {
    PortContext context;
    PointAddress record;
    int result = -1;
};

// Fills `call` in place: the records are compared byte for byte, padding too,
// and a copy need not keep padding bytes.
void CheckAddress(const char* text, Call& call) {
    std::memset(&call.context, 0xA5, sizeof call.context);
    std::memset(&call.record, kSentinel, sizeof call.record);
    call.record.text = text;
    DriverRequest request{};
    request.context = &call.context;
    request.operation = kOpCheckAddress;
    request.parameters = &call.record;
    call.result = QmxMain(&request);
}

PointAddress ExpectedRecord(const AddressCase& c, const char* text) {
    PointAddress expected;
    std::memset(&expected, kSentinel, sizeof expected);
    expected.text = text;
    if (c.written >= Written::kStation) expected.station = c.station;
    if (c.written >= Written::kStationTypeIndex) {
        expected.pointType = c.pointType;
        expected.pointIndex = c.pointIndex;
    }
    if (c.written == Written::kEverything) {
        expected.validMark = 255;
        expected.validWidth = 16;
    }
    return expected;
}

std::string Describe(const std::string& text) {
    std::string out;
    for (char byte : text) {
        if (byte == ' ') out += "_";
        else if (byte >= 0x21 && byte <= 0x7E) out += byte;
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(byte));
            out += hex;
        }
    }
    return "\"" + out + "\"";
}

void ExpectCases(const std::vector<AddressCase>& cases) {
    for (const AddressCase& c : cases) {
        FakeLine().Reset();
        HostText text(c.text);
        Call call;
        CheckAddress(text.bytes.data(), call);
        const PointAddress expected = ExpectedRecord(c, text.bytes.data());
        EXPECT_EQ(call.result, c.result) << Describe(c.text);
        EXPECT_EQ(call.record.station, expected.station) << Describe(c.text);
        EXPECT_EQ(call.record.pointType, expected.pointType) << Describe(c.text);
        EXPECT_EQ(call.record.pointIndex, expected.pointIndex) << Describe(c.text);
        EXPECT_EQ(std::memcmp(&call.record, &expected, sizeof expected), 0)
            << Describe(c.text) << ": a byte outside the expected fields changed";
        EXPECT_EQ(std::string(text.bytes.begin(), text.bytes.end()), c.text)
            << "the host's text was written";
        PortContext untouched;
        std::memset(&untouched, 0xA5, sizeof untouched);
        EXPECT_EQ(std::memcmp(&call.context, &untouched, sizeof untouched), 0) << Describe(c.text);
        EXPECT_TRUE(FakeLine().calls().empty()) << Describe(c.text);
    }
}

AddressCase Valid(std::string text, int32_t station, char type, int32_t index) {
    return {std::move(text), 0, Written::kEverything, station, type, index};
}
AddressCase RefusedAtCharacters(std::string text) {
    return {std::move(text), 1, Written::kNothing, 0, 0, 0};
}
AddressCase RefusedAtStation(std::string text, int32_t station) {
    return {std::move(text), 1, Written::kStation, station, 0, 0};
}
AddressCase RefusedAtIndex(std::string text, int32_t station, char type, int32_t index) {
    return {std::move(text), 1, Written::kStationTypeIndex, station, type, index};
}

std::string WithZero(const char* prefix) { return std::string(prefix) + '\0'; }

TEST(PointAddress, ValidAddressesGiveTheirFieldsAndTheValidMarks) {
    ExpectCases({
        Valid("001M025 ", 1, 'M', 25),
        Valid("127S250 ", 127, 'S', 250),
        Valid("064O007 ", 64, 'O', 7),
        // Lower-case type letters are stored as their upper-case codes.
        Valid("001m025 ", 1, 'M', 25),
        Valid("001a009 ", 1, 'A', 9),
        Valid("002b016 ", 2, 'B', 16),
        Valid("003c001 ", 3, 'C', 1),
        Valid("004o012 ", 4, 'O', 12),
        Valid("005s001 ", 5, 'S', 1),
        // A seven-character text ends with its zero byte instead of the space.
        Valid(WithZero("001M025"), 1, 'M', 25),
        Valid(WithZero("127a012"), 127, 'A', 12),
    });
}

TEST(PointAddress, EveryTypeAcceptsItsIndexBoundsAndRefusesJustOutside) {
    ExpectCases({
        RefusedAtIndex("001A008 ", 1, 'A', 8),
        Valid("001A009 ", 1, 'A', 9),
        Valid("001A012 ", 1, 'A', 12),
        RefusedAtIndex("001A013 ", 1, 'A', 13),
        RefusedAtIndex("001B000 ", 1, 'B', 0),
        Valid("001B001 ", 1, 'B', 1),
        Valid("001B016 ", 1, 'B', 16),
        RefusedAtIndex("001B017 ", 1, 'B', 17),
        RefusedAtIndex("001C000 ", 1, 'C', 0),
        Valid("001C001 ", 1, 'C', 1),
        Valid("001C016 ", 1, 'C', 16),
        RefusedAtIndex("001C017 ", 1, 'C', 17),
        RefusedAtIndex("001M000 ", 1, 'M', 0),
        Valid("001M001 ", 1, 'M', 1),
        Valid("001M256 ", 1, 'M', 256),
        RefusedAtIndex("001M257 ", 1, 'M', 257),
        RefusedAtIndex("001O000 ", 1, 'O', 0),
        Valid("001O001 ", 1, 'O', 1),
        Valid("001O012 ", 1, 'O', 12),
        RefusedAtIndex("001O013 ", 1, 'O', 13),
        RefusedAtIndex("001S000 ", 1, 'S', 0),
        Valid("001S001 ", 1, 'S', 1),
        Valid("001S250 ", 1, 'S', 250),
        RefusedAtIndex("001S251 ", 1, 'S', 251),
        // The largest index the characters allow.
        RefusedAtIndex("001M600 ", 1, 'M', 600),
        RefusedAtIndex("099m699 ", 99, 'M', 699),
    });
}

TEST(PointAddress, StationOutsideOneTo127LeavesOnlyTheStationWritten) {
    ExpectCases({
        RefusedAtStation("000M025 ", 0),
        RefusedAtStation("128M025 ", 128),
        RefusedAtStation("999S001 ", 999),
        // The station is tested before the index.
        RefusedAtStation("000M699 ", 0),
    });
}

TEST(PointAddress, CharacterOutsideItsPositionsSetWritesNothing) {
    ExpectCases({
        RefusedAtCharacters("0a1M025 "),   // becomes A, not a digit
        RefusedAtCharacters("001X025 "),
        RefusedAtCharacters("001D025 "),
        RefusedAtCharacters("001M700 "),   // no index hundreds above 6
        RefusedAtCharacters(" 01M025 "),
        RefusedAtCharacters("001M 25 "),
        RefusedAtCharacters("+01M025 "),
        RefusedAtCharacters("-01M025 "),
        RefusedAtCharacters("001M025x"),
        RefusedAtCharacters("001M0250"),
        RefusedAtCharacters("001M025\t"),
        RefusedAtCharacters("001M025X"),
        // Bytes next to the letters: the grave accent stays, { becomes [.
        RefusedAtCharacters("001`025 "),
        RefusedAtCharacters("001{025 "),
        // Bytes from 0x80 up are negative as signed and are not upper-cased;
        // 0xED and 0xE3 lie 0x20 above lower-case m and c in Latin-1.
        RefusedAtCharacters("001\xED" "025 "),
        RefusedAtCharacters("001\xE3" "025 "),
        RefusedAtCharacters("\xB0\xB0\xB1M025 "),
        // The first refusing position decides, even when the station is bad too.
        RefusedAtCharacters("999M025x"),
    });
}

// A text that ends before position 7 is refused outright rather than parsed
// from whatever follows the zero byte.
TEST(PointAddress, TextEndingBeforePositionSevenWritesNothing) {
    ExpectCases({
        RefusedAtCharacters(WithZero("")),
        RefusedAtCharacters(WithZero("0")),
        RefusedAtCharacters(WithZero("00")),
        RefusedAtCharacters(WithZero("001")),
        RefusedAtCharacters(WithZero("001M")),
        RefusedAtCharacters(WithZero("001M2")),
        RefusedAtCharacters(WithZero("001M25")),
        // Bytes after the zero byte do not count, valid or not.
        RefusedAtCharacters(WithZero("001M25") + " "),
        RefusedAtCharacters(WithZero("001") + "M025"),
    });
}

TEST(PointAddress, ZeroByteEndsTheCopySoAnEarlierLongerTextLeavesNoTrace) {
    HostText full("001M0251");
    Call call;
    CheckAddress(full.bytes.data(), call);
    EXPECT_EQ(call.result, 1);
    ExpectCases({Valid(WithZero("002M025"), 2, 'M', 25),
                 RefusedAtCharacters(WithZero("002M02"))});
}

TEST(PointAddress, MissingRecordOrTextIsRefused) {
    FakeLine().Reset();
    DriverRequest request{};
    request.operation = kOpCheckAddress;
    request.parameters = nullptr;
    EXPECT_EQ(QmxMain(&request), 1);

    Call call;
    CheckAddress(nullptr, call);
    PointAddress expected;
    std::memset(&expected, kSentinel, sizeof expected);
    expected.text = nullptr;
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(std::memcmp(&call.record, &expected, sizeof expected), 0);
    EXPECT_TRUE(FakeLine().calls().empty());
}

TEST(PointAddress, WorksWithoutAPort) {
    FakeLine().Reset();
    HostText text("001M025 ");
    PointAddress record{};
    record.text = text.bytes.data();
    DriverRequest request{};
    request.context = nullptr;
    request.operation = kOpCheckAddress;
    request.parameters = &record;
    EXPECT_EQ(QmxMain(&request), 0);
    EXPECT_EQ(record.pointIndex, 25);
    EXPECT_TRUE(FakeLine().calls().empty());
}

}  // namespace
