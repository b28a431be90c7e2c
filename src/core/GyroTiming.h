#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace talvex {

// Puts the phone's gyroscope samples on the host's steady clock and picks the
// ones not delivered yet. Every answer repeats the phone's whole buffers, so
// this keeps a high-water mark of the phone's time, an anchor that maps phone
// time to host time, and a watermark of the last delivered sample.
//
// Thread-safe: beginSession and process exclude each other, so an answer sees
// either the whole old or the whole new session state.
class GyroTiming {
public:
    using Deliver = std::function<void(double timestamp, double x, double y, double z)>;

    // An answer whose newest time lies further than this below the high-water
    // mark means the phone's clock started over.
    static constexpr double resetMargin = 1.0;
    // Samples up to this far below the high-water mark are looked at again.
    static constexpr double candidateWindow = 0.05;

    struct State {
        double lastTimestamp = 0.0;
        std::optional<double> sessionStartDate;
        std::optional<double> sessionPhyphoxStartTime;
        std::optional<double> sessionStartWallTime;
        double lastDeliveredPhyphoxTime = -std::numeric_limits<double>::infinity();
    };

    // Makes instant the time base of the samples that follow; the anchor is
    // taken from the next answer.
    void beginSession(double instant);

    // Handles the arrays of one measuring answer at host instant now and hands
    // every new sample to deliver (while holding the lock), in ascending phone
    // time. Returns the number of samples delivered.
    std::size_t process(std::span<const double> time, std::span<const double> x,
                        std::span<const double> y, std::span<const double> z, double now,
                        const Deliver& deliver);

    State state() const;

private:
    void resetTracking(double maxTime);
    void anchor(double maxTime, double now);
    void collectCandidates(std::span<const double> time);

    mutable std::mutex mutex_;
    State state_;
    std::vector<std::size_t> candidates_;  // kept between answers to avoid allocations
};

}  // namespace talvex
