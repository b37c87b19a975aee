// tz52 info: what the driver says about itself (operation 14), in words.
#include <cstdio>
#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/command.h"
#include "tools/tz52/host/point_types.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/text.h"

namespace {

// "9600 baud, 8 data bits, no parity, 1 stop bit (8N1)".
std::string LineInWords(const LineSettings& line) {
    static const char* const kParity[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    static const char* const kStopBits[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    const std::string parity = line.parity < kParityCodes ? kParity[line.parity] : "parity code " + std::to_string(line.parity);
    const std::string stopBits =
        line.stopBits < 3 ? kStopBits[line.stopBits] : "stop-bits code " + std::to_string(line.stopBits);
    const std::string compact = DescribeLine(line);
    return std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) + " data bits, " + parity + ", " +
           stopBits + " (" + compact.substr(compact.find(", ") + 2) + ")";
}

// One field: its label, its value, then what it means, indented under it.
void PrintField(const char* label, const std::string& value, const char* meaning) {
    std::printf("%-15s%s\n", label, value.c_str());
    if (meaning != nullptr) std::printf("%-15s%s\n", "", meaning);
}

class InfoCommand : public Command {
public:
    const char* Usage() const override { return ""; }
    std::string Description() const override {
        return "Shows what the driver says about itself: its name, its installation banner,\n"
               "the line settings and read limit a port opens with, and what each means.\n"
               "Touches no port.\n";
    }
    void Define(CLI::App*) override {}
    std::string CheckOperands() override { return ""; }

    int Run(Host& host) override {
        DriverInfo info;
        const int result = QueryDriverInfo(host.entry, &info);
        if (result != kResultOk) {
            Complain(host, DriverFailure("DriverInfo", kOpDriverInfo, result), result);
            return ExitCodeOf(result);
        }
        const LineSettings line{info.baudRate, info.dataBits, info.stopBits, info.parity};
        const std::vector<std::string> banner = Cp437Lines(info.banner);
        const std::string name = info.name != nullptr ? info.name : "";
        if (host.invocation->json) {
            Json& document = host.document;
            document["library"] = host.libraryPath;
            document["name"] = name;
            document["banner"] = banner;
            document["infoVersion"] = info.infoVersion;
            document["inUse"] = info.inUse;
            document["readTimeout"] = info.readTimeout;
            document["readTimeoutMs"] = info.readTimeout * 10;
            document["baudRate"] = info.baudRate;
            document["dataBits"] = info.dataBits;
            document["stopBitsCode"] = info.stopBits;
            document["parityCode"] = info.parity;
            document["lastField"] = info.reserved;
            document["line"] = DescribeLine(line);
            return kExitOk;
        }
        PrintField("Driver name", Quoted(name), "the name a host lists the driver under");
        PrintField("Library", host.libraryPath, nullptr);
        for (size_t i = 0; i < banner.size(); ++i) PrintField(i == 0 ? "Banner" : "", banner[i], nullptr);
        std::printf("%-15s%s\n", "", "what a host shows once the driver is installed");
        PrintField("Line", LineInWords(line),
                   "what a port opens with unless the host sets other values\n"
                   "               (tz52: --baud, --data-bits, --stop-bits, --parity)");
        PrintField("Read limit",
                   DescribeReadTimeout(info.readTimeout) + " (" + std::to_string(info.readTimeout) + " units of 10 ms)",
                   ("how long the driver waits for each reply; it tries a point " +
                    std::to_string(kDriverAttempts) + " times\n               before it reports a failure (tz52: --timeout)")
                       .c_str());
        PrintField("In-use value", std::to_string(info.inUse),
                   "what the driver suggests for the in-use field of an Open; 0 there\n"
                   "               leaves the port closed");
        PrintField("Record", "version " + std::to_string(info.infoVersion) + ", last field " + std::to_string(info.reserved),
                   "numbers a host may check; the driver itself does not use them");
        return kExitOk;
    }
};

}  // namespace

std::unique_ptr<Command> MakeInfoCommand() { return std::make_unique<InfoCommand>(); }
