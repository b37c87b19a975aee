// tz52: a command-line host for the driver library. It loads the library at
// run time and calls QmxMain with the host records, one operation at a time,
// as a host application does. The commands are in command_*.cpp.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/cli/version.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"

namespace {

// --json asked for anywhere before "--": then stdout carries a JSON
// document even when the command line itself is refused.
bool AsksForJson(const std::vector<std::string>& arguments) {
    const auto end = std::find(arguments.begin(), arguments.end(), "--");
    return std::find(arguments.begin(), end, "--json") != end;
}

// The failures of a command, added to its document.
void FinishDocument(Host& host, int exitCode) {
    if (host.documentPrinted) return;
    // A failure told on stderr is told in the document too; a refusal that
    // is part of the output itself (check) is not repeated.
    if (exitCode != kExitOk && !host.errors.empty()) {
        host.document["exitCode"] = exitCode;
        if (host.failedResult != kResultOk) host.document["result"] = host.failedResult;
        host.document["errors"] = host.errors;
    }
    PrintJson(host.document);
}

int ShowVersion() {
    const std::string library = DefaultDriverLibraryPath();
    std::printf("tz52 %s\n", TZ52DRV_VERSION);
    const std::string version = DriverLibraryVersion(library);
    std::printf("driver library %s, version %s\n", library.c_str(), version.empty() ? "unknown" : version.c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    CommandLine commandLine;
    const ParseOutcome parsed = commandLine.Parse(arguments);
    Host host;
    host.invocation = &commandLine.invocation();
    host.arguments = arguments;
    if (parsed.command != nullptr) host.command = parsed.command->Name();
    if (!parsed.ok) {
        // An error under the journal (a bad configuration stops a service
        // here), where `journalctl -p warning` shows it; the usage is plain.
        std::fprintf(stderr, "%stz52: %s\n%s\n", JournalPriority(LogLevel::kError).c_str(), parsed.error.c_str(),
                     commandLine.UsageLine(parsed.command).c_str());
        if (AsksForJson(arguments)) {
            host.errors.push_back(parsed.error);
            FinishDocument(host, parsed.exitCode);
        }
        return parsed.exitCode;
    }
    if (parsed.help) {
        std::fputs(commandLine.HelpText(parsed.command).c_str(), stdout);
        return kExitOk;
    }
    if (parsed.version) return ShowVersion();

    const bool json = host.invocation->json;
    host.libraryPath = host.invocation->libraryPath.empty() ? DefaultDriverLibraryPath() : host.invocation->libraryPath;
    std::string loadError;
    int exitCode = kExitOk;
    if (!parsed.command->UsesDriver()) {
        exitCode = parsed.command->Run(host);
    } else if (!LoadDriverLibrary(host.libraryPath, &host.entry, &loadError)) {
        Complain(host, "cannot load the driver library " + host.libraryPath + ": " + loadError +
                           (host.invocation->libraryPath.empty() ? " (choose one with --lib PATH)" : ""));
        exitCode = kExitLineFailure;
    } else {
        // The driver's Open report is shown as part of tz52's own message.
        host.report = FindHostReport();
        if (host.report.setEcho) host.report.setEcho(0);
        exitCode = parsed.command->Run(host);
    }
    if (json) FinishDocument(host, exitCode);
    return exitCode;
}
