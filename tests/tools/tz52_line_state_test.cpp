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
    bool pointChanged, stationChanged;  // what RecordRead says it changed
};

struct ReadCase {
    const char* behaviour;
    std::vector<ReadStep> steps;
    const char* looked;  // a point, and its station
    bool found;
    int lastResult;
    uint16_t value;
    int64_t valueMs;
    bool stationKnown, stationSilent;
    int64_t stationSinceMs;
};

const ReadCase kReadCases[] = {
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

TEST(WriteQueue, RefusesBeyondItsBoundGivesRequestsInOrderAndWakesItsOwner) {
    WriteQueue queue;
    for (size_t i = 1; i <= WriteQueue::kMostWaiting; ++i) ASSERT_TRUE(queue.Push(NumberedWrite(i)));
    EXPECT_FALSE(queue.Push(NumberedWrite(0)));  // refused, and nothing of it queued
    // Room for one more once one is taken; it comes last.
    EXPECT_EQ(queue.Take()->who, "topic 1");
    EXPECT_TRUE(queue.Push(NumberedWrite(WriteQueue::kMostWaiting + 1)));
    for (size_t i = 2; i <= WriteQueue::kMostWaiting + 1; ++i) EXPECT_EQ(queue.Take()->who, "topic " + std::to_string(i));
    EXPECT_EQ(queue.Take(), nullptr);
    queue.Wake();
    EXPECT_TRUE(queue.Wait(60000));
    EXPECT_FALSE(queue.Wait(1));  // one wake-up ends one wait

    int completions = 0;
    const std::shared_ptr<WriteRequest> request = NumberedWrite(1, &completions);
    request->Complete();
    request->Complete();
    EXPECT_EQ(completions, 1);
}

}  // namespace
