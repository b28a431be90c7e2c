#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/GyroTiming.h"

namespace talvex {
namespace {

using Numbers = std::vector<double>;

using Delivered = std::array<double, 4>;  // timestamp, x, y, z
using List = std::vector<Delivered>;

// Runs one answer whose x values are the indices, y = 2x and z = -x, and returns
// what was delivered; the log lines it printed land in log.
List answer(GyroTiming& timing, const Numbers& time, double now, std::string* log = nullptr) {
    Numbers x, y, z;
    for (std::size_t i = 0; i < time.size(); ++i) {
        x.push_back(double(i));
        y.push_back(2.0 * double(i));
        z.push_back(-double(i));
    }
    List delivered;
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

TEST(GyroTimingTest, SessionAnchorsOnceAndKeepsThePhoneSpacing) {
    GyroTiming timing;
    timing.beginSession(100.0);
    std::string log;
    // The phone has been measuring for a minute; the answer is handled one second after the start.
    EXPECT_EQ(answer(timing, {57.5, 58, 58.5, 59, 59.5, 60}, 101.0, &log),
              (List{{100.0, 3, 6, -3}, {100.5, 4, 8, -4}, {101.0, 5, 10, -5}}));
    EXPECT_EQ(log, "Talvex Gyro: anchoring at 59.0\n");

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
    for (double newest : {9.1, 9.0, 8.9}) {  // 0.9 s, 1.0 s and 1.1 s below
        SCOPED_TRACE(newest);
        const bool reset = newest < 9.0;
        GyroTiming timing;
        answer(timing, {9, 10}, 50.0);
        std::string log;
        auto delivered = answer(timing, {newest}, 60.0, &log);
        EXPECT_EQ(log.find("reset detected (10.0 \u2192 ") != std::string::npos, reset) << log;
        // After a reset the sample is new and lands at the handling instant.
        EXPECT_EQ(delivered, (reset ? List{{60.0, 0, 0, 0}} : List{}));
        EXPECT_EQ(timing.state().lastTimestamp, reset ? newest : 10.0);
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
    Numbers v = {2, 3};  // counted without a receiver as well
    EXPECT_EQ(timing.process(v, v, v, v, 6.0, nullptr), 1u);
    EXPECT_EQ(timing.state().lastDeliveredPhyphoxTime, 3.0);
}

TEST(GyroTimingTest, BeginSessionDropsTheWatermarkButKeepsTheHighWaterMark) {
    GyroTiming timing;
    answer(timing, {1, 2, 3}, 10.0);
    timing.beginSession(20.0);
    EXPECT_EQ(timing.state().lastTimestamp, 3.0);
    EXPECT_EQ(timing.state().lastDeliveredPhyphoxTime, -INFINITY);
    // Anchor 4 - (20.5 - 20) = 3.5: only samples at or after the session start.
    EXPECT_EQ(answer(timing, {3, 3.25, 3.5, 4}, 20.5), (List{{20.0, 2, 4, -2}, {20.5, 3, 6, -3}}));
}

TEST(GyroTimingTest, UnusableAnswersChangeNothing) {
    // Empty, x shorter than the times, a time that is not a number, an infinite time.
    const std::pair<Numbers, Numbers> cases[] = {
        {{}, {}}, {{5, 6}, {1}}, {{5, NAN}, {1, 2}}, {{5, INFINITY}, {1, 2}}};
    for (const auto& [time, x] : cases) {
        GyroTiming timing;
        timing.beginSession(1.0);
        Numbers yz(time.size(), 0.0);
        EXPECT_EQ(
            timing.process(time, x, yz, yz, 2.0,
                           [](double, double, double, double) { ADD_FAILURE() << "delivered"; }),
            0u);
        EXPECT_EQ(timing.state().lastTimestamp, 0.0);
        EXPECT_FALSE(timing.state().sessionPhyphoxStartTime);
    }
}

}  // namespace
}  // namespace talvex
