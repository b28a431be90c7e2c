#pragma once

#include <cstdint>

#include "core/PicturePlacement.h"
#include "media/FfmpegPtr.h"
#include "media/VideoFrame.h"

namespace talvex {

// Scales a captured picture of any pixel format to a region of a picture in
// the output format (bilinear; `place` keeps its aspect ratio with black
// bars), converting format and range on the way. The conversion keeps the
// BT.601 matrix of camera YUV: the movies are tagged with it. A source of the
// output's own format and size is copied, not filtered. The scaling context is
// made once per source geometry, format and range and kept while they stay.
class FfmpegScaler {
public:
    FfmpegScaler(int outputWidth, int outputHeight,
                 AVPixelFormat outputFormat = AV_PIX_FMT_YUV420P);

    // Writes the whole picture of `image` into the region of `picture` whose
    // top-left sample is at column `x`, row `y` (both even). Returns false when the image is
    // empty or no scaler can be made for it.
    bool scale(const VideoFrame& image, AVFrame& picture, int x, int y = 0);
    // Keeps the aspect ratio: the image as large as fits in `target` of a
    // yuv420p picture, centred, black bars around it; the region this scaler
    // fills follows the image's size.
    bool place(const VideoFrame& image, AVFrame& picture, PixelRect target);
    // Halves the brightness and colour of a region of a yuv420p picture.
    static void dim(AVFrame& picture, PixelRect region);
    // Video-range black over a region of a yuv420p picture.
    static void paintBlack(AVFrame& picture, PixelRect region);
    // The same into planes the caller owns.
    bool scale(const VideoFrame& image, std::uint8_t* const planes[4], const int strides[4]);

    // A new region size; the next scale makes its context anew.
    void setOutputSize(int width, int height);
    int outputWidth() const { return outputWidth_; }
    int outputHeight() const { return outputHeight_; }

private:
    struct Source {
        int width = 0;
        int height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
        bool fullRange = false;
        bool bt709 = false;
        bool operator==(const Source&) const = default;
    };
    bool prepare(const VideoFrame& image);
    void compressRange(std::uint8_t* const planes[4], const int strides[4]) const;

    int outputWidth_;
    int outputHeight_;
    const AVPixelFormat outputFormat_;
    Source source_;
    SwsContextPtr context_;
    bool compressRange_ = false;
};

}  // namespace talvex
