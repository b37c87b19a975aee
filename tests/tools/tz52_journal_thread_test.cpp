// The line's journal with many readers and two appenders at once, built with
// ThreadSanitizer: the line's owner and a face append; readers follow with
// a thread of their own (a blocking wait), from an event loop (an eventfd
// the journal's wake-up writes) and one so slow it falls behind the small
// ring. Each reader checks what it got: sequence numbers one after another
// but for the gaps the journal announced, each appender's events in the
// order appended, and all of them taken or skipped in the end. Listeners
// come and go meanwhile, and none is called after it stopped.
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

struct Followed {
    uint64_t taken = 0;
    uint64_t skipped = 0;    // announced as lost: behind the ring
    uint64_t resyncs = 0;
    uint64_t faults = 0;     // an event out of order, a gap not announced, a wrong text
    std::string firstFault;
};

// One reader's bookkeeping: where it is and what it saw of each appender.
class Follower {
public:
    // Takes what one read gave; false once every event is taken or skipped.
    bool Take(const Journal::Read& read) {
        if (read.behind) {
            if (read.newest < after_) Fault("a resync went back from " + std::to_string(after_));
            result_.skipped += read.newest - after_;
            ++result_.resyncs;
            after_ = read.newest;
            // Events lost in between: an appender's numbers may jump.
            lastLine_ = lastFace_ = -1;
            return after_ < kTotal;
        }
        for (const auto& event : read.events) {
            if (event->sequence != after_ + 1) Fault("sequence " + std::to_string(event->sequence));
            after_ = event->sequence;
            ++result_.taken;
            CheckAppenderOrder(*event);
        }
        return after_ < kTotal;
    }

    uint64_t after() const { return after_; }
    const Followed& result() const { return result_; }

private:
    void CheckAppenderOrder(const JournalEvent& event) {
        const bool fromLine = event.kind == JournalKind::kPointChanged;
        const std::string prefix = fromLine ? "line " : "face ";
        if (event.message.compare(0, prefix.size(), prefix) != 0) return Fault("message " + event.message);
        const long long number = std::stoll(event.message.substr(prefix.size()));
        long long& last = fromLine ? lastLine_ : lastFace_;
        if (last >= 0 && number != last + 1) Fault(prefix + std::to_string(number) + " after " + std::to_string(last));
        last = number;
    }

    void Fault(const std::string& what) {
        if (result_.faults++ == 0) result_.firstFault = what;
    }

    uint64_t after_ = 0;
    long long lastLine_ = -1;
    long long lastFace_ = -1;
    Followed result_;
};

void Appender(Journal* journal, JournalKind kind, const char* prefix, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        JournalEvent event;
        event.kind = kind;
        event.message = prefix + std::to_string(i);
        journal->Append(std::move(event));
    }
}

Followed WaitingReader(const Journal& journal) {
    Follower follower;
    do {
        journal.WaitAfter(follower.after(), 50);
    } while (follower.Take(journal.ReadAfter(follower.after(), 16)));
    return follower.result();
}

Followed EventLoopReader(Journal* journal, std::atomic<int>* failedWakes) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ++*failedWakes;
        return Followed{};
    }
    const uint64_t listener = journal->Listen([wake, failedWakes] {
        const uint64_t one = 1;
        if (write(wake, &one, sizeof one) != sizeof one) ++*failedWakes;
    });
    Follower follower;
    bool more = true;
    while (more) {
        pollfd ready{wake, POLLIN, 0};
        if (poll(&ready, 1, 50) > 0) {
            uint64_t count = 0;
            if (read(wake, &count, sizeof count) != sizeof count) ++*failedWakes;
        }
        // One wake-up may stand for many appends: read until caught up.
        Journal::Read read;
        do {
            read = journal->ReadAfter(follower.after(), 256);
            more = follower.Take(read);
        } while (more && follower.after() < read.newest);
    }
    journal->StopListening(listener);
    close(wake);
    return follower.result();
}

Followed SlowReader(const Journal& journal) {
    Follower follower;
    uint64_t reads = 0;
    while (follower.Take(journal.ReadAfter(follower.after(), 1))) {
        if (++reads % 64 == 0) std::this_thread::yield();
        if (journal.ReadAfter(follower.after(), 0).newest == follower.after()) journal.WaitAfter(follower.after(), 50);
    }
    return follower.result();
}

TEST(JournalThreads, ReadersFollowTwoAppendersInOrderAndAnnounceEveryGap) {
    Journal journal(kCapacity);
    std::atomic<int> failedWakes{0};
    std::atomic<bool> appending{true};
    std::atomic<int> calledAfterStop{0};

    std::vector<Followed> results(4);
    std::vector<std::thread> readers;
    readers.emplace_back([&] { results[0] = WaitingReader(journal); });
    readers.emplace_back([&] { results[1] = WaitingReader(journal); });
    readers.emplace_back([&] { results[2] = EventLoopReader(&journal, &failedWakes); });
    readers.emplace_back([&] { results[3] = SlowReader(journal); });

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

    std::thread line(Appender, &journal, JournalKind::kPointChanged, "line ", kLineEvents);
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
