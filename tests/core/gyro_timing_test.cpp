#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/GyroTiming.h"
#include "support/TestSupport.h"

namespace talvex {
namespace {

using Numbers = std::vector<double>;
using Mode = GyroTiming::UpdateMode;
using Events = std::vector<GyroTiming::TimeEvent>;
using List = std::vector<std::array<double, 4>>;  // timestamp, x, y, z

// One phone as the timing sees it. Answers carry x = the index, y = 2x, z = -x
// unless x is given; what they deliver is returned and what they log is kept.
struct Phone {
    test::LogCapture log;
    GyroTiming timing;

    // Connected: its experiment started at its wall clock's 1000 (if it keeps a
    // record) and has run for a minute; that clock runs 959.5 s ahead of ours.
    explicit Phone(const std::optional<Events>& record = Events{{true, 0.0, 1000.0}}) {
        EXPECT_EQ(timing.nextRequest(), "/time");
        timing.takeTimeRecord(record, 100.0);
        EXPECT_EQ(timing.nextRequest(), "/get?gyr_time");
        EXPECT_EQ(answer({59.5}, 100.01, true, Mode::single), List{});
    }
    List answer(const Numbers& time, double received, bool measuring = true,
                Mode mode = Mode::partial, Numbers x = {}) {
        Numbers y, z;
        const bool filled = x.empty();
        for (std::size_t i = 0; i < time.size(); ++i) {
            if (filled) x.push_back(double(i));
            y.push_back(2.0 * double(i));
            z.push_back(-double(i));
        }
        List delivered;
        const std::size_t count =
            timing.process({time, x, y, z, measuring, mode, received - 0.01, received},
                           [&](double t, double a, double b, double c) {
                               delivered.push_back({t, a, b, c});
                           });
        EXPECT_EQ(count, delivered.size());
        return delivered;
    }
    void record(const std::optional<Events>& e, double now) { timing.takeTimeRecord(e, now); }
};

void expectNear(const List& actual, const List& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(actual[i][k], expected[i][k], 1e-3) << i;
}

TEST(GyroTimingTest, AsksForTheNewestTimeThenOnlyForNewValuesOnThePhoneClock) {
    Phone phone;
    EXPECT_EQ(phone.log.take(), "Talvex Gyro: anchoring at 0.0\n");
    EXPECT_EQ(phone.timing.nextRequest(),
              "/get?gyr_time=59.5&gyrX=59.5|gyr_time&gyrY=59.5|gyr_time&gyrZ=59.5|gyr_time");
    // The fastest answer so far fixes the offset: its newest sample (phone wall
    // 1060) arrived at 100.5, so host = phone wall - 959.5. Of buffers of
    // unequal length the common part comes now, the rest with the next answer.
    expectNear(phone.answer({59.75, 60.0, 60.25}, 100.5, true, Mode::partial, {0, 1}),
               {{100.25, 0, 0, 0}, {100.5, 1, 2, -1}});
    EXPECT_EQ(phone.timing.nextRequest(),
              "/get?gyr_time=60&gyrX=60|gyr_time&gyrY=60|gyr_time&gyrZ=60|gyr_time");
    // A slower answer does not move the offset; the same answer twice delivers once.
    expectNear(phone.answer({60.25, 60.5}, 101.05), {{100.75, 0, 0, 0}, {101.0, 1, 2, -1}});
    EXPECT_EQ(phone.answer({60.25, 60.5}, 101.25), List{});
    // A null skips its sample, an absurd time is rejected; each is told once.
    for (const List& expected : {List{{101.25, 1, 0, 0}, {101.75, 3, 6, -3}}, List{}})
        expectNear(
            phone.answer({60.75, 1e9, 61.0, 61.25}, 101.8, true, Mode::partial, {1, 1, NAN, 3}),
            expected);
    EXPECT_EQ(phone.log.take(),
              "Talvex Gyro: answer buffers of unequal length; reading their common part\n"
              "Talvex Gyro: rejected a sample time far ahead of the phone's clock\n"
              "Talvex Gyro: skipped a sample with a missing value (null)\n");
    EXPECT_EQ(phone.timing.state().lastTimestamp, 61.25);
    // Equal times: the first in buffer order; a faster answer cannot go back.
    expectNear(phone.answer({61.5, 61.5, 61.75}, 102.3), {{102.0, 0, 0, 0}, {102.25, 2, 4, -2}});
    expectNear(phone.answer({61.8}, 102.0), {{102.25, 0, 0, 0}});

    // After a failure the newest time is asked again; a short gap is caught up
    // on, more than 10 s are skipped; 1.1 s below the high-water mark is a
    // reset (asked from the start), 0.9 s is not.
    const std::array<double, 4> failures[] = {{103.0, 65.0, 105.6, 61.8},
                                              {120.0, 80.0, 120.6, 80.0},
                                              {121.0, 79.1, 121.5, 79.1},
                                              {122.0, 78.9, 122.5, -1.0}};
    for (const auto& [at, newest, received, threshold] : failures) {
        phone.timing.startOver();
        phone.record(Events{{true, 0.0, 1000.0}}, at);
        EXPECT_EQ(phone.answer({newest}, received, true, Mode::single), List{});
        EXPECT_EQ(phone.timing.state().threshold, threshold) << newest;
    }
    EXPECT_EQ(phone.log.take(),
              "Talvex Gyro: Phyphox buffer reset detected (80.0 \u2192 78.9), re-anchoring\n");
}

TEST(GyroTimingTest, PauseResumeAndClearFollowTheTimeRecord) {
    Phone phone;
    phone.answer({60.0}, 100.5);
    // Samples taken before the pause still arrive with "measuring": false.
    expectNear(phone.answer({60.25}, 101.0, false), {{100.75, 0, 0, 0}});
    EXPECT_EQ(phone.answer({}, 103.0, false), List{});
    // Resumed at phone wall 1064.25: the answer waits for the record.
    phone.log.take();
    EXPECT_EQ(phone.answer({60.5, 60.75}, 105.3), List{});
    EXPECT_EQ(phone.timing.nextRequest(), "/time");
    phone.record(Events{{true, 0, 1000}, {false, 60.25, 1060.25}, {true, 60.25, 1064.25}}, 105.32);
    EXPECT_EQ(phone.log.take(), "Talvex Gyro: anchoring at 60.25\n");
    expectNear(phone.answer({60.5, 60.75}, 105.35), {{105.0, 0, 0, 0}, {105.25, 1, 2, -1}});

    // A pause and resume between two answers shows as a stale newest sample.
    EXPECT_EQ(phone.answer({61.0}, 107.0), List{});
    EXPECT_EQ(phone.timing.nextRequest(), "/time");
    phone.record(Events{{true, 60.25, 1064.25}, {false, 60.8, 1064.8}, {true, 60.8, 1066.3}},
                 107.1);
    expectNear(phone.answer({61.0}, 107.2), {{107.0, 0, 0, 0}});
    // Stale again within a second of the record: the phone just lags.
    expectNear(phone.answer({61.25}, 107.5), {{107.25, 0, 0, 0}});

    // The first answer after a clear comes back full and starts near 0.
    phone.log.take();
    EXPECT_EQ(phone.answer({0.25}, 110.0, true, Mode::full), List{});
    EXPECT_EQ(phone.log.take(),
              "Talvex Gyro: Phyphox buffer reset detected (61.25 \u2192 0.25), re-anchoring\n");
    EXPECT_EQ(phone.timing.nextRequest(), "/time");
    phone.record(Events{{true, 0.0, 1069.0}}, 110.05);
    EXPECT_EQ(phone.timing.nextRequest(),
              "/get?gyr_time=-1&gyrX=-1|gyr_time&gyrY=-1|gyr_time&gyrZ=-1|gyr_time");
    expectNear(phone.answer({0.25, 0.5}, 110.1), {{109.75, 0, 0, 0}, {110.0, 1, 2, -1}});
}

TEST(GyroTimingTest, WithoutTimeRecordEachResumeTakesItsOwnAnchor) {
    Phone phone(std::nullopt);
    expectNear(phone.answer({59.75, 60.0}, 100.5), {{100.25, 0, 0, 0}, {100.5, 1, 2, -1}});
    phone.answer({}, 102.0, false);
    // Resumed: the run from 60.0 on is anchored by its own newest sample.
    expectNear(phone.answer({60.25, 60.5}, 104.0), {{103.75, 0, 0, 0}, {104.0, 1, 2, -1}});
    // Unseen pause: the newest sample is 1 s older than the mapping says.
    expectNear(phone.answer({60.75, 61.0}, 105.5), {{105.25, 0, 0, 0}, {105.5, 1, 2, -1}});
    // Cleared: the new run starts near 0 and anchors afresh.
    expectNear(phone.answer({0.25}, 108.0, true, Mode::full), {{108.0, 0, 0, 0}});
    expectNear(phone.answer({0.5, 0.75}, 109.0), {{108.25, 0, 0, 0}, {108.5, 1, 2, -1}});
    EXPECT_EQ(phone.log.take(),
              "Talvex Gyro: the phone keeps no time record; re-anchoring at every resume\n"
              "Talvex Gyro: anchoring at 59.5\n"
              "Talvex Gyro: anchoring at 60.5\n"
              "Talvex Gyro: anchoring at 61.0\n"
              "Talvex Gyro: Phyphox buffer reset detected (61.0 \u2192 0.25), re-anchoring\n"
              "Talvex Gyro: anchoring at 0.25\n");
}

TEST(GyroTimingTest, ThresholdTextReadsBackAsTheSameNumber) {
    EXPECT_EQ(GyroTiming::formatThreshold(1234.5675), "1234.5675");
    EXPECT_EQ(GyroTiming::formatThreshold(-1), "-1");
    EXPECT_EQ(GyroTiming::formatThreshold(1e-7), "0.0000001");
    EXPECT_EQ(GyroTiming::formatThreshold(0.1 + 0.2), "0.30000000000000004");
}

}  // namespace
}  // namespace talvex
