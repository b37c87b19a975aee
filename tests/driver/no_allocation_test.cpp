// The driver allocates no memory: not on Open, not in thousands of reads and
// writes of every point type over a real serial backend, not on Close.
//
// Every allocation and free made on a thread that has counting switched on
// is counted; counting is on only while QmxMain runs, so the test's own
// allocations (GoogleTest, the controller thread) are not counted.
//
// How they are seen depends on the build:
// - Ordinarily the test binary puts its own malloc, calloc, realloc, free,
//   aligned allocations and operator new/delete in front of the C library's;
//   each counts and forwards to the next definition in line (dlsym
//   RTLD_NEXT). The C library's own internal allocations come through them
//   as well.
// - Under AddressSanitizer the sanitizer owns the allocator, and its
//   interceptors (strdup and the like) allocate without calling malloc, so
//   an interposed malloc would miss them. There the sanitizer's allocation
//   hooks count instead: they see every block its allocator hands out or
//   takes back, whoever asked.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver_api.h"

#if defined(__SANITIZE_ADDRESS__)
#define COUNT_WITH_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COUNT_WITH_SANITIZER_HOOKS 1
#endif
#endif

#if !defined(COUNT_WITH_SANITIZER_HOOKS)
#include <dlfcn.h>
#endif

// ---- Counting ---------------------------------------------------------------

namespace {

struct AllocationCounts {
    std::atomic<long> allocations{0};
    std::atomic<long> frees{0};
};
AllocationCounts g_counts;

// Only the thread that calls QmxMain counts, and only during the call.
thread_local bool t_counting = false;

void CountAllocation() {
    if (t_counting) g_counts.allocations.fetch_add(1, std::memory_order_relaxed);
}
void CountFree(const volatile void* pointer) {
    if (t_counting && pointer != nullptr) g_counts.frees.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(COUNT_WITH_SANITIZER_HOOKS)

// ---- Under AddressSanitizer: its allocation hooks ---------------------------

extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));

namespace {

void OnSanitizerAllocation(const volatile void*, size_t) { CountAllocation(); }
void OnSanitizerFree(const volatile void* pointer) { CountFree(pointer); }

// Installed before main, while there is one thread.
[[maybe_unused]] const int g_sanitizerHooks =
    __sanitizer_install_malloc_and_free_hooks(OnSanitizerAllocation, OnSanitizerFree);

}  // namespace

#else

// ---- Otherwise: an allocator interposed in front of the C library's ---------

namespace {

using MallocFunction = void* (*)(size_t);
using CallocFunction = void* (*)(size_t, size_t);
using ReallocFunction = void* (*)(void*, size_t);
using FreeFunction = void (*)(void*);
using AlignedAllocFunction = void* (*)(size_t, size_t);
using PosixMemalignFunction = int (*)(void**, size_t, size_t);

struct NextAllocator {
    MallocFunction malloc_;
    CallocFunction calloc_;
    ReallocFunction realloc_;
    FreeFunction free_;
    AlignedAllocFunction alignedAlloc_;
    PosixMemalignFunction posixMemalign_;
};

// dlsym may itself ask for memory before the real allocator is known; such
// early requests are served from this arena and never freed.
alignas(std::max_align_t) unsigned char g_arena[16384];
size_t g_arenaUsed = 0;
bool g_resolving = false;

bool InArena(const void* pointer) {
    const unsigned char* bytes = static_cast<const unsigned char*>(pointer);
    return bytes >= g_arena && bytes < g_arena + sizeof g_arena;
}

void* ArenaAllocate(size_t size) {
    const size_t step = alignof(std::max_align_t);
    const size_t rounded = (size + step - 1) / step * step;
    if (rounded > sizeof g_arena - g_arenaUsed) return nullptr;
    void* block = g_arena + g_arenaUsed;
    g_arenaUsed += rounded;
    return block;
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

const NextAllocator* Allocator() {
    static NextAllocator next;
    static bool resolved = false;
    if (!resolved) {
        g_resolving = true;
        next.malloc_ = Next<MallocFunction>("malloc");
        next.calloc_ = Next<CallocFunction>("calloc");
        next.realloc_ = Next<ReallocFunction>("realloc");
        next.free_ = Next<FreeFunction>("free");
        next.alignedAlloc_ = Next<AlignedAllocFunction>("aligned_alloc");
        next.posixMemalign_ = Next<PosixMemalignFunction>("posix_memalign");
        g_resolving = false;
        resolved = true;
    }
    return &next;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    if (g_resolving) return ArenaAllocate(size);
    CountAllocation();
    return Allocator()->malloc_(size);
}

void* calloc(size_t count, size_t size) {
    if (g_resolving) {
        // The arena is static storage, so its bytes are still zero.
        if (size != 0 && count > SIZE_MAX / size) return nullptr;
        return ArenaAllocate(count * size);
    }
    CountAllocation();
    return Allocator()->calloc_(count, size);
}

void* realloc(void* pointer, size_t size) {
    CountAllocation();
    if (InArena(pointer)) {
        // Arena blocks do not know their size; copy what can be copied.
        void* moved = Allocator()->malloc_(size);
        if (moved) {
            const size_t available = static_cast<size_t>(g_arena + sizeof g_arena -
                                                         static_cast<unsigned char*>(pointer));
            std::memcpy(moved, pointer, size < available ? size : available);
        }
        return moved;
    }
    return Allocator()->realloc_(pointer, size);
}

void free(void* pointer) {
    if (pointer == nullptr || InArena(pointer)) return;
    CountFree(pointer);
    Allocator()->free_(pointer);
}

void* aligned_alloc(size_t alignment, size_t size) {
    CountAllocation();
    return Allocator()->alignedAlloc_(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    CountAllocation();
    return Allocator()->posixMemalign_(out, alignment, size);
}

}  // extern "C"

// libstdc++'s operator new calls malloc already; replacing it makes that
// independent of the library's build.
void* operator new(size_t size) {
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* pointer) noexcept { free(pointer); }
void operator delete[](void* pointer) noexcept { free(pointer); }
void operator delete(void* pointer, size_t) noexcept { free(pointer); }
void operator delete[](void* pointer, size_t) noexcept { free(pointer); }

#endif  // COUNT_WITH_SANITIZER_HOOKS

namespace {

// Runs one driver call with counting on.
int32_t CountedCall(PortContext* context, DriverOp operation, void* parameters) {
    DriverRequest request{};
    request.context = context;
    request.operation = operation;
    request.parameters = parameters;
    t_counting = true;
    const int32_t result = QmxMain(&request);
    t_counting = false;
    return result;
}

// ---- A controller on the master side of a pseudo-terminal -------------------

// What a request's opcode says about the exchange: payload bytes in the
// request, data bytes in the reply.
struct Command {
    uint8_t opcode;
    uint32_t payloadBytes;
    uint32_t replyDataBytes;
};
constexpr Command kCommands[] = {
    {0x34, 2, 2},  // read A
    {0x38, 2, 1},  // read B
    {0x20, 2, 3},  // read C
    {0x24, 2, 3},  // read M, low bank
    {0x48, 2, 3},  // read M, middle bank
    {0x4C, 2, 3},  // read M, high bank
    {0x2C, 2, 1},  // read O
    {0x41, 4, 3},  // read S
    {0x0F, 5, 0},  // word write (C, M)
    {0x28, 2, 0},  // bit write (O)
    {0x47, 5, 1},  // byte write (S)
};

const Command* FindCommand(uint8_t opcode) {
    for (const Command& command : kCommands)
        if (command.opcode == opcode) return &command;
    return nullptr;
}

// Answers every request it understands with a valid reply (data bytes 0x11,
// 0x22, 0x03), or stays silent when told to, and ends when the slave side
// closes.
class Controller {
public:
    explicit Controller(int master) : master_(master), thread_([this] { Run(); }) {}
    ~Controller() { thread_.join(); }
    void SetAnswering(bool answering) { answering_ = answering; }

private:
    bool ReadExact(uint8_t* buffer, size_t count) {
        size_t got = 0;
        while (got < count) {
            const ssize_t part = read(master_, buffer + got, count - got);
            if (part < 0 && errno == EINTR) continue;
            if (part <= 0) return false;
            got += static_cast<size_t>(part);
        }
        return true;
    }

    void Run() {
        uint8_t request[16];
        for (;;) {
            // Header (4 bytes) and the opcode's pair tell the request's length.
            if (!ReadExact(request, 6)) return;
            const Command* command = FindCommand(request[5]);
            if (command == nullptr) continue;  // not ours: let the driver time out
            if (!ReadExact(request + 6, 2 * (command->payloadBytes - 1))) return;
            if (!answering_) continue;
            uint8_t reply[10] = {0xFE, 0x00, 0x00, 0x7F};
            const uint8_t data[3] = {0x11, 0x22, 0x03};
            for (uint32_t i = 0; i < command->replyDataBytes; ++i) {
                reply[4 + 2 * i] = data[i];
                reply[5 + 2 * i] = static_cast<uint8_t>(0x7F - data[i]);
            }
            const size_t length = 4 + 2 * command->replyDataBytes;
            if (write(master_, reply, length) != static_cast<ssize_t>(length)) return;
        }
    }

    int master_;
    std::atomic<bool> answering_{true};
    std::thread thread_;
};

struct PointCase {
    int32_t type;
    int32_t index;
};
constexpr PointCase kReads[] = {
    {kPointA, 9}, {kPointB, 16}, {kPointC, 1}, {kPointM, 1}, {kPointM, 100},
    {kPointM, 256}, {kPointO, 12}, {kPointS, 1}, {kPointS, 250},
};
constexpr PointCase kWrites[] = {
    {kPointC, 16}, {kPointM, 32}, {kPointM, 33}, {kPointM, 161}, {kPointO, 1}, {kPointS, 126},
};

int32_t PointCall(PortContext* context, DriverOp operation, const PointCase& point,
                  uint8_t* valueBuffer) {
    PointIo io{};
    io.station = 1;
    io.pointType = point.type;
    io.pointIndex = point.index;
    io.valueBuffer = valueBuffer;
    return CountedCall(context, operation, &io);
}

class NoAllocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0) << "posix_openpt: " << std::strerror(errno);
        char path[64];
        ASSERT_EQ(grantpt(master_), 0) << "grantpt: " << std::strerror(errno);
        ASSERT_EQ(unlockpt(master_), 0) << "unlockpt: " << std::strerror(errno);
        ASSERT_EQ(ptsname_r(master_, path, sizeof path), 0) << "ptsname_r: " << std::strerror(errno);
        portName_ = path + std::strlen("/dev/");
        g_counts.allocations = 0;
        g_counts.frees = 0;
    }
    void TearDown() override {
        if (master_ >= 0) close(master_);
    }

    OpenParameters OpenRecord(int32_t timeout) const {
        OpenParameters open{};
        std::strncpy(open.portName, portName_.c_str(), sizeof open.portName - 1);
        open.inUse = 1;
        open.readTimeout = timeout;
        open.baudRate = 9600;
        open.dataBits = 8;
        return open;
    }

    int master_ = -1;
    std::string portName_;
};

TEST_F(NoAllocationTest, CountingSeesAllocationsMadeDuringACountedCall) {
    // The counter must not be blind: every kind of allocation on a counting
    // thread shows.
    // Through volatile pointers, so that the optimiser cannot drop the pairs.
    t_counting = true;
    void* volatile block = malloc(16);
    free(block);
    int* volatile object = new int(7);
    delete object;
    // An allocation made inside the C library on the driver's behalf.
    char* volatile copy = strdup("tz52");
    free(copy);
    t_counting = false;
    EXPECT_EQ(g_counts.allocations.load(), 3);
    EXPECT_EQ(g_counts.frees.load(), 3);
}

TEST_F(NoAllocationTest, OpenReadsWritesAndCloseAllocateNothing) {
    constexpr int kRounds = 1000;
    PortContext context{};
    OpenParameters open = OpenRecord(100);
    ASSERT_EQ(CountedCall(&context, kOpOpen, &open), 0) << "open " << portName_;
    {
        // The controller starts once the slave side is open: before that a
        // read on the master fails at once.
        Controller controller(master_);
        uint8_t value[4] = {0, 0, 0x34, 0x12};
        long failures = 0;
        for (int round = 0; round < kRounds; ++round) {
            for (const PointCase& point : kReads)
                if (PointCall(&context, kOpReadPoint, point, value) != 0) ++failures;
            for (const PointCase& point : kWrites)
                if (PointCall(&context, kOpWritePoint, point, value) != 0) ++failures;
        }
        EXPECT_EQ(failures, 0) << "the counts prove nothing unless the commands ran";

        // The remaining operations, once each.
        EXPECT_EQ(CountedCall(&context, kOpFlush, nullptr), 0);
        PointAddress address{};
        address.text = "001M025 ";
        EXPECT_EQ(CountedCall(&context, kOpCheckAddress, &address), 0);
        DriverInfo info{};
        EXPECT_EQ(CountedCall(&context, kOpDriverInfo, &info), 0);
        EXPECT_EQ(CountedCall(&context, kOpClose, nullptr), 0);
    }
    EXPECT_EQ(g_counts.allocations.load(), 0);
    EXPECT_EQ(g_counts.frees.load(), 0);
}

TEST_F(NoAllocationTest, PurgingStaleInputAndTimingOutAllocateNothing) {
    uint8_t value[4] = {};
    PortContext context{};
    // Inside a block that holds a controller only EXPECTs: the controller's
    // thread ends when the port closes, so the port must always be closed.
    OpenParameters open = OpenRecord(100);
    ASSERT_EQ(CountedCall(&context, kOpOpen, &open), 0) << "open " << portName_;
    {
        Controller controller(master_);
        // Stale bytes waiting before the request: the purge reads and drops
        // them (more than one 512-byte block).
        const uint8_t stale[600] = {0x55};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(write(master_, stale, sizeof stale), static_cast<ssize_t>(sizeof stale));
            poll(nullptr, 0, 20);  // let the bytes reach the slave's input queue
            EXPECT_EQ(PointCall(&context, kOpReadPoint, {kPointC, 1}, value), 0);
        }
        EXPECT_EQ(CountedCall(&context, kOpClose, nullptr), 0);
    }

    // A controller that never answers, with a short limit: every attempt
    // waits its limit out.
    open = OpenRecord(1);
    ASSERT_EQ(CountedCall(&context, kOpOpen, &open), 0) << "open " << portName_;
    {
        Controller controller(master_);
        controller.SetAnswering(false);
        EXPECT_EQ(PointCall(&context, kOpReadPoint, {kPointC, 1}, value), 2);
        EXPECT_EQ(PointCall(&context, kOpWritePoint, {kPointS, 1}, value), 2);
        EXPECT_EQ(CountedCall(&context, kOpClose, nullptr), 0);
    }
    EXPECT_EQ(g_counts.allocations.load(), 0);
    EXPECT_EQ(g_counts.frees.load(), 0);
}

}  // namespace
