// tz52 write: values written to points, each read back on request.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/output/text.h"

namespace {

struct PointWrite {
    std::string address;
    uint16_t value = 0;
};

class WriteCommand : public Command {
public:
    const char* Usage() const override { return "[--verify]"; }
    std::string Description() const override {
        return std::string("Opens the port, writes VALUE to every point, closes the port. VALUE is 0 to\n"
                           "65535, decimal or hexadecimal with 0x. Types C, M, O and S can be written; an\n"
                           "O point takes bit 0 of the value.\n\n") +
               kAddressHelp;
    }
    void Define(CLI::App* app) override {
        app->add_option("ADDRESS=VALUE", operands);
        app->add_flag("--verify", verify_,
                      "read every point back after writing it; a different value\nis a wrong answer (exit 1)")
            ->disable_flag_override();
    }

    // ADDRESS=VALUE; the address itself is the driver's to judge.
    std::string CheckOperands() override {
        for (const std::string& operand : operands) {
            const size_t equals = operand.find('=');
            if (equals == std::string::npos) return Quoted(operand) + " is not ADDRESS=VALUE";
            PointWrite write;
            write.address = operand.substr(0, equals);
            if (!ParsePointValue(operand.substr(equals + 1), &write.value)) {
                return Quoted(operand) + ": the value must be 0 to 65535 (decimal, or hexadecimal with 0x)";
            }
            writes_.push_back(write);
        }
        return "";
    }

    int Run(Host& host) override {
        std::vector<std::string> texts;
        for (const PointWrite& write : writes_) texts.push_back(write.address);
        std::vector<CheckedAddress> addresses;
        PortSetup setup;
        PortContext context{};
        int exitCode = kExitOk;
        if (!StartOnPort(host, texts, &addresses, &setup, &context, &exitCode)) return exitCode;

        Json points = Json::array();
        if (!host.invocation->json) {
            std::printf(verify_ ? "POINT   WRITTEN  HEX     READ BACK  RESULT\n" : "POINT   WRITTEN  HEX     RESULT\n");
        }
        for (size_t i = 0; i < addresses.size(); ++i) {
            const CheckedAddress& address = addresses[i];
            const uint16_t value = writes_[i].value;
            const std::string point = CanonicalAddress(address);
            std::string failure;
            std::string status = "ok";
            int result = WritePointValue(host.entry, &context, address, value);
            if (result != kResultOk) {
                failure = PointFailureReason(true, result, address, setup);
                Complain(host,
                         "write " + point + ": result " + std::to_string(result) + " (" + ResultMeaning(result) +
                             "): " + failure,
                         result);
                status = "write failed (result " + std::to_string(result) + ")";
            }
            uint16_t readBack = 0;
            bool haveReadBack = false;
            if (result == kResultOk && verify_) {
                result = ReadPointValue(host.entry, &context, address, &readBack);
                if (result != kResultOk) {
                    failure = PointFailureReason(false, result, address, setup);
                    Complain(host,
                             "read-back of " + point + ": result " + std::to_string(result) + " (" +
                                 ResultMeaning(result) + "): " + failure,
                             result);
                    status = "read-back failed (result " + std::to_string(result) + ")";
                } else if (!ReadBackMatches(address, value, readBack)) {
                    haveReadBack = true;
                    result = kResultRefused;
                    failure = "wrong answer: wrote " + std::to_string(value) + ", read back " + std::to_string(readBack);
                    Complain(host, "write " + point + ": " + failure, result);
                    status = "MISMATCH";
                } else {
                    haveReadBack = true;
                    if (address.pointType == kPointO && value > 1) status = "ok (bit 0)";
                }
            }
            exitCode = Worse(exitCode, ExitCodeOf(result));
            if (host.invocation->json) {
                Json entry = PointJson(point, result, "written", value, "");
                if (haveReadBack) entry["readBack"] = readBack;
                if (!failure.empty()) entry["error"] = failure;
                points.push_back(entry);
                continue;
            }
            const std::string readBackText = haveReadBack ? std::to_string(readBack) : "-";
            if (verify_) {
                std::printf("%s %7u  %s  %9s  %s\n", point.c_str(), static_cast<unsigned>(value),
                            HexWord(value).c_str(), readBackText.c_str(), status.c_str());
            } else {
                std::printf("%s %7u  %s  %s\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str(),
                            status.c_str());
            }
        }
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        AddPortJson(&host.document, setup);
        host.document["points"] = points;
        return exitCode;
    }

private:
    bool verify_ = false;
    std::vector<PointWrite> writes_;
};

}  // namespace

std::unique_ptr<Command> MakeWriteCommand() { return std::make_unique<WriteCommand>(); }
