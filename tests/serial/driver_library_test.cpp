// The finished libtz52drv.so as a host meets it: the one symbol it exports,
// the versioned err it imports, no initialisers of its own, and an Open
// failure report that reaches the host library instead of glibc's err(3),
// which would end the process.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver_api.h"

namespace {

// The lines a tool prints about the library; fails the test if it cannot run.
std::vector<std::string> ToolOutput(const std::string& tool, const std::string& arguments) {
    const std::string command = tool + " " + arguments + " '" TZ52_DRIVER_LIBRARY "' 2>&1";
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run: " << command;
        return lines;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        lines.push_back(text);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

TEST(DriverLibrary, ExportsQmxMainAndNothingElse) {
    std::set<std::string> exported;
    for (const std::string& line : ToolOutput(TZ52_NM, "-D --defined-only")) {
        const std::vector<std::string> words = Words(line);
        if (words.size() >= 3) exported.insert(words[2] + " (" + words[1] + ")");
    }
    EXPECT_EQ(exported, std::set<std::string>({"QmxMain (T)"}));
}

TEST(DriverLibrary, ImportsErrWithTheHostLibrarysVersion) {
    // An unversioned err would bind to whichever err the process found
    // first, glibc's included.
    std::vector<std::string> err_references;
    for (const std::string& line : ToolOutput(TZ52_READELF, "--dyn-syms -W")) {
        const std::vector<std::string> words = Words(line);
        if (words.size() < 8 || words[6] != "UND") continue;
        if (words[7] == "err" || words[7].rfind("err@", 0) == 0) err_references.push_back(words[7]);
    }
    EXPECT_EQ(err_references, std::vector<std::string>({"err@ZOLVAR_1"}));
    // ... and the version is required of the host library's file.
    bool in_host_library = false;
    bool version_required = false;
    for (const std::string& line : ToolOutput(TZ52_READELF, "-V -W")) {
        if (line.find("File: ") != std::string::npos) {
            in_host_library = line.find("File: libzolvar.so") != std::string::npos;
        }
        if (in_host_library && line.find("Name: ZOLVAR_1") != std::string::npos) version_required = true;
    }
    EXPECT_TRUE(version_required);
}

TEST(DriverLibrary, HasNoInitialisersOfItsOwn) {
    if (TZ52_SANITIZED) GTEST_SKIP() << "the sanitizer runtime adds initialisers to every library it instruments";
    // The toolchain puts one entry in each array (its frame and destructor
    // helpers); a static object with run-time initialisation would add more.
    for (const std::string& line : ToolOutput(TZ52_READELF, "-d -W")) {
        const std::vector<std::string> words = Words(line);
        if (words.size() < 3) continue;
        if (words[1] == "(INIT_ARRAYSZ)" || words[1] == "(FINI_ARRAYSZ)") {
            EXPECT_LE(std::stoul(words[2]), sizeof(void*)) << line;
        }
        EXPECT_NE(words[1], "(PREINIT_ARRAY)") << line;
    }
}

TEST(DriverLibrary, OpenFailureReportReachesTheHostLibraryAndTheProcessGoesOn) {
    void* driver = dlopen(TZ52_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(driver, nullptr) << dlerror();
    // The stand-in came in as the driver's dependency, not through this process.
    void* host = dlopen(TZ52_HOST_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(host, nullptr) << dlerror();

    using Entry = int32_t (*)(DriverRequest*);
    const Entry qmx_main = reinterpret_cast<Entry>(dlsym(driver, "QmxMain"));
    const auto report_count = reinterpret_cast<int (*)()>(dlsym(host, "ZolvarReportCount"));
    const auto last_level = reinterpret_cast<int (*)()>(dlsym(host, "ZolvarLastLevel"));
    const auto last_message = reinterpret_cast<const char* (*)()>(dlsym(host, "ZolvarLastMessage"));
    const auto reset = reinterpret_cast<void (*)()>(dlsym(host, "ZolvarReset"));
    const auto set_echo = reinterpret_cast<void (*)(int)>(dlsym(host, "ZolvarSetEcho"));
    ASSERT_TRUE(qmx_main && report_count && last_level && last_message && reset && set_echo);

    // The trap is live here: an unversioned lookup finds glibc's err.
    EXPECT_NE(dlsym(RTLD_DEFAULT, "err"), dlsym(host, "err"));

    reset();
    set_echo(0);
    PortContext context;
    std::memset(&context, 0, sizeof context);
    OpenParameters open;
    std::memset(&open, 0, sizeof open);
    std::strcpy(open.portName, "tz52-none");
    open.inUse = 36;
    open.readTimeout = 4;
    open.baudRate = 9600;
    open.dataBits = 8;
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.context = &context;
    request.operation = kOpOpen;
    request.parameters = &open;
    EXPECT_EQ(qmx_main(&request), kResultPortFailure);
    set_echo(1);
    // Still running: glibc's err would have exited.
    EXPECT_EQ(report_count(), 1);
    EXPECT_EQ(last_level(), 32);
    EXPECT_STREQ(last_message(), "QMXKORVEL,  : Fail to open tz52-none");
    EXPECT_EQ(context.handle, nullptr);

    dlclose(host);
    dlclose(driver);
}

}  // namespace
