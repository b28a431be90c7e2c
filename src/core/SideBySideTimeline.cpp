#include "core/SideBySideTimeline.h"

namespace talvex {

bool SideBySideTimeline::offer(int camera, double captureInstant, std::int64_t frameId) {
    if (camera < 0 || camera > 1) return false;
    Camera& c = cameras_[static_cast<std::size_t>(camera)];
    if (c.newest && captureInstant <= *c.newest) return false;
    if (!start_) start_ = captureInstant;
    c.newest = captureInstant;
    c.waiting.push_back({captureInstant, frameId});
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
    const double due = tickInstant(tick) + 0.5 / fps_;
    if (now >= due + kDeliveryAllowance) return true;
    for (const Camera& c : cameras_)
        if (!(c.lostAt && *c.lostAt <= now) && !(c.newest && *c.newest > due)) return false;
    return true;
}

SideBySideTimeline::Halves SideBySideTimeline::choose(std::int64_t tick) {
    const double at = tickInstant(tick);
    return {chooseFor(cameras_[0], at), chooseFor(cameras_[1], at)};
}

// The oldest frame due and not shown that is at most a tick behind; else,
// when every due frame is further behind, the newest of them; else the frame
// shown before.
SideBySideTimeline::Half SideBySideTimeline::chooseFor(Camera& camera, double tick) {
    const double due = tick + 0.5 / fps_;
    const double oldest = tick - 1 / fps_;
    std::size_t pick = 0;
    bool picked = false;
    for (std::size_t i = 0; i < camera.waiting.size() && camera.waiting[i].at <= due; ++i) {
        pick = i;
        picked = true;
        if (camera.waiting[i].at >= oldest) break;
    }
    if (picked) {
        camera.shown = camera.waiting[pick];
        camera.waiting.erase(camera.waiting.begin(),
                             camera.waiting.begin() + static_cast<std::ptrdiff_t>(pick) + 1);
    }
    Half half;
    if (camera.shown) half.frame = camera.shown->id;
    half.fresh = picked;
    half.lost = camera.lostAt && *camera.lostAt <= tick &&
                !(camera.shown && camera.shown->at >= *camera.lostAt);
    return half;
}

}  // namespace talvex
