// tz52drv.dll as a host sees it under Wine: loaded by name, QmxMain found by
// its plain name and called with the Windows API convention.
//
// COM5 and COM6 are the two ends of a pseudo-terminal pair and COM250 a device
// that does not exist (wine_env.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/driver_api.h"
#include "host/zolvar.h"

namespace {

typedef int32_t(__stdcall* QmxMainFunction)(DriverRequest*);

// The library, loaded once for the whole program, as a host loads it.
class Driver {
public:
    static Driver& Get() {
        static Driver driver;
        return driver;
    }
    HMODULE module() const { return module_; }
    int32_t Call(PortContext* context, int32_t operation, void* parameters) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.context = context;
        request.operation = operation;
        request.parameters = parameters;
        return entry_(&request);
    }
    bool loaded() const { return entry_ != nullptr; }

private:
    Driver() : module_(LoadLibraryA("tz52drv.dll")) {
        if (module_ != nullptr)
            entry_ = reinterpret_cast<QmxMainFunction>(
                reinterpret_cast<void*>(GetProcAddress(module_, "QmxMain")));
    }
    HMODULE module_;
    QmxMainFunction entry_ = nullptr;
};

TEST(DriverLibrary, ExportsQmxMainByItsPlainNameOnly) {
    Driver& driver = Driver::Get();
    ASSERT_NE(driver.module(), nullptr) << "LoadLibraryA(tz52drv.dll) failed: " << GetLastError();
    EXPECT_TRUE(driver.loaded());
    EXPECT_EQ(GetProcAddress(driver.module(), "QmxMain@4"), nullptr);
    EXPECT_EQ(GetProcAddress(driver.module(), "_QmxMain@4"), nullptr);
}

TEST(DriverLibrary, DriverInfoThroughTheExport) {
    ASSERT_TRUE(Driver::Get().loaded());
    PortContext context;
    std::memset(&context, 0xA5, sizeof context);
    const PortContext before = context;
    DriverInfo info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(Driver::Get().Call(&context, kOpDriverInfo, &info), 0);
    EXPECT_EQ(info.infoVersion, 70);
    EXPECT_STREQ(info.name, "KORVEL, ");
    EXPECT_EQ(std::strlen(info.banner), 149u);
    EXPECT_NE(std::strstr(info.banner, "\xB3 KORVEL, tz-52 driver Installed. \xB3"), nullptr);
    EXPECT_EQ(info.inUse, 36);
    EXPECT_EQ(info.readTimeout, 4);
    EXPECT_EQ(info.baudRate, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 0);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof context), 0);
}

TEST(DriverLibrary, RefusedCodesChangeNothing) {
    ASSERT_TRUE(Driver::Get().loaded());
    for (int32_t code : {-1, 0, 4, 6, 8, 9, 10, 16}) {
        PortContext context;
        std::memset(&context, 0xA5, sizeof context);
        uint8_t parameters[64];
        std::memset(parameters, 0x5A, sizeof parameters);
        const PortContext before = context;
        EXPECT_EQ(Driver::Get().Call(&context, code, parameters), 1) << code;
        EXPECT_EQ(std::memcmp(&context, &before, sizeof context), 0) << code;
        for (uint8_t byte : parameters) ASSERT_EQ(byte, 0x5A) << code;
    }
}

// ------------------------------------------------------------ Port control

OpenParameters OpenParametersFor(const char* name, int32_t readTimeout) {
    OpenParameters parameters;
    std::memset(&parameters, 0, sizeof parameters);
    std::strcpy(parameters.portName, name);
    parameters.inUse = 1;
    parameters.readTimeout = readTimeout;
    parameters.baudRate = 9600;
    parameters.dataBits = 8;
    return parameters;
}

TEST(DriverLibrary, OpenFlushCloseOnAComPort) {
    ASSERT_TRUE(Driver::Get().loaded());
    PortContext context;
    std::memset(&context, 0, sizeof context);
    OpenParameters parameters = OpenParametersFor("COM5", 4);
    ASSERT_EQ(Driver::Get().Call(&context, kOpOpen, &parameters), 0);
    ASSERT_NE(context.handle, nullptr);
    EXPECT_EQ(context.readTimeout, 4);
    EXPECT_STREQ(context.settings.name, "COM5");
    EXPECT_EQ(context.settings.options, 8);

    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(context.handle, &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 40u);

    // Bytes sent from the far end are dropped by Flush.
    const HANDLE farEnd = CreateFileA("COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(farEnd, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(farEnd, "stale", 5, &written, nullptr));
    CloseHandle(farEnd);
    Sleep(200);
    EXPECT_EQ(Driver::Get().Call(&context, kOpFlush, nullptr), 0);
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(context.handle, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);

    EXPECT_EQ(Driver::Get().Call(&context, kOpClose, nullptr), 0);
    EXPECT_EQ(context.handle, nullptr);
    EXPECT_EQ(Driver::Get().Call(&context, kOpClose, nullptr), 0);
    EXPECT_EQ(Driver::Get().Call(&context, kOpFlush, nullptr), 0);
}

TEST(DriverLibrary, FailedOpenIsReportedThroughZolvar) {
    ASSERT_TRUE(Driver::Get().loaded());
    ZolvarReset();
    PortContext context;
    std::memset(&context, 0, sizeof context);
    OpenParameters parameters = OpenParametersFor("COM250", 4);
    EXPECT_EQ(Driver::Get().Call(&context, kOpOpen, &parameters), 2);
    EXPECT_EQ(context.handle, nullptr);
    EXPECT_EQ(ZolvarReportCount(), 1);
    EXPECT_EQ(ZolvarLastLevel(), 32);
    EXPECT_STREQ(ZolvarLastFormat(), "QMX%s : Fail to open %s");
    EXPECT_STREQ(ZolvarLastMessage(), "QMXKORVEL,  : Fail to open COM250");
}

}  // namespace
