#pragma once

#include <cstdint>

#include "media/FfmpegPtr.h"
#include "media/VideoFrame.h"

namespace talvex {

// Stretches a BGRA image to a fixed-size region of a yuv420p picture (width
// and height scaled independently, bicubic). The scaler is made once per
// source geometry and kept while the geometry stays.
class FfmpegScaler {
public:
    FfmpegScaler(int outputWidth, int outputHeight);

    // Writes the whole picture of `image` into the yuv420p region whose
    // top-left luma sample is at column `x` (even) of `picture`.
    // Returns false when no scaler can be made for the source geometry.
    bool scale(const VideoFrame& image, AVFrame& picture, int x);

private:
    bool prepare(int sourceWidth, int sourceHeight);

    int outputWidth_;
    int outputHeight_;
    int sourceWidth_ = 0;
    int sourceHeight_ = 0;
    SwsContextPtr context_;
};

}  // namespace talvex
