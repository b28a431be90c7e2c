#include "core/GyroSessionStats.h"

#include <algorithm>
#include <cstdio>

namespace talvex {

void GyroSessionStats::add(double sessionTime) {
    longestGap_ = std::max(longestGap_, sessionTime - last_.value_or(0.0));
    last_ = sessionTime;
    ++kept_;
}

double GyroSessionStats::longestGap(double sessionLength) const {
    if (!last_) return 0.0;
    return std::max({longestGap_, sessionLength - *last_, 0.0});
}

// Without samples the whole session is one gap, which is what the log says.
std::string GyroSessionStats::report(double sessionLength) const {
    const double gap = kept_ ? longestGap(sessionLength) : std::max(sessionLength, 0.0);
    char text[128];
    std::snprintf(text, sizeof text, "Talvex Gyro: session kept %zu samples, longest gap %.3f s",
                  kept_, gap);
    return text;
}

}  // namespace talvex
