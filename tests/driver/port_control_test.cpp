// Port control over the fake line: the calls each operation makes, its
// result for each failure, what the context holds afterwards, and the one
// report through err.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "driver/driver_api.h"
#include "host/zolvar.h"
#include "tests/support/fake_serial.h"

namespace {

const SerialHandle kHeld = reinterpret_cast<SerialHandle>(0x77000);
const char kOpenFailureFormat[] = "QMX%s : Fail to open %s";

OpenParameters MakeOpen(const char* name, int32_t inUse = 36, int32_t timeout = 4) {
    OpenParameters p;
    std::memset(&p, 0, sizeof p);
    // A name of 12 characters fills the field with no terminator.
    std::memcpy(p.portName, name, std::min(std::strlen(name), sizeof p.portName));
    p.inUse = inUse;
    p.readTimeout = timeout;
    p.baudRate = 19200;
    p.dataBits = 7;
    p.stopBits = 2;
    p.parity = 1;
    return p;
}

ReconfigureParameters MakeReconfigure(const char* name, int32_t timeout) {
    ReconfigureParameters p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.portName, name, std::min(std::strlen(name), sizeof p.portName));
    p.readTimeout = timeout;
    p.baudRate = 1200;
    p.dataBits = 8;
    p.stopBits = 0;
    p.parity = 2;
    return p;
}

class PortControl : public ::testing::Test {
protected:
    void SetUp() override {
        FakeLine().Reset();
        ZolvarReset();
        ZolvarSetEcho(0);
        std::memset(&context, 0, sizeof context);
    }
    void TearDown() override { ZolvarSetEcho(1); }

    int Call(int32_t operation, void* parameters = nullptr) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.context = &context;
        request.operation = operation;
        request.parameters = parameters;
        return QmxMain(&request);
    }

    // A context that already holds port COM1 with timeout 9 and odd options.
    void HoldPort() {
        context.readTimeout = 9;
        context.inUse = 36;
        context.handle = kHeld;
        std::strcpy(context.settings.name, "COM1");
        context.settings.line = LineSettings{9600, 8, 0, 0};
        context.settings.options = 0x0303;
    }

    bool ContextIs(const PortContext& expected) const {
        return std::memcmp(&context, &expected, sizeof context) == 0;
    }

    PortContext context;
};

TEST_F(PortControl, OpenStoresHandleSettingsAndTimeoutAndAppliesTheTimeout) {
    OpenParameters p = MakeOpen("COM3", 36, 4);
    ASSERT_EQ(Call(kOpOpen, &p), 0);
    EXPECT_EQ(FakeLine().Sequence(), "Open(COM3) SetTimeout(4)");
    const SerialCall open = FakeLine().calls()[0];
    EXPECT_EQ(open.line.baudRate, 19200);
    EXPECT_EQ(open.line.dataBits, 7);
    EXPECT_EQ(open.line.stopBits, 2);
    EXPECT_EQ(open.line.parity, 1);
    EXPECT_EQ(open.options, 8);
    EXPECT_EQ(FakeLine().calls()[1].handle, open.handle);

    EXPECT_EQ(context.handle, open.handle);
    EXPECT_EQ(context.readTimeout, 4);
    EXPECT_EQ(context.inUse, 36);
    EXPECT_STREQ(context.settings.name, "COM3");
    EXPECT_EQ(std::memcmp(&context.settings.line, &open.line, sizeof open.line), 0);
    EXPECT_EQ(context.settings.options, 8);
    EXPECT_EQ(ZolvarReportCount(), 0);
}

TEST_F(PortControl, OpenWithInUseZeroOnlyStoresTheInUseValue) {
    HoldPort();
    PortContext expected = context;
    expected.inUse = 0;
    OpenParameters p = MakeOpen("COM3", 0);
    EXPECT_EQ(Call(kOpOpen, &p), 0);
    EXPECT_TRUE(ContextIs(expected));
    EXPECT_TRUE(FakeLine().calls().empty());
}

TEST_F(PortControl, FailedOpenReportsAndKeepsSettingsAndTimeout) {
    for (int openResult : {1, 4, 5}) {
        SetUp();
        HoldPort();
        context.handle = nullptr;
        PortContext expected = context;
        expected.inUse = 36;
        FakeLine().QueueOpen(openResult);
        OpenParameters p = MakeOpen("COM9");
        EXPECT_EQ(Call(kOpOpen, &p), 2) << openResult;
        EXPECT_EQ(FakeLine().Sequence(), "Open(COM9)") << openResult;
        EXPECT_TRUE(ContextIs(expected)) << openResult;
        EXPECT_EQ(ZolvarReportCount(), 1);
        EXPECT_EQ(ZolvarLastLevel(), 32);
        EXPECT_STREQ(ZolvarLastFormat(), kOpenFailureFormat);
        EXPECT_STREQ(ZolvarLastMessage(), "QMXKORVEL,  : Fail to open COM9");
    }
}

// Open, Reopen and Reconfigure over a context that holds a port: the held
// handle is closed first, and a failed close keeps it and opens nothing.
struct ReplaceCase {
    const char* what;
    int closeResult;
    int openResult;
    int expected;
    const char* sequence;
    bool handleKept;     // else: null after a failed open, new after a good one
    bool settingsNew;    // the stored settings describe the new port
    int reports;         // through err
};

// The handle a context should hold after one of these cases: the held one,
// the one the second call (the open) produced, or none.
SerialHandle HandleAfter(const ReplaceCase& c) {
    if (c.handleKept) return kHeld;
    if (c.expected == 0) return FakeLine().calls()[1].handle;
    return nullptr;
}

TEST_F(PortControl, OpenOverAHeldPortClosesItFirst) {
    const ReplaceCase cases[] = {
        {"close and open succeed", 0, 0, 0, "Close Open(COM2) SetTimeout(4)", false, true, 0},
        {"close fails", 7, 0, 2, "Close", true, false, 1},
        {"open fails after the close", 0, 1, 2, "Close Open(COM2)", false, false, 1},
    };
    for (const ReplaceCase& c : cases) {
        SetUp();
        HoldPort();
        const PortContext before = context;
        FakeLine().QueueClose(c.closeResult);
        FakeLine().QueueOpen(c.openResult);
        OpenParameters p = MakeOpen("COM2");
        EXPECT_EQ(Call(kOpOpen, &p), c.expected) << c.what;
        EXPECT_EQ(FakeLine().Sequence(), c.sequence) << c.what;
        EXPECT_EQ(FakeLine().calls()[0].handle, kHeld) << c.what;
        EXPECT_EQ(context.handle, HandleAfter(c)) << c.what;
        EXPECT_STREQ(context.settings.name, c.settingsNew ? "COM2" : "COM1") << c.what;
        EXPECT_EQ(context.readTimeout, c.settingsNew ? 4 : 9) << c.what;
        EXPECT_EQ(std::memcmp(&context.settings, &before.settings, sizeof before.settings) == 0,
                  !c.settingsNew)
            << c.what;
        EXPECT_EQ(ZolvarReportCount(), c.reports) << c.what;
        if (c.reports) {
            EXPECT_STREQ(ZolvarLastMessage(), "QMXKORVEL,  : Fail to open COM2") << c.what;
        }
    }
}

TEST_F(PortControl, OpenRefusesANameThatOverrunsItsField) {
    HoldPort();
    PortContext expected = context;
    OpenParameters p = MakeOpen("");
    std::memcpy(p.portName, "ABCDEFGHIJKL", 12);  // no terminator within the field
    expected.inUse = p.inUse;
    EXPECT_EQ(Call(kOpOpen, &p), 2);
    EXPECT_TRUE(FakeLine().calls().empty());
    EXPECT_TRUE(ContextIs(expected));
    EXPECT_EQ(ZolvarReportCount(), 1);
    EXPECT_STREQ(ZolvarLastMessage(), "QMXKORVEL,  : Fail to open ABCDEFGHIJK");

    // Eleven characters and the terminator fill the field exactly.
    OpenParameters longest = MakeOpen("ABCDEFGHIJK");
    EXPECT_EQ(Call(kOpOpen, &longest), 0);
    EXPECT_STREQ(context.settings.name, "ABCDEFGHIJK");
}

TEST_F(PortControl, MissingRecordsAreRefusedAndTouchNothing) {
    for (int32_t op : {kOpOpen, kOpReconfigure}) {
        SetUp();
        HoldPort();
        const PortContext before = context;
        EXPECT_EQ(Call(op, nullptr), 1) << op;
        EXPECT_TRUE(ContextIs(before)) << op;
    }
    OpenParameters open = MakeOpen("COM1");
    ReconfigureParameters reconfigure = MakeReconfigure("COM1", 3);
    uint8_t valueBuffer[4] = {};
    PointIo point;
    std::memset(&point, 0, sizeof point);
    point.station = 1;
    point.pointType = kPointC;
    point.pointIndex = 1;
    point.valueBuffer = valueBuffer;
    // No context at all: every operation that needs one refuses.
    const struct {
        int32_t op;
        void* parameters;
    } calls[] = {{kOpOpen, &open},   {kOpFlush, nullptr},  {kOpClose, nullptr},
                 {kOpCloseAlso, nullptr}, {kOpReopen, nullptr}, {kOpReconfigure, &reconfigure},
                 {kOpReadPoint, &point}, {kOpWritePoint, &point}};
    for (const auto& call : calls) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.operation = call.op;
        request.parameters = call.parameters;
        EXPECT_EQ(QmxMain(&request), 1) << call.op;
    }
    EXPECT_TRUE(FakeLine().calls().empty());
    EXPECT_EQ(ZolvarReportCount(), 0);
}

TEST_F(PortControl, FlushPurgesOnlyAnOpenPortAndAlwaysSucceeds) {
    EXPECT_EQ(Call(kOpFlush), 0);
    EXPECT_TRUE(FakeLine().calls().empty());

    HoldPort();
    const PortContext before = context;
    FakeLine().QueuePurge(1);
    EXPECT_EQ(Call(kOpFlush), 0);
    EXPECT_EQ(FakeLine().Sequence(), "Purge");
    EXPECT_EQ(FakeLine().calls()[0].handle, kHeld);
    EXPECT_TRUE(ContextIs(before));
}

TEST_F(PortControl, CloseReleasesTheHandleOrKeepsItForARetry) {
    for (int32_t op : {kOpClose, kOpCloseAlso}) {
        SetUp();
        HoldPort();
        FakeLine().QueueClose(7);
        EXPECT_EQ(Call(op), 2) << op;
        EXPECT_EQ(context.handle, kHeld) << op;
        EXPECT_EQ(Call(op), 0) << op;
        EXPECT_EQ(context.handle, nullptr) << op;
        EXPECT_EQ(Call(op), 0) << op;  // already closed: nothing to do
        EXPECT_EQ(FakeLine().Sequence(), "Close Close") << op;
        for (const SerialCall& call : FakeLine().calls()) EXPECT_EQ(call.handle, kHeld);
        EXPECT_STREQ(context.settings.name, "COM1");
    }
}

TEST_F(PortControl, ReopenUsesTheStoredSettingsAndSetsInUse) {
    HoldPort();
    context.handle = nullptr;
    context.inUse = 0;
    ASSERT_EQ(Call(kOpReopen), 0);
    ASSERT_EQ(FakeLine().Sequence(), "Open(COM1)");  // the timeout is not applied again
    const SerialCall open = FakeLine().calls()[0];
    EXPECT_EQ(open.options, 0x0303);
    EXPECT_EQ(std::memcmp(&open.line, &context.settings.line, sizeof open.line), 0);
    EXPECT_EQ(context.handle, open.handle);
    EXPECT_EQ(context.inUse, 1);
    EXPECT_EQ(context.readTimeout, 9);
}

TEST_F(PortControl, ReopenOverAHeldPortClosesItFirst) {
    const ReplaceCase cases[] = {
        {"close and open succeed", 0, 0, 0, "Close Open(COM1)", false, false, 0},
        {"close fails", 7, 0, 2, "Close", true, false, 0},
        {"open fails after the close", 0, 5, 2, "Close Open(COM1)", false, false, 0},
    };
    for (const ReplaceCase& c : cases) {
        SetUp();
        HoldPort();
        context.inUse = 0;
        const PortSettings settings = context.settings;
        FakeLine().QueueClose(c.closeResult);
        FakeLine().QueueOpen(c.openResult);
        EXPECT_EQ(Call(kOpReopen), c.expected) << c.what;
        EXPECT_EQ(FakeLine().Sequence(), c.sequence) << c.what;
        EXPECT_EQ(context.handle, HandleAfter(c)) << c.what;
        EXPECT_EQ(context.inUse, c.expected == 0 ? 1 : 0) << c.what;
        EXPECT_EQ(std::memcmp(&context.settings, &settings, sizeof settings), 0) << c.what;
        EXPECT_EQ(ZolvarReportCount(), 0) << c.what;
    }
}

TEST_F(PortControl, ReopenRefusesAStoredNameWithoutTerminator) {
    HoldPort();
    std::memset(context.settings.name, 'X', sizeof context.settings.name);
    const PortContext before = context;
    EXPECT_EQ(Call(kOpReopen), 2);
    EXPECT_TRUE(ContextIs(before));
    EXPECT_TRUE(FakeLine().calls().empty());
}

TEST_F(PortControl, ReconfigureStoresTheNewLineAndKeepsTheOptionWord) {
    const struct {
        const char* name;
        int32_t timeout;
        int32_t storedTimeout;
    } cases[] = {{"COM2", 0, 9}, {"COM1", 0, 9}, {"COM2", 7, 7}};
    for (const auto& c : cases) {
        SetUp();
        HoldPort();
        ReconfigureParameters p = MakeReconfigure(c.name, c.timeout);
        ASSERT_EQ(Call(kOpReconfigure, &p), 0) << c.name;
        // The new timeout is only remembered, never applied.
        EXPECT_EQ(FakeLine().Sequence(), std::string("Close Open(") + c.name + ")");
        EXPECT_EQ(FakeLine().calls()[0].handle, kHeld);
        const SerialCall open = FakeLine().calls()[1];
        EXPECT_EQ(context.handle, open.handle);
        EXPECT_EQ(context.readTimeout, c.storedTimeout);
        EXPECT_EQ(context.inUse, 36);
        EXPECT_STREQ(context.settings.name, c.name);
        EXPECT_EQ(context.settings.line.baudRate, 1200);
        EXPECT_EQ(context.settings.line.dataBits, 8);
        EXPECT_EQ(context.settings.line.stopBits, 0);
        EXPECT_EQ(context.settings.line.parity, 2);
        EXPECT_EQ(context.settings.options, 0x0303);
        EXPECT_EQ(std::memcmp(&open.line, &context.settings.line, sizeof open.line), 0);
        EXPECT_EQ(open.options, 0x0303);
    }
}

TEST_F(PortControl, ReconfigureOverAHeldPortClosesItFirst) {
    const ReplaceCase cases[] = {
        {"close fails", 7, 0, 2, "Close", true, false, 0},
        {"open fails after the close", 0, 1, 2, "Close Open(LONGERNAME)", false, true, 0},
    };
    for (const ReplaceCase& c : cases) {
        SetUp();
        HoldPort();
        const PortSettings settings = context.settings;
        FakeLine().QueueClose(c.closeResult);
        FakeLine().QueueOpen(c.openResult);
        ReconfigureParameters p = MakeReconfigure("LONGERNAME", 3);
        EXPECT_EQ(Call(kOpReconfigure, &p), c.expected) << c.what;
        EXPECT_EQ(FakeLine().Sequence(), c.sequence) << c.what;
        EXPECT_EQ(context.handle, c.handleKept ? kHeld : nullptr) << c.what;
        // A failed close stores nothing of the request, the timeout included.
        EXPECT_EQ(context.readTimeout, c.handleKept ? 9 : 3) << c.what;
        if (c.settingsNew) {
            EXPECT_STREQ(context.settings.name, "LONGERNAME") << c.what;
        } else {
            EXPECT_EQ(std::memcmp(&context.settings, &settings, sizeof settings), 0) << c.what;
        }
        EXPECT_EQ(ZolvarReportCount(), 0) << c.what;
    }
}

TEST_F(PortControl, ReconfigureOfAClosedPortOpensIt) {
    ReconfigureParameters p = MakeReconfigure("COM4", 0);
    ASSERT_EQ(Call(kOpReconfigure, &p), 0);
    EXPECT_EQ(FakeLine().Sequence(), "Open(COM4)");
    EXPECT_NE(context.handle, nullptr);
}

TEST_F(PortControl, ReconfigureRefusesANameThatOverrunsItsField) {
    HoldPort();
    const PortContext before = context;
    ReconfigureParameters p = MakeReconfigure("", 5);
    std::memcpy(p.portName, "ABCDEFGHIJKL", 12);
    EXPECT_EQ(Call(kOpReconfigure, &p), 2);
    EXPECT_TRUE(ContextIs(before));
    EXPECT_TRUE(FakeLine().calls().empty());
    EXPECT_EQ(ZolvarReportCount(), 0);
}

}  // namespace
