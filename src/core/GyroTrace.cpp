#include "core/GyroTrace.h"

#include <algorithm>
#include <cmath>

namespace talvex {

namespace {

constexpr double kClockJumpBack = 1.0;

// The first of 0.2, 0.5, 1, 2, 5, 10, 20, ... that is at least value; whole
// powers of ten keep every step exact.
double stepAtLeast(double value) {
    for (double decade = 1;; decade *= 10)
        for (double step : {2 * decade / 10, 5 * decade / 10, decade})
            if (step >= value) return step;
}

}  // namespace

void GyroTrace::add(const GyroSampleBatch& batch) {
    for (const GyroSample& sample : batch) append(sample);
    double start = windowStart();
    while (!samples_.empty() && samples_.front().timestamp < start) samples_.pop_front();
}

void GyroTrace::append(const GyroSample& sample) {
    for (double value : {sample.timestamp, sample.x, sample.y, sample.z})
        if (!std::isfinite(value)) return;
    if (lastTime_) {
        double step = sample.timestamp - *lastTime_;
        if (step <= -kClockJumpBack)
            samples_.clear();
        else if (step <= 0)
            return;
        else if (recording_)
            longestGap_ = std::max(longestGap_, step);
    }
    lastTime_ = sample.timestamp;
    samples_.push_back(sample);
}

void GyroTrace::clear() {
    samples_.clear();
}

void GyroTrace::beginRecording() {
    recording_ = true;
    longestGap_ = 0.0;
}

void GyroTrace::endRecording() {
    recording_ = false;
}

double GyroTrace::sampleRate() const {
    if (samples_.size() < 2) return 0.0;
    double span = samples_.back().timestamp - samples_.front().timestamp;
    return double(samples_.size() - 1) / span;
}

double GyroTrace::scale() const {
    double largest = 0.0;
    for (const GyroSample& s : samples_)
        largest = std::max({largest, std::abs(s.x), std::abs(s.y), std::abs(s.z)});
    return stepAtLeast(largest);
}

}  // namespace talvex
