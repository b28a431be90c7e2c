#pragma once

#include <deque>
#include <optional>

#include "core/GyroSample.h"

namespace talvex {

// The last seconds of the phone's gyroscope as a live view shows them: the
// samples of a sliding window ending at the newest one, the rate they came
// at, a shared full scale for the three axes, and, while a session records,
// the longest pause between two samples.
class GyroTrace {
public:
    static constexpr double kWindowSeconds = 10.0;
    // A pause longer than this is worth a warning during a recording.
    static constexpr double kGapWarningSeconds = 0.5;

    // Appends the batch (ascending times) and forgets samples that fell out of
    // the window. A sample that is not newer than the newest one is a repeat
    // and is skipped, unless the clock went back by more than a second: then
    // the trace starts over from it. Samples with a non-finite value are skipped.
    void add(const GyroSampleBatch& batch);
    // Empties the window (the phone stopped measuring); the pause until the
    // next sample still counts as a gap.
    void clear();

    // Gaps count from here on, including the one before the next sample.
    void beginRecording();
    void endRecording();
    bool isRecording() const { return recording_; }

    const std::deque<GyroSample>& samples() const { return samples_; }
    bool empty() const { return samples_.empty(); }
    // Times of the window's two ends: newest - kWindowSeconds and newest.
    double windowStart() const { return windowEnd() - kWindowSeconds; }
    double windowEnd() const { return samples_.empty() ? 0.0 : samples_.back().timestamp; }

    // Samples per second over the window; 0 with fewer than two samples.
    double sampleRate() const;
    // The smallest of 0.2, 0.5, 1, 2, 5, 10, ... rad/s that holds every rate
    // in the window. Never below 0.2, so a phone at rest draws flat lines
    // rather than magnified noise.
    double scale() const;
    // The longest pause between two samples since beginRecording.
    double longestGap() const { return longestGap_; }
    // Recording, and that pause is longer than kGapWarningSeconds.
    bool gapWarning() const { return recording_ && longestGap_ > kGapWarningSeconds; }

private:
    void append(const GyroSample& sample);

    std::deque<GyroSample> samples_;
    std::optional<double> lastTime_;  // of the newest sample, kept across clear()
    bool recording_ = false;
    double longestGap_ = 0.0;
};

}  // namespace talvex
