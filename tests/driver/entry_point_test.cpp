// The entry point: dispatch, refused and unknown operation codes, DriverInfo.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver_api.h"
#include "tests/support/fake_serial.h"

namespace {

struct Fixture {
    PortContext context;
    DriverRequest request;
    uint8_t parameters[64];
    Fixture() {
        std::memset(&context, 0xA5, sizeof context);
        std::memset(&request, 0, sizeof request);
        std::memset(parameters, 0x5A, sizeof parameters);
        request.context = &context;
        request.parameters = parameters;
    }
};

TEST(EntryPoint, RefusesCodesWithoutOperationAndChangesNothing) {
    for (int32_t code : {INT32_MIN, -1, 0, 4, 6, 8, 9, 10, 16, 17, 255, INT32_MAX}) {
        FakeLine().Reset();
        Fixture f;
        f.request.operation = code;
        const Fixture before = f;
        EXPECT_EQ(QmxMain(&f.request), 1) << "operation " << code;
        EXPECT_EQ(std::memcmp(&f.context, &before.context, sizeof f.context), 0) << code;
        EXPECT_EQ(std::memcmp(f.parameters, before.parameters, sizeof f.parameters), 0) << code;
        EXPECT_TRUE(FakeLine().calls().empty()) << code;
    }
}

TEST(EntryPoint, NullRequestIsRefused) { EXPECT_EQ(QmxMain(nullptr), 1); }

TEST(DriverInfoOperation, FillsEveryFieldAndLeavesTheContextAlone) {
    FakeLine().Reset();
    Fixture f;
    f.request.operation = kOpDriverInfo;
    DriverInfo info;
    std::memset(&info, 0xEE, sizeof info);
    f.request.parameters = &info;
    const PortContext before = f.context;
    ASSERT_EQ(QmxMain(&f.request), 0);
    EXPECT_EQ(info.infoVersion, 70);
    EXPECT_STREQ(info.name, "KORVEL, ");
    EXPECT_EQ(info.inUse, 36);
    EXPECT_EQ(info.readTimeout, 4);
    EXPECT_EQ(info.baudRate, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 0);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_EQ(std::memcmp(&f.context, &before, sizeof before), 0);
    EXPECT_TRUE(FakeLine().calls().empty());
}

TEST(DriverInfoOperation, NullParametersAreRefused) {
    Fixture f;
    f.request.operation = kOpDriverInfo;
    f.request.parameters = nullptr;
    EXPECT_EQ(QmxMain(&f.request), 1);
}

TEST(DriverInfoOperation, BannerIsTheInstalledBoxInCodePage437) {
    Fixture f;
    DriverInfo info{};
    f.request.operation = kOpDriverInfo;
    f.request.parameters = &info;
    ASSERT_EQ(QmxMain(&f.request), 0);
    const std::string rule(33, '\xC4');
    const std::string pad(12, ' ');
    const std::string expected = "\r\n\xDA" + rule + "\xBF" + pad +
                                 "\r\n\xB3 KORVEL, tz-52 driver Installed. \xB3" + pad +
                                 "\r\n\xC0" + rule + "\xD9" + pad + "\r\n";
    ASSERT_EQ(expected.size(), 149u);
    EXPECT_EQ(std::string(info.banner), expected);
    EXPECT_EQ(std::strlen(info.name), 8u);
}

}  // namespace
