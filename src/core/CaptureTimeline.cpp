#include "core/CaptureTimeline.h"

#include <algorithm>

namespace talvex {

std::optional<double> CaptureTimeline::place(std::optional<double> driverStamp, double delivered) {
    const double half = interval_ / 2;
    if (driverStamp && *driverStamp <= delivered && delivered - *driverStamp <= kMaxStampAge) {
        if (last_ && *driverStamp - *last_ < half) return std::nullopt;
        return last_ = *driverStamp;
    }
    const double at = last_ ? std::max(delivered, *last_ + half) : delivered;
    if (at - delivered > kMaxStampAge) return std::nullopt;
    return last_ = at;
}

}  // namespace talvex
