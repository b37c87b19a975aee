// tz52 check: the driver judges point addresses (operation 3); no port.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/text.h"

namespace {

class CheckCommand : public Command {
public:
    const char* Usage() const override { return ""; }
    std::string Description() const override {
        return std::string("Asks the driver whether each ADDRESS names a point, and shows its station,\n"
                           "type and index. Touches no port.\n\n") +
               kAddressHelp;
    }
    void Define(CLI::App* app) override { app->add_option("ADDRESS", operands); }
    std::string CheckOperands() override { return ""; }

    int Run(Host& host) override {
        int exitCode = kExitOk;
        Json addresses = Json::array();
        for (const std::string& text : operands) {
            const CheckedAddress address = CheckAddress(host.entry, text);
            exitCode = Worse(exitCode, ExitCodeOf(address.result));
            if (host.invocation->json) {
                Json entry = {{"address", text}, {"result", address.result}};
                if (address.result == kResultOk) {
                    entry["valid"] = true;
                    entry["station"] = address.station;
                    entry["type"] = TypeName(address.pointType);
                    entry["index"] = address.pointIndex;
                } else {
                    entry["valid"] = false;
                    entry["reason"] = AddressRefusalReason(address);
                }
                addresses.push_back(entry);
            } else if (address.result == kResultOk) {
                std::printf("%s valid    station %d, type %s, index %d\n", PadRight(text, 9).c_str(), address.station,
                            TypeName(address.pointType).c_str(), address.pointIndex);
            } else {
                std::printf("%s refused  result %d: %s\n", PadRight(text, 9).c_str(), address.result,
                            AddressRefusalReason(address).c_str());
            }
        }
        host.document["addresses"] = addresses;
        return exitCode;
    }
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() { return std::make_unique<CheckCommand>(); }
