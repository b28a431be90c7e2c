#include "core/GyroSessionStats.h"

#include <algorithm>
#include <cstdio>

namespace talvex {

void GyroSessionStats::add(double sessionTime) {
    longestGap_ = std::max(longestGap_, sessionTime - last_.value_or(0.0));
    last_ = sessionTime;
    ++kept_;
}

std::string GyroSessionStats::report(double sessionLength) const {
    const double gap = std::max(longestGap_, sessionLength - last_.value_or(0.0));
    char text[128];
    std::snprintf(text, sizeof text, "Talvex Gyro: session kept %zu samples, longest gap %.3f s",
                  kept_, std::max(gap, 0.0));
    return text;
}

}  // namespace talvex
