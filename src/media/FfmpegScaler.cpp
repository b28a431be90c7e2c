#include "media/FfmpegScaler.h"

namespace talvex {

namespace {

// Bicubic on full-resolution chroma: sharper colour edges, and cheaper than
// letting the input stage halve the chroma first.
constexpr int kScaleFlags = SWS_BICUBIC | SWS_FULL_CHR_H_INP;

}  // namespace

FfmpegScaler::FfmpegScaler(int outputWidth, int outputHeight)
    : outputWidth_(outputWidth), outputHeight_(outputHeight) {}

bool FfmpegScaler::prepare(int sourceWidth, int sourceHeight) {
    if (context_ && sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_) return true;
    context_.reset(sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGRA, outputWidth_,
                                  outputHeight_, AV_PIX_FMT_YUV420P, kScaleFlags, nullptr, nullptr,
                                  nullptr));
    if (!context_) return false;
    // HD material is BT.709 in limited range; the encoder tags the stream the same way.
    sws_setColorspaceDetails(context_.get(), sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    return true;
}

bool FfmpegScaler::scale(const VideoFrame& image, AVFrame& picture, int x) {
    const auto needed =
        static_cast<std::size_t>(image.stride) * static_cast<std::size_t>(image.height);
    if (image.width <= 0 || image.height <= 0 || image.stride < image.width * 4 ||
        image.pixels.size() < needed)
        return false;
    if (!prepare(image.width, image.height)) return false;
    const std::uint8_t* source[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {image.stride, 0, 0, 0};
    std::uint8_t* destination[4] = {picture.data[0] + x, picture.data[1] + x / 2,
                                    picture.data[2] + x / 2, nullptr};
    sws_scale(context_.get(), source, sourceStride, 0, image.height, destination, picture.linesize);
    return true;
}

}  // namespace talvex
