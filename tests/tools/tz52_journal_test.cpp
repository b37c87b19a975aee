// The line's journal as one reader sees it: what a read from a sequence
// number gives, when a reader is told it fell behind and where it goes on,
// texts and writes from outside kept within their bounds, and the wake-ups.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tools/tz52/bridge/core/journal.h"

namespace {

// Event N carries N in its value and its message, so a read shows whether
// it got the event of that sequence number.
void AppendNumbered(Journal* journal, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t sequence = journal->ReadAfter(0, 0).newest + 1;
        JournalEvent event;
        event.kind = JournalKind::kPointRead;
        event.value = static_cast<uint16_t>(sequence);
        event.message = "event " + std::to_string(sequence);
        ASSERT_EQ(journal->Append(event), sequence);
    }
}

struct ReadCase {
    const char* behaviour;
    size_t capacity;
    uint64_t appended;
    uint64_t after;
    size_t most;
    bool behind;
    uint64_t first;  // the sequence number of the first event read
    uint64_t count;
};

const uint64_t kNever = std::numeric_limits<uint64_t>::max();

const ReadCase kReadCases[] = {
    {"an empty journal gives nothing and is not behind", 8, 0, 0, 10, false, 0, 0},
    {"events come in order from the first", 8, 5, 0, 10, false, 1, 5},
    {"no more than most at a time", 8, 5, 0, 2, false, 1, 2},
    {"a reader goes on after the last it took", 8, 5, 3, 10, false, 4, 2},
    {"a reader that has them all gets nothing", 8, 5, 5, 10, false, 0, 0},
    {"a full ring that has not wrapped still holds the first", 4, 4, 0, 10, false, 1, 4},
    {"after wrapping, a reader exactly at the edge gets the whole ring", 4, 10, 6, 10, false, 7, 4},
    {"after wrapping, most still counts", 4, 10, 6, 3, false, 7, 3},
    {"one event further behind than the ring holds is told so", 4, 10, 5, 10, true, 0, 0},
    {"a new reader of a wrapped journal is told so", 4, 10, 0, 10, true, 0, 0},
    {"a position this journal never gave (an earlier run's) is behind", 4, 3, 9, 10, true, 0, 0},
    {"the largest position is behind, not wrapped round", 4, 3, kNever, 10, true, 0, 0},
    {"a ring of one holds the newest", 1, 3, 2, 10, false, 3, 1},
    {"a capacity of 0 is a ring of one", 0, 3, 2, 10, false, 3, 1},
};

TEST(JournalRead, GivesTheEventsAfterAPositionOrTellsTheReaderToResync) {
    for (const ReadCase& row : kReadCases) {
        SCOPED_TRACE(row.behaviour);
        Journal journal(row.capacity);
        AppendNumbered(&journal, row.appended);
        const Journal::Read read = journal.ReadAfter(row.after, row.most);
        EXPECT_EQ(read.behind, row.behind);
        EXPECT_EQ(read.newest, row.appended);
        ASSERT_EQ(read.events.size(), row.count);
        if (row.behind) {
            // Going on from the newest: nothing lost from there on.
            const Journal::Read resumed = journal.ReadAfter(read.newest, row.most);
            EXPECT_FALSE(resumed.behind);
            EXPECT_TRUE(resumed.events.empty());
            AppendNumbered(&journal, 1);
            const Journal::Read next = journal.ReadAfter(read.newest, row.most);
            ASSERT_EQ(next.events.size(), 1u);
            EXPECT_EQ(next.events[0]->sequence, read.newest + 1);
        }
        // What a reader took stays as it was when the ring moves on.
        AppendNumbered(&journal, row.capacity + 1);
        for (size_t i = 0; i < read.events.size(); ++i) {
            const JournalEvent& event = *read.events[i];
            EXPECT_EQ(event.sequence, row.first + i);
            EXPECT_EQ(event.value, static_cast<uint16_t>(event.sequence));
            EXPECT_EQ(event.message, "event " + std::to_string(event.sequence));
            EXPECT_GT(event.wallMs, 0);
        }
    }
}

struct BoundCase {
    const char* behaviour;
    std::string given;
    std::string kept;
};

const std::string kBound(Journal::kMostTextBytes, 'a');

const BoundCase kBoundCases[] = {
    {"a text from outside is kept as given", std::string("\"a\"\n<b>\0\xff", 10),
     std::string("\"a\"\n<b>\0\xff", 10)},
    {"a text of the bound is kept whole", kBound, kBound},
    {"a longer text is cut at the bound", kBound + "b", kBound},
    {"a two-byte character across the bound goes whole", kBound.substr(1) + "\xc3\xa9", kBound.substr(1)},
    {"a four-byte character across the bound goes whole", kBound.substr(2) + "\xf0\x9f\x98\x80",
     kBound.substr(2)},
    {"a four-byte character that ends at the bound stays", kBound.substr(4) + "\xf0\x9f\x98\x80" + "b",
     kBound.substr(4) + "\xf0\x9f\x98\x80"},
    {"bytes that are no UTF-8 are cut at the bound", std::string(Journal::kMostTextBytes + 44, '\x80'),
     std::string(Journal::kMostTextBytes, '\x80')},
};

TEST(JournalBounds, TextsFromOutsideAreKeptWithinTheirBound) {
    for (const BoundCase& row : kBoundCases) {
        SCOPED_TRACE(row.behaviour);
        Journal journal;
        JournalEvent event;
        event.face = row.given;
        event.who = row.given;
        event.message = row.given;
        journal.Append(event);
        const JournalEvent& kept = *journal.ReadAfter(0, 1).events.at(0);
        EXPECT_EQ(kept.face, row.kept);
        EXPECT_EQ(kept.who, row.kept);
        EXPECT_EQ(kept.message, row.kept);
    }
}

TEST(JournalBounds, AWriteKeepsItsFirstPointsAndHowManyItAsked) {
    for (size_t asked : {size_t{1}, Journal::kMostWrittenPoints, Journal::kMostWrittenPoints + 72}) {
        SCOPED_TRACE(asked);
        Journal journal;
        JournalEvent event;
        event.kind = JournalKind::kWriteDone;
        for (size_t i = 0; i < asked; ++i) {
            event.written.push_back({{1, 'M', static_cast<int>(i + 1)}, static_cast<uint16_t>(i)});
        }
        journal.Append(event);
        const JournalEvent& kept = *journal.ReadAfter(0, 1).events.at(0);
        EXPECT_EQ(kept.writtenCount, asked);
        ASSERT_EQ(kept.written.size(), std::min(asked, Journal::kMostWrittenPoints));
        EXPECT_EQ(kept.written.back().point.index, static_cast<int>(kept.written.size()));
    }
}

TEST(JournalWake, ListenersHearEveryAppendUntilTheyStopAndAWaitEndsWhenThereIsSomethingToRead) {
    Journal journal;
    int heard = 0;
    const uint64_t listener = journal.Listen([&] { ++heard; });
    AppendNumbered(&journal, 2);
    journal.StopListening(listener);
    AppendNumbered(&journal, 1);
    EXPECT_EQ(heard, 2);
    EXPECT_TRUE(journal.WaitAfter(2, 60000));   // an event after the position
    EXPECT_TRUE(journal.WaitAfter(9, 60000));   // a position this journal never gave
    EXPECT_FALSE(journal.WaitAfter(3, 1));      // nothing after: the timeout
}

}  // namespace
