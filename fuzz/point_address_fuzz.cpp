// Feeds arbitrary short texts through QmxMain operation 3 and checks:
//   - the result is 0 or 1;
//   - the record ends up exactly as an independent reading of the text says:
//     nothing written for a bad character, the station alone for a bad
//     station, station, type and index for a bad index, all five fields for a
//     valid address; no byte around the record changes;
//   - no byte past the text's first zero byte is read: the text ends at the
//     end of a page and the page after it is inaccessible;
//   - the text is never written (its page is read-only during the call);
//   - the serial line and the PortContext are not touched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver_api.h"
#include "driver/point_ranges.h"
#include "tests/support/fake_serial.h"

namespace {

constexpr size_t kAddressLength = 8;
constexpr uint8_t kFill = 0xC3;

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "point_address_fuzz: %s\n", what);
    std::abort();
}

// Two pages: the text is copied to the end of the first, the second is
// never accessible.
char* TextPage() {
    static char* page = nullptr;
    if (page == nullptr) {
        const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                           -1, 0);
        Require(pages != MAP_FAILED, "mmap of the text pages failed");
        page = static_cast<char*>(pages);
        Require(mprotect(page + size, size, PROT_NONE) == 0, "mprotect of the guard page failed");
    }
    return page;
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// The record with guard bytes on both sides.
struct GuardedRecord {
    uint8_t before[32];
    PointAddress record;
    uint8_t after[32];
};

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

int ThreeDigits(const char* digits) {
    return (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
}

int32_t TypeCodeOf(char letter) {
    switch (letter) {
        case 'A': case 'a': return kPointA;
        case 'B': case 'b': return kPointB;
        case 'C': case 'c': return kPointC;
        case 'M': case 'm': return kPointM;
        case 'O': case 'o': return kPointO;
        case 'S': case 's': return kPointS;
        default: return 0;
    }
}

// What the record should hold after the call, and the result, read from the
// eight bytes the driver may look at (zero from the first zero byte on).
int ExpectedOutcome(const char* bytes, PointAddress* expected) {
    const bool charactersPass = IsDigit(bytes[0]) && IsDigit(bytes[1]) && IsDigit(bytes[2]) &&
                                TypeCodeOf(bytes[3]) != 0 && bytes[4] >= '0' &&
                                bytes[4] <= '6' && IsDigit(bytes[5]) && IsDigit(bytes[6]) &&
                                (bytes[7] == ' ' || bytes[7] == '\0');
    if (!charactersPass) return 1;
    expected->station = ThreeDigits(bytes);
    if (expected->station < kMinStation || expected->station > kMaxStation) return 1;
    expected->pointType = TypeCodeOf(bytes[3]);
    expected->pointIndex = ThreeDigits(bytes + 4);
    if (!IsValidPoint(expected->station, expected->pointType, expected->pointIndex)) return 1;
    expected->validMark = 255;
    expected->validWidth = 16;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The driver reads at most eight bytes, so longer inputs add nothing;
    // -1 keeps them out of the corpus.
    if (size > kAddressLength) return -1;

    // The host's text: up to and including the first zero byte; all eight
    // bytes when none comes before; a shorter text without one gets its
    // terminator.
    char bytes[kAddressLength + 1] = {};
    if (size > 0) std::memcpy(bytes, data, size);
    const void* zero = std::memchr(bytes, 0, size);
    size_t textLength = size;
    if (zero != nullptr) {
        textLength = static_cast<size_t>(static_cast<const char*>(zero) - bytes) + 1;
        // The driver sees zeros from the first zero byte on.
        std::memset(bytes + textLength, 0, sizeof bytes - textLength);
    } else if (size < kAddressLength) {
        textLength = size + 1;
    }

    char* const page = TextPage();
    const size_t pageSize = PageSize();
    char* const text = page + pageSize - textLength;
    std::memcpy(text, bytes, textLength);

    GuardedRecord guarded;
    std::memset(&guarded, kFill, sizeof guarded);
    guarded.record.text = text;
    GuardedRecord expected = guarded;
    const int expectedResult = ExpectedOutcome(bytes, &expected.record);

    constexpr uint8_t kContextFill = 0xA5;
    PortContext context;
    std::memset(&context, kContextFill, sizeof context);
    DriverRequest request{};
    request.context = &context;
    request.operation = kOpCheckAddress;
    request.parameters = &guarded.record;

    Require(mprotect(page, pageSize, PROT_READ) == 0, "mprotect of the text page failed");
    const int result = QmxMain(&request);
    Require(mprotect(page, pageSize, PROT_READ | PROT_WRITE) == 0,
            "mprotect of the text page failed");

    Require(result == 0 || result == 1, "result other than 0 or 1");
    Require(result == expectedResult, "result differs from what the text says");
    Require(guarded.record.station == expected.record.station, "station field");
    Require(guarded.record.pointType == expected.record.pointType, "type field");
    Require(guarded.record.pointIndex == expected.record.pointIndex, "index field");
    Require(std::memcmp(&guarded, &expected, sizeof guarded) == 0,
            "a byte outside the fields this step writes changed");
    Require(std::memcmp(text, bytes, textLength) == 0, "the host's text changed");
    const uint8_t* contextBytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof context; ++i) {
        Require(contextBytes[i] == kContextFill, "the PortContext changed");
    }
    Require(FakeLine().calls().empty(), "the serial line was used");
    return 0;
}
