#include "core/FrameAccounting.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/CameraTexts.h"

namespace talvex {

namespace {

// The median of fewer gaps than this says nothing of a rate: one stall among
// them could be the median.
constexpr std::size_t kMinGapsForRate = 8;

// The median of the lengths; 0 for none.
double median(std::vector<double> lengths) {
    if (lengths.empty()) return 0;
    auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
    std::nth_element(lengths.begin(), middle, lengths.end());
    return *middle;
}

}  // namespace

std::optional<std::string> FrameAccounting::captured(double instant) {
    ++captured_;
    if (last_) {
        gaps_.push_back({instant, instant - *last_});
        ++unjudged_;
    } else {
        first_ = instant;
    }
    last_ = instant;
    while (unjudged_ > 0 && gaps_[gaps_.size() - unjudged_].end <= instant - kWindowSeconds / 2) {
        judgedLost_ += lostIn(gaps_.size() - unjudged_);
        --unjudged_;
    }
    while (gaps_.size() > unjudged_ && gaps_.front().end < instant - kWindowSeconds)
        gaps_.pop_front();
    return lowRateLine(instant);
}

std::optional<std::string> FrameAccounting::lowRateLine(double instant) {
    auto fps = measuredFps();
    if (lowFps_ || !fps || instant - *first_ < kWindowSeconds || *fps >= kLowRateShare * askedFps_)
        return std::nullopt;
    lowFps_ = fps;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", *fps);
    return "Talvex: camera '" + name_ + "' delivers " + rate + " fps of the " +
           formatFrameRate(askedFps_) + " fps asked (low light?)";
}

// Against the longer of the typical intervals before and after it, so the
// first slow gaps after a camera slowed down (or the last before it sped up)
// are no loss.
std::int64_t FrameAccounting::lostIn(std::size_t index) const {
    std::vector<double> before, after;
    for (std::size_t i = 0; i < gaps_.size(); ++i)
        if (i != index) (i < index ? before : after).push_back(gaps_[i].length);
    const double interval = std::max(median(std::move(before)), median(std::move(after)));
    if (interval <= 0) return 0;
    const double lost = std::floor(gaps_[index].length / interval - (kLossThreshold - 1));
    return lost > 0 ? static_cast<std::int64_t>(lost) : 0;
}

std::int64_t FrameAccounting::framesLost() const {
    std::int64_t lost = judgedLost_;
    for (std::size_t i = gaps_.size() - unjudged_; i < gaps_.size(); ++i) lost += lostIn(i);
    return lost;
}

std::optional<double> FrameAccounting::measuredFps() const {
    if (gaps_.size() < kMinGapsForRate) return std::nullopt;
    std::vector<double> lengths;
    for (const Gap& gap : gaps_) lengths.push_back(gap.length);
    const double interval = median(std::move(lengths));
    return interval > 0 ? std::optional(1 / interval) : std::nullopt;
}

void FrameAccounting::fill(CameraTake& take) const {
    take.framesCaptured = captured_;
    take.framesWritten = written_;
    take.framesDamaged = damaged_;
    take.framesLost = framesLost();
    take.measuredFps = lowFps_;
}

}  // namespace talvex
