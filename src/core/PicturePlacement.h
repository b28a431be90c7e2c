#pragma once

namespace talvex {

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

// Where a picture of the source's size goes in the target keeping its aspect
// ratio: as large as fits, centred, every edge on an even pixel (4:2:0
// chroma), black bars elsewhere. A 640x480 camera in 1280x720 fills
// {160, 0, 960, 720}. A source without a size, or a target smaller than
// 2x2, fills the whole target.
PixelRect fitPicture(int sourceWidth, int sourceHeight, PixelRect target);

}  // namespace talvex
