#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace talvex {

// What a session's gyro.csv holds, for the one line at the stop: how many
// samples were kept and the longest stretch without one (from the start to
// the first sample and from the last one to the stop included), so a broken
// stream shows in the log at once.
class GyroSessionStats {
public:
    void add(double sessionTime);
    // The largest step between consecutive samples, from the start to the
    // first and from the last to the end of a session of this length; 0
    // without samples.
    double longestGap(double sessionLength) const;
    // "Talvex Gyro: session kept N samples, longest gap X s" for a session of this length.
    std::string report(double sessionLength) const;

    std::size_t kept() const { return kept_; }

private:
    std::size_t kept_ = 0;
    std::optional<double> last_;
    double longestGap_ = 0.0;
};

}  // namespace talvex
