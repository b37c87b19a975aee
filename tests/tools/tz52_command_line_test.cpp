// tz52's command line: what it accepts, what it refuses and the words of the
// refusal; the value parsers of durations, read limits, values and line
// settings.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/tz52/command.h"
#include "tools/tz52/command_line.h"

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

struct RefusedLine {
    const char* arguments;
    const char* errorContains;
};

TEST(Tz52CommandLine, RefusesBadUsageWithAMessageNamingTheFault) {
    const RefusedLine cases[] = {
        {"", "no command given"},
        {"frobnicate", "unknown command \"frobnicate\""},
        {"info --bogus", "unknown option \"--bogus\""},
        {"info 001M025", "info takes no operands (\"001M025\")"},
        {"check", "check needs at least one ADDRESS"},
        {"check --port COM1 001M025", "--port does not apply to check"},
        {"read 001M025", "read needs --port NAME"},
        {"read --port", "--port needs a value"},
        {"read --port pts/5", "read needs at least one ADDRESS"},
        {"read --port pts/5 --every 1s 001M025", "--every does not apply to read"},
        {"read --port /dev/ttyUSB0x 001M025", "longer than 11 characters, the most the host record holds; give the "
                                              "name under /dev/ instead: \"ttyUSB0x\""},
        {"read --port /dev/serial/by-id/usb-1 001M025", "make a short symlink under /dev/ (a udev rule"},
        {"read --port pts/5 --baud 115200 001M025", "1 to 65535 (the host record holds it in 16 bits)"},
        {"read --port pts/5 --baud 0 001M025", "1 to 65535"},
        {"read --port pts/5 --data-bits 9 001M025", "5, 6, 7 or 8"},
        {"read --port pts/5 --data-bits 4 001M025", "5, 6, 7 or 8"},
        {"read --port pts/5 --stop-bits 3 001M025", "1, 1.5 or 2"},
        {"read --port pts/5 --parity weird 001M025", "--parity \"weird\": parity must be none, odd, even, mark or space"},
        {"read --port pts/5 --timeout 0 001M025", "read limit"},
        {"read --port pts/5 --timeout 45ms 001M025", "multiple of 10 ms"},
        {"read --json=yes --port pts/5 001M025", "--json takes no value"},
        {"write --port pts/5 001M025", "\"001M025\" is not ADDRESS=VALUE"},
        {"write --port pts/5 001M025=65536", "0 to 65535"},
        {"write --port pts/5 001M025=-1", "0 to 65535"},
        {"write --port pts/5 001M025=", "0 to 65535"},
        {"write --port pts/5 --count 2 001M025=1", "--count does not apply to write"},
        {"write --port pts/5 --verify=no 001M025=1", "--verify takes no value"},
        {"poll --port pts/5 --every soon 001M025", "such as 500ms, 2s or 10min"},
        {"poll --port pts/5 --count 0 001M025", "1 or more"},
        {"check --verify 001M025", "--verify does not apply to check"},
        {"--port pts/5 read 001M025", "--port goes after the command: tz52 read --port ..."},
        {"--port pts/5 check 001M025", "--port does not apply to check"},
        {"scan --port pts/5 001M025", "scan takes no operands"},
        {"scan --port pts/5 --stations 0-5", "\"0-5\" is not a station (1 to 127) or a range"},
        {"scan --port pts/5 --stations 5-3", "\"5-3\" is not a station"},
        {"scan --port pts/5 --stations 3,,4", "\"\" is not a station"},
        {"dump --port pts/5", "dump needs --station N"},
        {"dump --port pts/5 --station 128", "--station \"128\": a station is 1 to 127"},
        {"dump --port pts/5 --station 3 --types ABX", "\"X\" is not a point type (A B C M O S)"},
        {"dump --port pts/5 --station 3 --format xml", "the format is text, csv or json"},
        {"restore --port pts/5", "restore needs one FILE"},
        {"restore --port pts/5 a.txt b.txt", "restore needs one FILE"},
        {"restore --port pts/5 --yes=no a.txt", "--yes takes no value"},
    };
    for (const RefusedLine& line : cases) {
        CommandLine commandLine;
        const ParseOutcome parsed = commandLine.Parse(Words(line.arguments));
        EXPECT_FALSE(parsed.ok) << line.arguments;
        EXPECT_NE(parsed.error.find(line.errorContains), std::string::npos)
            << line.arguments << "\n  error: " << parsed.error;
    }
}

TEST(Tz52CommandLine, HelpIsAcceptedForEveryCommandWithoutItsOperands) {
    const struct {
        const char* arguments;
        const char* command;
    } cases[] = {
        {"--help", nullptr}, {"-h", nullptr},          {"info --help", "info"}, {"check -h", "check"},
        {"read --help", "read"}, {"write --help", "write"}, {"poll --help", "poll"}, {"scan --help", "scan"},
        {"dump -h", "dump"},     {"restore --help", "restore"},
    };
    for (const auto& c : cases) {
        CommandLine commandLine;
        const ParseOutcome parsed = commandLine.Parse(Words(c.arguments));
        ASSERT_TRUE(parsed.ok) << c.arguments << ": " << parsed.error;
        EXPECT_TRUE(parsed.help) << c.arguments;
        ASSERT_EQ(parsed.command == nullptr, c.command == nullptr) << c.arguments;
        if (c.command != nullptr) {
            EXPECT_STREQ(parsed.command->Name(), c.command);
        }
        const std::string help = commandLine.HelpText(parsed.command);
        EXPECT_EQ(help.rfind("usage: tz52", 0), 0u) << c.arguments;
        EXPECT_NE(help.find("Exit codes:"), std::string::npos) << c.arguments;
        // Only poll has rounds.
        EXPECT_EQ(help.find("round") != std::string::npos, c.command != nullptr && std::string(c.command) == "poll")
            << c.arguments << "\n" << help;
    }
}

TEST(Tz52CommandLine, TakesOptionsInEitherSpellingAndAnywhere) {
    CommandLine commandLine;
    const ParseOutcome parsed = commandLine.Parse(Words(
        "--lib ./x.so poll 001M025 --port=pts/7 --every 250ms --count=3 --baud 4800 --data-bits 7 "
        "--stop-bits 1.5 --parity=E --timeout 20 --json 001a009"));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const Invocation& invocation = commandLine.invocation();
    ASSERT_NE(parsed.command, nullptr);
    EXPECT_STREQ(parsed.command->Name(), "poll");
    EXPECT_EQ(invocation.libraryPath, "./x.so");
    EXPECT_EQ(invocation.port, "pts/7");
    EXPECT_TRUE(invocation.json);
    EXPECT_EQ(invocation.line.baudRate, 4800);
    EXPECT_EQ(invocation.line.dataBits, 7);
    EXPECT_EQ(invocation.line.stopBitsCode, 1);
    EXPECT_EQ(invocation.line.parityCode, 2);
    EXPECT_EQ(invocation.line.readTimeout, 20);
    EXPECT_TRUE(invocation.line.hasBaudRate && invocation.line.hasDataBits && invocation.line.hasStopBits &&
                invocation.line.hasParity && invocation.line.hasReadTimeout);
    EXPECT_EQ(parsed.command->operands, (std::vector<std::string>{"001M025", "001a009"}));
}

TEST(Tz52CommandLine, LineSettingsLeftOutStayUnset) {
    CommandLine commandLine;
    const ParseOutcome parsed = commandLine.Parse(Words("read --port COM1 001M025"));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const LineOverrides& line = commandLine.invocation().line;
    EXPECT_FALSE(line.hasBaudRate || line.hasDataBits || line.hasStopBits || line.hasParity || line.hasReadTimeout);
}

TEST(Tz52CommandLine, OperandsAfterDoubleDashAreNotOptions) {
    for (const char* arguments : {"check -- --help", "check 001M025 -- --help"}) {
        CommandLine commandLine;
        const ParseOutcome parsed = commandLine.Parse(Words(arguments));
        ASSERT_TRUE(parsed.ok) << arguments << ": " << parsed.error;
        EXPECT_FALSE(parsed.help) << arguments;
        EXPECT_EQ(parsed.command->operands.back(), "--help") << arguments;
    }
}

TEST(Tz52Values, DurationsWithTheirUnits) {
    const struct {
        const char* text;
        bool ok;
        int64_t milliseconds;
    } cases[] = {
        {"500ms", true, 500}, {"500MS", true, 500}, {"2s", true, 2000},     {"750", true, 750},
        {"0", true, 0},       {"0ms", true, 0},     {"86400s", true, 86400000}, {"86401s", false, 0},
        {"", false, 0},       {"ms", false, 0},     {"s", false, 0},        {"1.5s", false, 0},
        {"-5ms", false, 0},   {"5 ms", false, 0},   {"0x10ms", false, 0},   {"99999999999999999999", false, 0},
        {"10min", true, 600000}, {"24h", true, 86400000}, {"1441min", false, 0}, {"25h", false, 0},
        {"min", false, 0},    {"5m", false, 0},
    };
    for (const auto& c : cases) {
        int64_t milliseconds = -1;
        EXPECT_EQ(ParseDuration(c.text, &milliseconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(milliseconds, c.milliseconds) << c.text;
        }
    }
}

TEST(Tz52Values, ReadLimitsInTenMillisecondUnits) {
    const struct {
        const char* text;
        bool ok;
        int32_t units;
    } cases[] = {
        {"4", true, 4},      {"40ms", true, 4}, {"1s", true, 100},    {"10ms", true, 1},   {"6000", true, 6000},
        {"60s", true, 6000}, {"0", false, 0},   {"5ms", false, 0},    {"45ms", false, 0},  {"6001", false, 0},
        {"61s", false, 0},   {"", false, 0},    {"four", false, 0},
    };
    for (const auto& c : cases) {
        int32_t units = -1;
        EXPECT_EQ(ParseReadTimeout(c.text, &units), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(units, c.units) << c.text;
        }
    }
}

TEST(Tz52Values, PointValuesAreSixteenBitsDecimalOrHex) {
    const struct {
        const char* text;
        bool ok;
        uint16_t value;
    } cases[] = {
        {"0", true, 0},          {"65535", true, 65535}, {"0xFFFF", true, 0xFFFF}, {"0x00c9", true, 0xC9},
        {"65536", false, 0},     {"0x10000", false, 0},  {"-1", false, 0},         {"12a", false, 0},
        {"0x", false, 0},        {"", false, 0},         {"+5", false, 0},
    };
    for (const auto& c : cases) {
        uint16_t value = 7;
        EXPECT_EQ(ParsePointValue(c.text, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(Tz52Values, StopBitsAndParityBecomeThePortsCodes) {
    const struct {
        const char* text;
        uint16_t code;
    } stopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
    for (const auto& c : stopBits) {
        uint16_t code = 9;
        EXPECT_TRUE(ParseStopBits(c.text, &code)) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    for (const char* refused : {"0", "3", "one", ""}) {
        uint16_t code = 0;
        EXPECT_FALSE(ParseStopBits(refused, &code)) << refused;
    }
    const struct {
        const char* text;
        uint16_t code;
    } parity[] = {{"none", 0}, {"N", 0}, {"odd", 1}, {"o", 1}, {"EVEN", 2}, {"mark", 3}, {"s", 4}, {"Space", 4}};
    for (const auto& c : parity) {
        uint16_t code = 9;
        EXPECT_TRUE(ParseParity(c.text, &code)) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    for (const char* refused : {"", "x", "ev", "nothing"}) {
        uint16_t code = 0;
        EXPECT_FALSE(ParseParity(refused, &code)) << refused;
    }
}

}  // namespace
