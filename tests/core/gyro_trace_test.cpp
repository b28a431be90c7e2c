#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "core/GyroTrace.h"

namespace talvex {
namespace {

// count samples from start at rate Hz, with x = value, y = 2 value, z = -value.
GyroSampleBatch run(double start, double rate, int count, double value = 0.1) {
    GyroSampleBatch batch;
    for (int i = 0; i < count; ++i) batch.push_back({start + i / rate, value, 2 * value, -value});
    return batch;
}

// Times on a 1/128 s grid are exact in binary, so window edges compare exactly.
TEST(GyroTraceTest, KeepsTheLastTenSecondsMeasuresTheRateAndTheLongestGap) {
    GyroTrace trace;
    trace.add(run(100.0, 412.0, 1));
    EXPECT_EQ(trace.sampleRate(), 0.0) << "one sample has no rate";
    trace.add(run(100.0 + 1 / 412.0, 412.0, 412 * 3 - 1));
    EXPECT_NEAR(trace.sampleRate(), 412.0, 1e-9);
    for (int second = 3; second < 14; ++second) trace.add(run(100.0 + second, 128.0, 128));
    EXPECT_EQ(trace.windowStart(), 103 + 127 / 128.0);
    EXPECT_EQ(trace.samples().size(), 1281u) << "10 s at 128 Hz, both ends included";
    EXPECT_EQ(trace.sampleRate(), 128.0);

    trace.add(run(113.5, 128.0, 128));  // overlaps: the second half is new
    EXPECT_EQ(trace.windowEnd(), 114 + 63 / 128.0);
    trace.add({{115, NAN, 0, 0}, {115, 0, INFINITY, 0}, {NAN, 0, 0, 0}});  // not samples
    trace.add(run(113.6, 128.0, 3));                                       // 0.9 s back: repeats
    EXPECT_EQ(trace.windowEnd(), 114 + 63 / 128.0);
    trace.add(run(20.0, 8.0, 3));  // far back: the phone's clock started over
    EXPECT_EQ(trace.samples().size(), 3u);
    EXPECT_EQ(trace.windowEnd(), 20.25);

    // The longest gap counts only while recording and survives a stopped phone.
    trace.add(run(22.25, 8.0, 3));  // a 2 s pause before any recording
    EXPECT_EQ(trace.longestGap(), 0.0);
    trace.beginRecording();
    trace.add(run(23.0, 128.0, 10));  // exactly 0.5 s: not yet a warning
    EXPECT_EQ(trace.longestGap(), 0.5);
    EXPECT_FALSE(trace.gapWarning());
    trace.clear();                               // the phone stopped measuring
    trace.add(run(24 + 33 / 128.0, 128.0, 10));  // 1.1875 s after its last sample
    trace.add(run(24.5, 128.0, 10));             // a shorter pause keeps the longest
    EXPECT_EQ(trace.longestGap(), 1.1875);
    EXPECT_TRUE(trace.gapWarning());
    trace.endRecording();
    EXPECT_FALSE(trace.gapWarning());
    trace.beginRecording();
    EXPECT_EQ(trace.longestGap(), 0.0) << "each recording counts afresh";
}

TEST(GyroTraceTest, ScaleIsTheNextStepAboveTheLargestRate) {
    const std::pair<double, double> cases[] = {{0.0, 0.2}, {0.2, 0.2}, {0.21, 0.5}, {0.9, 1},
                                               {-1.5, 2},  {3, 5},     {12, 20},    {34.9, 50}};
    for (const auto& [largest, scale] : cases) {
        GyroTrace trace;
        trace.add(run(0.0, 100.0, 50, 0.0));
        trace.add({{0.6, 0.0, largest / 2, 0.0}, {0.7, 0.0, 0.0, largest}});
        EXPECT_EQ(trace.scale(), scale) << largest;
    }
}

}  // namespace
}  // namespace talvex
