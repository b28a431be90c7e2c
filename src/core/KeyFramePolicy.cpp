#include "core/KeyFramePolicy.h"

namespace talvex {

namespace {

// Frames exactly a second apart count as a second apart, whatever rounding
// their instants went through.
constexpr double kSlack = 1e-3;

}  // namespace

bool KeyFramePolicy::isKeyFrame(double instant) {
    const double spacing = last_ ? instant - *last_ : 0;
    last_ = instant;
    if (lastKey_ && instant + spacing - *lastKey_ <= kMaxSpacing + kSlack) return false;
    lastKey_ = instant;
    return true;
}

}  // namespace talvex
