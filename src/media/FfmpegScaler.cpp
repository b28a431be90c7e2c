#include "media/FfmpegScaler.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace talvex {

namespace {

bool isRgb(AVPixelFormat format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    return descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
}

}  // namespace

FfmpegScaler::FfmpegScaler(int outputWidth, int outputHeight, AVPixelFormat outputFormat)
    : outputWidth_(outputWidth), outputHeight_(outputHeight), outputFormat_(outputFormat) {}

void FfmpegScaler::setOutputSize(int width, int height) {
    if (width == outputWidth_ && height == outputHeight_) return;
    outputWidth_ = width;
    outputHeight_ = height;
    context_.reset();
}

bool FfmpegScaler::prepare(const VideoFrame& image) {
    const Source source{image.width(), image.height(), image.format(), image.fullRange(),
                        image.picture().colorspace == AVCOL_SPC_BT709};
    if (context_ && source == source_) return true;
    context_.reset();
    if (source.width <= 0 || source.height <= 0 || !sws_isSupportedInput(source.format) ||
        outputWidth_ <= 0 || outputHeight_ <= 0)
        return false;
    // Bilinear spreads its taps with the reduction, so a downscale averages
    // every source sample; RGB sources keep full chroma until the output.
    const int flags = SWS_BILINEAR | (isRgb(source.format) ? SWS_FULL_CHR_H_INP : 0);
    context_.reset(sws_getContext(source.width, source.height, source.format, outputWidth_,
                                  outputHeight_, outputFormat_, flags, nullptr, nullptr, nullptr));
    if (!context_) return false;
    // Cameras deliver BT.601 YUV (an HD one may say BT.709, which matters
    // only on the way to RGB); YUV output is BT.601 in the video range
    // unless its format says full range.
    sws_setColorspaceDetails(
        context_.get(), sws_getCoefficients(source.bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601),
        source.fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_ITU601),
        VideoFrame::isFullRangeFormat(outputFormat_) ? 1 : 0, 0, 1 << 16, 1 << 16);
    source_ = source;
    return true;
}

bool FfmpegScaler::scale(const VideoFrame& image, std::uint8_t* const planes[4],
                         const int strides[4]) {
    if (!image.picture().data[0] || !prepare(image)) return false;
    sws_scale(context_.get(), image.picture().data, image.picture().linesize, 0, image.height(),
              planes, strides);
    return true;
}

bool FfmpegScaler::scale(const VideoFrame& image, AVFrame& picture, int x) {
    std::uint8_t* planes[4] = {};
    for (int plane = 0; plane < 4 && picture.data[plane]; ++plane) {
        // A row of x samples of this plane is exactly the offset of column x.
        const int offset = av_image_get_linesize(outputFormat_, x, plane);
        if (offset < 0) return false;
        planes[plane] = picture.data[plane] + offset;
    }
    return scale(image, planes, picture.linesize);
}

}  // namespace talvex
