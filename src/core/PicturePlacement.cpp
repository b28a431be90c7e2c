#include "core/PicturePlacement.h"

#include <algorithm>
#include <cstdint>

namespace talvex {

namespace {

// numerator / denominator rounded to the nearest even number, from 2 to most.
int evenRound(std::int64_t numerator, std::int64_t denominator, int most) {
    const std::int64_t even = (numerator + denominator) / (2 * denominator) * 2;
    return static_cast<int>(std::clamp<std::int64_t>(even, 2, most));
}

int evenDown(int value) {
    return value & ~1;
}

}  // namespace

PixelRect fitPicture(int sourceWidth, int sourceHeight, PixelRect target) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || target.width < 2 || target.height < 2)
        return target;
    const std::int64_t sw = sourceWidth, sh = sourceHeight;
    int width = evenDown(target.width);
    int height = evenDown(target.height);
    if (sw * target.height >= sh * target.width)
        height = evenRound(sh * width, sw, height);
    else
        width = evenRound(sw * height, sh, width);
    return {evenDown(target.x + (target.width - width) / 2),
            evenDown(target.y + (target.height - height) / 2), width, height};
}

}  // namespace talvex
