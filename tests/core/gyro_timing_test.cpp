#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/GyroTiming.h"

namespace talvex {
namespace {

using Numbers = std::vector<double>;

struct Delivered {
    double timestamp, x, y, z;
    bool operator==(const Delivered&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Delivered& d) {
    return out << "(" << d.timestamp << ", " << d.x << ", " << d.y << ", " << d.z << ")";
}

// Runs one answer whose x values are the indices, y = 2x and z = -x, and returns
// what was delivered; the log lines it printed land in log.
std::vector<Delivered> answer(GyroTiming& timing, const Numbers& time, double now,
                              std::string* log = nullptr) {
    Numbers x, y, z;
    for (std::size_t i = 0; i < time.size(); ++i) {
        x.push_back(double(i));
        y.push_back(2.0 * double(i));
        z.push_back(-double(i));
    }
    std::vector<Delivered> delivered;
    testing::internal::CaptureStdout();
    std::size_t count =
        timing.process(time, x, y, z, now, [&](double t, double a, double b, double c) {
            delivered.push_back({t, a, b, c});
        });
    std::string printed = testing::internal::GetCapturedStdout();
    if (log) *log += printed;
    EXPECT_EQ(count, delivered.size());
    return delivered;
}

using List = std::vector<Delivered>;

TEST(GyroTimingTest, SessionAnchorsOnceAndKeepsThePhoneSpacing) {
    GyroTiming timing;
    timing.beginSession(100.0);
    std::string log;
    // The phone has been measuring for a minute; the answer is handled one second after the start.
    EXPECT_EQ(answer(timing, {57.5, 58, 58.5, 59, 59.5, 60}, 101.0, &log),
              (List{{100.0, 3, 6, -3}, {100.5, 4, 8, -4}, {101.0, 5, 10, -5}}));
    EXPECT_EQ(log, "Talvex Gyro: anchoring at 59.0\n");
    EXPECT_EQ(timing.state().lastTimestamp, 60.0);
    EXPECT_EQ(timing.state().sessionPhyphoxStartTime, 59.0);

    // A later answer arrives with network delay: the times still follow the phone's.
    log.clear();
    EXPECT_EQ(answer(timing, {59.5, 60, 60.5, 61}, 102.75, &log),
              (List{{101.5, 2, 4, -2}, {102.0, 3, 6, -3}}));
    EXPECT_EQ(log, "");
    // The same answer again delivers nothing.
    EXPECT_EQ(answer(timing, {59.5, 60, 60.5, 61}, 103.0), List{});
    EXPECT_EQ(timing.state().lastDeliveredPhyphoxTime, 61.0);
}

TEST(GyroTimingTest, RestartOfThePhoneClockReAnchorsOnTheSameTimeBase) {
    GyroTiming timing;
    timing.beginSession(100.0);
    answer(timing, {60, 61}, 101.0);
    std::string log;
    EXPECT_EQ(answer(timing, {0.5, 1.0}, 103.0, &log), (List{{102.5, 0, 0, 0}, {103.0, 1, 2, -1}}));
    EXPECT_EQ(log,
              "Talvex Gyro: Phyphox buffer reset detected (61.0 \u2192 1.0), re-anchoring\n"
              "Talvex Gyro: anchoring at -2.0\n");
    log.clear();
    EXPECT_EQ(answer(timing, {0.5, 1.0, 1.5}, 104.0, &log), (List{{103.5, 2, 4, -2}}));
    EXPECT_EQ(log, "");
}

TEST(GyroTimingTest, ResetNeedsMoreThanTheMargin) {
    struct Case {
        double newest;
        bool reset;
    };
    for (Case c : {Case{9.5, false}, Case{9.0, false}, Case{8.9, true}, Case{0.0, true}}) {
        SCOPED_TRACE(c.newest);
        GyroTiming timing;
        answer(timing, {9, 10}, 50.0);
        std::string log;
        auto delivered = answer(timing, {c.newest}, 60.0, &log);
        EXPECT_EQ(log.find("reset detected (10.0 \u2192 ") != std::string::npos, c.reset) << log;
        // After a reset the sample is new and lands at the handling instant.
        EXPECT_EQ(delivered, (c.reset ? List{{60.0, 0, 0, 0}} : List{}));
        EXPECT_EQ(timing.state().lastTimestamp, c.reset ? c.newest : 10.0);
    }
}

TEST(GyroTimingTest, WithoutSessionEachAnswerMapsItselfFromItsSmallestCandidate) {
    GyroTiming timing;
    // Unsorted times: delivered in ascending phone time, values follow their index.
    EXPECT_EQ(answer(timing, {3, 1, 2}, 10.0),
              (List{{10, 1, 2, -1}, {11, 2, 4, -2}, {12, 0, 0, -0.0}}));
    // The window reaches 0.05 s below the high-water mark 3: 2.96875 is the
    // smallest candidate, so it anchors the answer although it is not delivered.
    EXPECT_EQ(answer(timing, {1, 2, 2.9375, 2.96875, 3, 3.5}, 20.0), (List{{20.53125, 5, 10, -5}}));
    EXPECT_EQ(answer(timing, {2.96875, 3, 3.5, 4}, 30.0), (List{{30.5, 3, 6, -3}}));
}

TEST(GyroTimingTest, EqualTimesDeliverTheFirstInBufferOrder) {
    GyroTiming timing;
    EXPECT_EQ(answer(timing, {1, 2, 1}, 5.0), (List{{5, 0, 0, 0}, {6, 1, 2, -1}}));
}

TEST(GyroTimingTest, BeginSessionDropsTheWatermarkButKeepsTheHighWaterMark) {
    GyroTiming timing;
    answer(timing, {1, 2, 3}, 10.0);
    timing.beginSession(20.0);
    auto state = timing.state();
    EXPECT_EQ(state.lastTimestamp, 3.0);
    EXPECT_EQ(state.sessionStartDate, 20.0);
    EXPECT_EQ(state.sessionStartWallTime, 20.0);
    EXPECT_FALSE(state.sessionPhyphoxStartTime);
    EXPECT_EQ(state.lastDeliveredPhyphoxTime, -INFINITY);
    // Anchor 4 - (20.5 - 20) = 3.5: only samples at or after the session start.
    EXPECT_EQ(answer(timing, {3, 3.25, 3.5, 4}, 20.5), (List{{20.0, 2, 4, -2}, {20.5, 3, 6, -3}}));
}

TEST(GyroTimingTest, UnusableAnswersChangeNothing) {
    struct Case {
        const char* name;
        Numbers time, x;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}},
        {"shorter x", {5, 6}, {1}},
        {"not finite time", {5, NAN}, {1, 2}},
        {"infinite time", {5, INFINITY}, {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GyroTiming timing;
        timing.beginSession(1.0);
        Numbers yz(c.time.size(), 0.0);
        int calls = 0;
        EXPECT_EQ(timing.process(c.time, c.x, yz, yz, 2.0,
                                 [&](double, double, double, double) { ++calls; }),
                  0u);
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(timing.state().lastTimestamp, 0.0);
        EXPECT_FALSE(timing.state().sessionPhyphoxStartTime);
    }
}

TEST(GyroTimingTest, CountsSamplesWithoutReceiver) {
    GyroTiming timing;
    Numbers v = {1, 2};
    EXPECT_EQ(timing.process(v, v, v, v, 1.0, nullptr), 2u);
    EXPECT_EQ(timing.state().lastDeliveredPhyphoxTime, 2.0);
}

}  // namespace
}  // namespace talvex
