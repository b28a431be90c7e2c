#include "core/SideBySideTimeline.h"

namespace talvex {

bool SideBySideTimeline::offer(int camera, double captureInstant, std::int64_t frameId) {
    if (camera < 0 || camera > 1) return false;
    Camera& c = cameras_[static_cast<std::size_t>(camera)];
    if (c.newest && captureInstant <= *c.newest) return false;
    if (!start_) start_ = captureInstant;
    c.newest = captureInstant;
    // Late: a tick it could have gone to was decided without it.
    const bool late = decided_ && captureInstant <= *decided_ + kReach / fps_;
    c.waiting.push_back({captureInstant, frameId, late});
    return true;
}

void SideBySideTimeline::cameraLost(int camera, double at) {
    if (camera == 0 || camera == 1) cameras_[static_cast<std::size_t>(camera)].lostAt = at;
}

double SideBySideTimeline::tickInstant(std::int64_t tick) const {
    return start_.value_or(0) + movieTime(tick);
}

bool SideBySideTimeline::ready(std::int64_t tick, double now) const {
    if (!start_) return false;
    const double due = tickInstant(tick) + kReach / fps_;
    if (now >= due + kDeliveryAllowance) return true;
    for (const Camera& c : cameras_)
        if (!c.lostAt && !(c.newest && *c.newest > due)) return false;
    return true;
}

SideBySideTimeline::Halves SideBySideTimeline::choose(std::int64_t tick) {
    const double at = tickInstant(tick);
    decided_ = at;
    return {chooseFor(cameras_[0], at), chooseFor(cameras_[1], at)};
}

// Earliest deadline first: the oldest waiting frame within reach of the tick,
// so a frame that could still go to the next tick leaves this one to an older
// frame that could not. Of the frames out of reach behind the tick, those
// delivered after their own tick was decided are still nearer this one than
// the frame shown before: the newest of them is shown when none lies within
// reach.
SideBySideTimeline::Half SideBySideTimeline::chooseFor(Camera& camera, double tick) {
    const double reach = kReach / fps_;
    std::optional<Frame> late;
    while (!camera.waiting.empty() && camera.waiting.front().at < tick - reach) {
        if (camera.waiting.front().late) late = camera.waiting.front();
        camera.waiting.pop_front();
    }
    bool picked = !camera.waiting.empty() && camera.waiting.front().at <= tick + reach;
    if (!picked && late) {
        camera.waiting.push_front(*late);
        picked = true;
    }
    if (picked) {
        camera.shown = camera.waiting.front();
        camera.waiting.pop_front();
    }
    Half half;
    if (camera.shown) half.frame = camera.shown->id;
    half.fresh = picked;
    half.lost = camera.lostAt && *camera.lostAt <= tick &&
                !(camera.shown && camera.shown->at >= *camera.lostAt);
    return half;
}

}  // namespace talvex
