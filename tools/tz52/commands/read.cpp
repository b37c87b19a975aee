// tz52 read: every point read once.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/text.h"

namespace {

class ReadCommand : public Command {
public:
    const char* Usage() const override { return ""; }
    std::string Description() const override {
        return std::string("Opens the port, reads every point once, closes the port.\n\n") + kAddressHelp;
    }
    void Define(CLI::App* app) override { app->add_option("ADDRESS", operands); }
    std::string CheckOperands() override { return ""; }

    int Run(Host& host) override {
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, operands, &addresses, &setup, &context, &exitCode)) return exitCode;

        Json points = Json::array();
        if (!host.invocation->json) std::printf("POINT     VALUE  HEX     RESULT\n");
        for (const CheckedAddress& address : addresses) {
            uint16_t value = 0;
            const int result = ReadPointValue(host.entry, &context, address, &value);
            exitCode = Worse(exitCode, ExitCodeOf(result));
            const std::string point = CanonicalAddress(address);
            const std::string failure = result == kResultOk ? "" : PointFailureReason(false, result, address, setup);
            if (!failure.empty()) {
                Complain(host,
                         "read " + point + ": result " + std::to_string(result) + " (" + ResultMeaning(result) +
                             "): " + failure,
                         result);
            }
            if (host.invocation->json) {
                points.push_back(PointJson(point, result, result == kResultOk ? "value" : nullptr, value, failure));
            } else if (result == kResultOk) {
                std::printf("%s %7u  %s  ok\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str());
            } else {
                std::printf("%s %7s  %-6s  failed (result %d)\n", point.c_str(), "-", "-", result);
            }
        }
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        AddPortJson(&host.document, setup);
        host.document["points"] = points;
        return exitCode;
    }
};

}  // namespace

std::unique_ptr<Command> MakeReadCommand() { return std::make_unique<ReadCommand>(); }
