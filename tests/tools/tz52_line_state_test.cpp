// The line's state as the faces read it (a point's last read, a station's
// since-when, the points taken in on demand and let go) and the one queue
// of writes (its bound and order).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tz52/bridge/core/line_state.h"
#include "tools/tz52/bridge/core/write_request.h"

namespace {

tz52line::PointRef Point(const std::string& text) {
    tz52line::PointRef point;
    std::string error;
    EXPECT_TRUE(tz52line::ParsePoint(text, &point, &error)) << text;
    return point;
}

// Configured, given out of order: a listing comes by station, type, index.
const char* const kPolled[] = {"002M001", "001M002", "001M001"};

void PollConfigured(LineState* state) {
    for (const char* point : kPolled) state->Polled(Point(point), 1000);
}

struct ReadStep {
    const char* point;
    int result;
    uint16_t value;
    bool silent;
    int64_t atMs;
    bool pointChanged;
    bool stationChanged;
};

struct ReadCase {
    const char* behaviour;
    std::vector<ReadStep> steps;
    const char* looked;  // a point, and its station
    bool found;
    int lastResult;
    uint16_t value;
    int64_t valueMs;
    bool stationKnown;
    bool stationSilent;
    int64_t stationSinceMs;
};

const ReadCase kReadCases[] = {
    {"a polled point not read yet is found, unread", {}, "001M001", true, -1, 0, 0, false, false, 0},
    {"a point nobody polls is not found, nor its read kept", {{"003M001", 0, 5, false, 10, false, false}},
     "003M001", false, 0, 0, 0, false, false, 0},
    {"the same value again is no change, another is",
     {{"001M001", 0, 5, false, 10, true, true}, {"001M001", 0, 5, false, 20, false, false},
      {"001M001", 0, 6, false, 30, true, false}},
     "001M001", true, 0, 6, 30, true, false, 10},
    {"a failed read keeps the last value; a failure that is no silence leaves the station be",
     {{"001M001", 0, 5, false, 10, true, true}, {"001M001", 3, 0, false, 20, true, false},
      {"001M001", 3, 0, false, 30, false, false}},
     "001M001", true, 3, 5, 10, true, false, 10},
    {"a failure that is no silence says nothing of a station not heard yet",
     {{"001M001", 3, 0, false, 10, true, false}},
     "001M001", true, 3, 0, 0, false, false, 0},
    {"a station is silent since the first silent read of any of its points",
     {{"001M001", 0, 5, false, 10, true, true}, {"001M002", 2, 0, true, 20, true, true},
      {"001M001", 2, 0, true, 30, true, false}},
     "001M001", true, 2, 5, 10, true, true, 20},
    {"a station answers again since its first good read",
     {{"001M001", 2, 0, true, 10, true, true}, {"001M001", 2, 0, true, 20, false, false},
      {"001M002", 0, 7, false, 30, true, true}, {"001M001", 0, 5, false, 40, true, false}},
     "001M001", true, 0, 5, 40, true, false, 30},
    {"another station's silence is its own",
     {{"001M001", 0, 5, false, 10, true, true}, {"002M001", 2, 0, true, 20, true, true}},
     "001M001", true, 0, 5, 10, true, false, 10},
};

TEST(LineStateRead, KeepsEachPointsLastReadAndEachStationsSinceWhen) {
    for (const ReadCase& row : kReadCases) {
        SCOPED_TRACE(row.behaviour);
        LineState state(8, 1000);
        PollConfigured(&state);
        for (const ReadStep& step : row.steps) {
            const ReadChange change = state.RecordRead(Point(step.point), step.result, step.value,
                                                       "read at " + std::to_string(step.atMs), step.silent, step.atMs);
            EXPECT_EQ(change.point, step.pointChanged) << step.point << " at " << step.atMs;
            EXPECT_EQ(change.station, step.stationChanged) << step.point << " at " << step.atMs;
        }
        const LineSnapshot snapshot = state.Copy();
        std::vector<std::string> listed;
        for (const auto& point : snapshot.points) listed.push_back(tz52line::FormatPoint(point.second.point));
        EXPECT_EQ(listed, (std::vector<std::string>{"001M001", "001M002", "002M001"}));

        const PointState* point = snapshot.Find(Point(row.looked));
        ASSERT_EQ(point != nullptr, row.found);
        if (point != nullptr) {
            EXPECT_EQ(point->lastResult, row.lastResult);
            EXPECT_EQ(point->value, row.value);
            EXPECT_EQ(point->valueMs, row.valueMs);
            EXPECT_FALSE(point->onDemand);
            EXPECT_EQ(point->periodMs, 1000);
            if (!row.steps.empty() && row.steps.back().point == std::string(row.looked)) {
                EXPECT_EQ(point->message, "read at " + std::to_string(row.steps.back().atMs));
            }
        }
        const auto station = snapshot.stations.find(Point(row.looked).station);
        ASSERT_EQ(station != snapshot.stations.end(), row.stationKnown);
        if (station != snapshot.stations.end()) {
            EXPECT_EQ(station->second.silent, row.stationSilent);
            EXPECT_EQ(station->second.sinceMs, row.stationSinceMs);
        }
    }
}

struct DemandStep {
    bool idleCheck;  // false: a face demands `points`; true: TakeIdle(1000) gives `points`
    std::vector<const char*> points;
    int64_t atMs;
    LineState::Demanded demanded;  // when not idleCheck
    size_t asked;                  // points TakeAsked gives after the step
};

struct DemandCase {
    const char* behaviour;
    size_t mostOnDemand;
    std::vector<DemandStep> steps;
    size_t onDemand;  // at the end
};

using D = LineState::Demanded;

const DemandCase kDemandCases[] = {
    {"polled points need no asking", 8, {{false, {"001M001", "001M002"}, 0, D::kPolled, 0}}, 0},
    {"points nobody polls are taken in once, however often named",
     8,
     {{false, {"003M001", "003M001", "003M002", "001M001"}, 0, D::kAsked, 2},
      {false, {"003M001"}, 10, D::kPolled, 0}},
     2},
    {"beyond the limit none is taken in, within it they are",
     2,
     {{false, {"003M001", "003M002", "003M003"}, 0, D::kLimit, 0}, {false, {"003M001", "003M002"}, 0, D::kAsked, 2},
      {false, {"003M003"}, 0, D::kLimit, 0}},
     2},
    {"a point on demand leaves once no face asked for it for the idle time; configured ones stay",
     8,
     {{false, {"003M001", "003M002"}, 0, D::kAsked, 2}, {false, {"003M001", "001M001"}, 600, D::kPolled, 0},
      {true, {}, 999, D::kPolled, 0}, {true, {"003M002"}, 1000, D::kPolled, 0},
      {true, {"003M001"}, 1600, D::kPolled, 0}},
     0},
    {"a point that left can be asked for again, within the limit",
     1,
     {{false, {"003M001"}, 0, D::kAsked, 1}, {true, {"003M001"}, 1000, D::kPolled, 0},
      {false, {"003M002"}, 1000, D::kAsked, 1}},
     1},
};

TEST(LineStateDemand, TakesInPointsFacesAskForWithinTheLimitAndLetsIdleOnesGo) {
    for (const DemandCase& row : kDemandCases) {
        SCOPED_TRACE(row.behaviour);
        LineState state(row.mostOnDemand, 250);
        PollConfigured(&state);
        for (const DemandStep& step : row.steps) {
            SCOPED_TRACE(step.atMs);
            std::vector<tz52line::PointRef> points;
            for (const char* point : step.points) points.push_back(Point(point));
            if (step.idleCheck) {
                std::vector<std::string> idle;
                for (const auto& point : state.TakeIdle(1000, step.atMs)) idle.push_back(tz52line::FormatPoint(point));
                EXPECT_EQ(idle, std::vector<std::string>(step.points.begin(), step.points.end()));
                for (const tz52line::PointRef& point : points) EXPECT_EQ(state.Copy().Find(point), nullptr);
                continue;
            }
            EXPECT_EQ(state.Demand(points, "modbus", step.atMs), step.demanded);
            EXPECT_EQ(state.TakeAsked().size(), step.asked);
        }
        EXPECT_EQ(state.OnDemand(), row.onDemand);
        state.Read([&](const LineSnapshot& snapshot) {
            EXPECT_EQ(snapshot.points.size(), std::size(kPolled) + row.onDemand);
            for (const auto& point : snapshot.points) {
                if (!point.second.onDemand) continue;
                EXPECT_EQ(point.second.demandedBy, "modbus");
                EXPECT_EQ(point.second.periodMs, 250);
                EXPECT_EQ(point.second.lastResult, -1);
            }
        });
    }
}

std::shared_ptr<WriteRequest> NumberedWrite(size_t number, int* completions = nullptr) {
    return std::make_shared<WriteRequest>(
        std::vector<JournalWrittenPoint>{{{1, 'M', 1}, static_cast<uint16_t>(number)}}, "mqtt",
        "topic " + std::to_string(number), [completions](const WriteRequest&) {
            if (completions != nullptr) ++*completions;
        });
}

struct QueueCase {
    const char* behaviour;
    size_t pushed;
    size_t accepted;
};

const QueueCase kQueueCases[] = {
    {"a few are taken in their order", 3, 3},
    {"the bound is taken whole", WriteQueue::kMostWaiting, WriteQueue::kMostWaiting},
    {"beyond the bound each is refused and nothing of it queued", WriteQueue::kMostWaiting + 44,
     WriteQueue::kMostWaiting},
};

TEST(WriteQueue, HoldsAtMostItsBoundAndGivesRequestsInTheirOrder) {
    for (const QueueCase& row : kQueueCases) {
        SCOPED_TRACE(row.behaviour);
        WriteQueue queue;
        size_t accepted = 0;
        for (size_t i = 1; i <= row.pushed; ++i) accepted += queue.Push(NumberedWrite(i)) ? 1 : 0;
        EXPECT_EQ(accepted, row.accepted);
        EXPECT_TRUE(queue.Wait(60000));  // work waits: no waiting
        // Room for one more once one is taken; it comes last.
        std::shared_ptr<WriteRequest> first = queue.Take();
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->who, "topic 1");
        EXPECT_TRUE(queue.Push(NumberedWrite(row.pushed + 1)));
        std::vector<std::string> taken;
        while (std::shared_ptr<WriteRequest> request = queue.Take()) taken.push_back(request->who);
        ASSERT_EQ(taken.size(), row.accepted);
        for (size_t i = 0; i + 1 < taken.size(); ++i) EXPECT_EQ(taken[i], "topic " + std::to_string(i + 2));
        EXPECT_EQ(taken.back(), "topic " + std::to_string(row.pushed + 1));
    }
}

TEST(WriteQueue, AWakeEndsTheWaitOnceAndARequestCompletesOnce) {
    WriteQueue queue;
    queue.Wake();
    EXPECT_TRUE(queue.Wait(60000));
    EXPECT_FALSE(queue.Wait(1));  // the wake-up was taken

    int completions = 0;
    const std::shared_ptr<WriteRequest> request = NumberedWrite(1, &completions);
    ASSERT_EQ(request->outcomes.size(), 1u);
    request->Complete();
    request->Complete();
    EXPECT_EQ(completions, 1);
}

}  // namespace
