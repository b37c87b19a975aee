// The line's journal with many readers and two appenders at once, built with
// ThreadSanitizer: the line's owner and a face append; readers follow with
// threads of their own (a blocking wait) and from an event loop (an eventfd
// the journal's wake-up writes), and fall behind the small ring now and
// then. Each reader checks what it got: sequence numbers one after another
// but for the gaps the journal announced, each appender's events in order,
// all of them taken or skipped in the end. Listeners come and go meanwhile,
// and none is called after it stopped.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/tz52/bridge/core/journal.h"

namespace {

constexpr size_t kCapacity = 64;
constexpr uint64_t kLineEvents = 20000;
constexpr uint64_t kFaceEvents = 5000;
constexpr uint64_t kTotal = kLineEvents + kFaceEvents;

// One reader's bookkeeping: where it is, what it saw of each appender, and
// what was wrong (an event out of order, a gap not announced, a wrong text).
struct Follower {
    uint64_t after = 0;
    uint64_t taken = 0;
    uint64_t skipped = 0;  // announced as lost behind the ring
    uint64_t faults = 0;
    std::string firstFault;
    long long lastOf[2] = {-1, -1};  // the last number of the line's and the face's events

    // Takes what one read gave; false once every event is taken or skipped.
    bool Take(const Journal::Read& read) {
        if (read.behind) {
            if (read.newest < after) Fault("a resync went back from " + std::to_string(after));
            skipped += read.newest - after;
            after = read.newest;
            lastOf[0] = lastOf[1] = -1;  // events lost in between: numbers may jump
        }
        for (const auto& event : read.events) {
            if (event->sequence != after + 1) Fault("sequence " + std::to_string(event->sequence));
            after = event->sequence;
            ++taken;
            const bool fromLine = event->kind == JournalKind::kPointRead;
            const std::string prefix = fromLine ? "line " : "face ";
            if (event->message.compare(0, prefix.size(), prefix) != 0) {
                Fault("message " + event->message);
                continue;
            }
            const long long number = std::stoll(event->message.substr(prefix.size()));
            long long& last = lastOf[fromLine ? 0 : 1];
            if (last >= 0 && number != last + 1) Fault(event->message + " after " + std::to_string(last));
            last = number;
        }
        return after < kTotal;
    }

    void Fault(const std::string& what) {
        if (faults++ == 0) firstFault = what;
    }
};

void Appender(Journal* journal, JournalKind kind, const char* prefix, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        JournalEvent event;
        event.kind = kind;
        event.message = prefix + std::to_string(i);
        journal->Append(std::move(event));
    }
}

// A reader with a thread of its own; one that takes an event at a time and
// yields after each falls behind the ring now and then.
Follower WaitingReader(const Journal& journal, size_t most) {
    Follower follower;
    do {
        journal.WaitAfter(follower.after, 50);
        if (most == 1) std::this_thread::yield();
    } while (follower.Take(journal.ReadAfter(follower.after, most)));
    return follower;
}

// A reader in an event loop, woken through an eventfd; one wake-up may
// stand for many appends.
Follower EventLoopReader(Journal* journal, std::atomic<int>* failedWakes) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const uint64_t listener = journal->Listen([wake, failedWakes] {
        const uint64_t one = 1;
        if (write(wake, &one, sizeof one) != sizeof one) ++*failedWakes;
    });
    Follower follower;
    Journal::Read read;
    do {
        pollfd ready{wake, POLLIN, 0};
        uint64_t count = 0;
        if (poll(&ready, 1, 50) > 0 && ::read(wake, &count, sizeof count) != sizeof count) ++*failedWakes;
        read = journal->ReadAfter(follower.after, 256);
    } while (follower.Take(read));
    journal->StopListening(listener);
    close(wake);
    return follower;
}

TEST(JournalThreads, ReadersFollowTwoAppendersInOrderAndAnnounceEveryGap) {
    Journal journal(kCapacity);
    std::atomic<int> failedWakes{0};
    std::atomic<bool> appending{true};
    std::atomic<int> calledAfterStop{0};

    std::vector<Follower> results(4);
    std::vector<std::thread> readers;
    readers.emplace_back([&] { results[0] = WaitingReader(journal, 16); });
    readers.emplace_back([&] { results[1] = WaitingReader(journal, 16); });
    readers.emplace_back([&] { results[2] = WaitingReader(journal, 1); });
    readers.emplace_back([&] { results[3] = EventLoopReader(&journal, &failedWakes); });

    // A face that keeps taking its wake-up and letting it go.
    std::thread churn([&] {
        while (appending) {
            auto listening = std::make_shared<std::atomic<bool>>(true);
            const uint64_t listener = journal.Listen([listening, &calledAfterStop] {
                if (!*listening) ++calledAfterStop;
            });
            std::this_thread::yield();
            journal.StopListening(listener);
            *listening = false;
        }
    });

    std::thread line(Appender, &journal, JournalKind::kPointRead, "line ", kLineEvents);
    std::thread face(Appender, &journal, JournalKind::kFaceReport, "face ", kFaceEvents);
    line.join();
    face.join();
    appending = false;
    churn.join();
    for (std::thread& reader : readers) reader.join();

    EXPECT_EQ(journal.ReadAfter(0, 0).newest, kTotal);
    EXPECT_EQ(failedWakes, 0);
    EXPECT_EQ(calledAfterStop, 0);
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE("reader " + std::to_string(i));
        EXPECT_EQ(results[i].faults, 0u) << results[i].firstFault;
        EXPECT_EQ(results[i].taken + results[i].skipped, kTotal);
        EXPECT_GT(results[i].taken, 0u);
    }
}

}  // namespace
