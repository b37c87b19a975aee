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

// What became of one write (and its read-back).
struct WriteOutcome {
    int result = kResultOk;
    std::string failure;
    std::string status = "ok";
    uint16_t readBack = 0;
    bool haveReadBack = false;
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
                return Quoted(operand) + ": the value must be 0 to " + std::to_string(UINT16_MAX) +
                       " (decimal, or hexadecimal with 0x)";
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
            WriteOutcome outcome = Write(host, &context, setup, address, value);
            if (outcome.result == kResultOk && verify_) Verify(host, &context, setup, address, value, &outcome);
            exitCode = Worse(exitCode, ExitCodeOf(outcome.result));
            if (host.invocation->json) {
                Json entry = PointJson(point, outcome.result, "written", value, "");
                if (outcome.haveReadBack) entry["readBack"] = outcome.readBack;
                if (!outcome.failure.empty()) entry["error"] = outcome.failure;
                points.push_back(entry);
                continue;
            }
            const std::string readBackText = outcome.haveReadBack ? std::to_string(outcome.readBack) : "-";
            if (verify_) {
                std::printf("%s %7u  %s  %9s  %s\n", point.c_str(), static_cast<unsigned>(value),
                            HexWord(value).c_str(), readBackText.c_str(), outcome.status.c_str());
            } else {
                std::printf("%s %7u  %s  %s\n", point.c_str(), static_cast<unsigned>(value), HexWord(value).c_str(),
                            outcome.status.c_str());
            }
        }
        exitCode = Worse(exitCode, CloseOrExplain(host, &context, setup));
        AddPortJson(&host.document, setup);
        host.document["points"] = points;
        return exitCode;
    }

private:
    static WriteOutcome Write(Host& host, PortContext* context, const PortSetup& setup, const CheckedAddress& address,
                              uint16_t value) {
        WriteOutcome outcome;
        outcome.result = WritePointValue(host.entry, context, address, value);
        if (outcome.result == kResultOk) return outcome;
        outcome.failure = PointFailureReason(true, outcome.result, address, setup);
        Complain(host,
                 "write " + CanonicalAddress(address) + ": result " + std::to_string(outcome.result) + " (" +
                     ResultMeaning(outcome.result) + "): " + outcome.failure,
                 outcome.result);
        outcome.status = "write failed (result " + std::to_string(outcome.result) + ")";
        return outcome;
    }

    // Reads the point back after a write that succeeded.
    static void Verify(Host& host, PortContext* context, const PortSetup& setup, const CheckedAddress& address,
                       uint16_t value, WriteOutcome* outcome) {
        const std::string point = CanonicalAddress(address);
        outcome->result = ReadPointValue(host.entry, context, address, &outcome->readBack);
        if (outcome->result != kResultOk) {
            outcome->failure = PointFailureReason(false, outcome->result, address, setup);
            Complain(host,
                     "read-back of " + point + ": result " + std::to_string(outcome->result) + " (" +
                         ResultMeaning(outcome->result) + "): " + outcome->failure,
                     outcome->result);
            outcome->status = "read-back failed (result " + std::to_string(outcome->result) + ")";
            return;
        }
        outcome->haveReadBack = true;
        if (!ReadBackMatches(address, value, outcome->readBack)) {
            outcome->result = kResultRefused;
            outcome->failure =
                "wrong answer: wrote " + std::to_string(value) + ", read back " + std::to_string(outcome->readBack);
            Complain(host, "write " + point + ": " + outcome->failure, outcome->result);
            outcome->status = "MISMATCH";
        } else if (address.pointType == kPointO && value > 1) {
            outcome->status = "ok (bit 0)";
        }
    }

    bool verify_ = false;
    std::vector<PointWrite> writes_;
};

}  // namespace

std::unique_ptr<Command> MakeWriteCommand() { return std::make_unique<WriteCommand>(); }
