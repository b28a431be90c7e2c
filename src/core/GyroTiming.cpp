#include "core/GyroTiming.h"

#include <algorithm>
#include <cmath>

#include "core/Log.h"
#include "core/NumberFormat.h"

namespace talvex {

namespace {

constexpr double minusInfinity = -std::numeric_limits<double>::infinity();

// The largest time, or nothing when a time is not finite (the answer is then
// not trusted at all).
std::optional<double> largestTime(std::span<const double> time) {
    double largest = minusInfinity;
    for (double value : time) {
        if (!std::isfinite(value)) return std::nullopt;
        largest = std::max(largest, value);
    }
    return largest;
}

}  // namespace

void GyroTiming::beginSession(double instant) {
    std::lock_guard lock(mutex_);
    state_.sessionStartDate = instant;
    state_.sessionPhyphoxStartTime.reset();
    state_.sessionStartWallTime = instant;
    state_.lastDeliveredPhyphoxTime = minusInfinity;
}

GyroTiming::State GyroTiming::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::size_t GyroTiming::process(std::span<const double> time, std::span<const double> x,
                                std::span<const double> y, std::span<const double> z, double now,
                                const Deliver& deliver) {
    std::lock_guard lock(mutex_);
    const std::size_t n = time.size();
    if (n == 0 || x.size() != n || y.size() != n || z.size() != n) return 0;
    const std::optional<double> maxTime = largestTime(time);
    if (!maxTime) return 0;

    const double base = state_.sessionStartDate.value_or(now);
    if (*maxTime < state_.lastTimestamp - resetMargin) resetTracking(*maxTime);
    if (!state_.sessionPhyphoxStartTime && state_.sessionStartWallTime) anchor(*maxTime, now);

    collectCandidates(time);
    state_.lastTimestamp = std::max(state_.lastTimestamp, *maxTime);
    if (candidates_.empty()) return 0;

    std::stable_sort(candidates_.begin(), candidates_.end(),
                     [&](std::size_t a, std::size_t b) { return time[a] < time[b]; });
    const double anchorTime = state_.sessionPhyphoxStartTime.value_or(time[candidates_.front()]);

    std::size_t delivered = 0;
    for (std::size_t i : candidates_) {
        const double t = time[i];
        if (t - anchorTime < 0.0 || t <= state_.lastDeliveredPhyphoxTime) continue;
        state_.lastDeliveredPhyphoxTime = t;
        ++delivered;
        if (deliver) deliver(base + (t - anchorTime), x[i], y[i], z[i]);
    }
    return delivered;
}

void GyroTiming::resetTracking(double maxTime) {
    logLine("Talvex Gyro: Phyphox buffer reset detected (" + formatNumber(state_.lastTimestamp) +
            " \u2192 " + formatNumber(maxTime) + "), re-anchoring");
    state_.lastTimestamp = 0.0;
    state_.sessionPhyphoxStartTime.reset();
    state_.lastDeliveredPhyphoxTime = minusInfinity;
}

// The newest sample is taken as measured now, which fixes the phone time of
// the session's start instant; later samples keep the phone's own spacing.
void GyroTiming::anchor(double maxTime, double now) {
    const double anchorTime = maxTime - (now - *state_.sessionStartWallTime);
    state_.sessionPhyphoxStartTime = anchorTime;
    state_.lastTimestamp = std::max(state_.lastTimestamp, anchorTime);
    logLine("Talvex Gyro: anchoring at " + formatNumber(anchorTime));
}

void GyroTiming::collectCandidates(std::span<const double> time) {
    candidates_.clear();
    const double threshold = state_.lastTimestamp - candidateWindow;
    for (std::size_t i = 0; i < time.size(); ++i)
        if (time[i] > threshold) candidates_.push_back(i);
}

}  // namespace talvex
