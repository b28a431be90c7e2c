#include "media/FfmpegScaler.h"

#include <algorithm>

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

// The same sample layout in the video range: a full-range source is scaled as
// this and its range compressed afterwards (see compressRange).
AVPixelFormat videoRangeLayout(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

// Full range (0-255) to video range: luma 16-235, chroma 16-240, within one
// step of the exact value. 220/256 and 225/256 stand for 219/255 and 224/255
// so the loops stay in 16 bits and vectorise.
void compressLuma(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x)
        row[x] = static_cast<std::uint8_t>(16 + ((row[x] * 220 + 128) >> 8));
}

void compressChroma(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x)
        row[x] = static_cast<std::uint8_t>(128 + (((row[x] - 128) * 225 + 128) >> 8));
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
    // swscale's own range conversion takes its slow path (more than twice the
    // time of the scaling for an MJPEG camera's yuvj422p), so a full-range YUV
    // source is scaled as its video-range layout and compressed afterwards.
    compressRange_ =
        source.fullRange && !isRgb(source.format) && outputFormat_ == AV_PIX_FMT_YUV420P;
    const AVPixelFormat input = compressRange_ ? videoRangeLayout(source.format) : source.format;
    context_.reset(sws_getContext(source.width, source.height, input, outputWidth_, outputHeight_,
                                  outputFormat_, flags, nullptr, nullptr, nullptr));
    if (!context_) return false;
    // Cameras deliver BT.601 YUV (an HD one may say BT.709, which matters
    // only on the way to RGB); YUV output is BT.601 in the video range
    // unless its format says full range.
    sws_setColorspaceDetails(
        context_.get(), sws_getCoefficients(source.bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601),
        source.fullRange && !compressRange_ ? 1 : 0, sws_getCoefficients(SWS_CS_ITU601),
        VideoFrame::isFullRangeFormat(outputFormat_) ? 1 : 0, 0, 1 << 16, 1 << 16);
    source_ = source;
    return true;
}

bool FfmpegScaler::scale(const VideoFrame& image, std::uint8_t* const planes[4],
                         const int strides[4]) {
    if (!image.picture().data[0] || !prepare(image)) return false;
    sws_scale(context_.get(), image.picture().data, image.picture().linesize, 0, image.height(),
              planes, strides);
    if (compressRange_) compressRange(planes, strides);
    return true;
}

void FfmpegScaler::compressRange(std::uint8_t* const planes[4], const int strides[4]) const {
    for (int y = 0; y < outputHeight_; ++y) compressLuma(planes[0] + y * strides[0], outputWidth_);
    const int chromaWidth = (outputWidth_ + 1) / 2;
    for (int plane = 1; plane <= 2; ++plane)
        for (int y = 0; y < (outputHeight_ + 1) / 2; ++y)
            compressChroma(planes[plane] + y * strides[plane], chromaWidth);
}

bool FfmpegScaler::scale(const VideoFrame& image, AVFrame& picture, int x, int y) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(outputFormat_);
    std::uint8_t* planes[4] = {};
    for (int plane = 0; plane < 4 && picture.data[plane]; ++plane) {
        // A row of x samples of this plane is exactly the offset of column x.
        const int offset = av_image_get_linesize(outputFormat_, x, plane);
        if (offset < 0 || !descriptor) return false;
        const int row = plane == 1 || plane == 2 ? y >> descriptor->log2_chroma_h : y;
        planes[plane] = picture.data[plane] + offset + row * picture.linesize[plane];
    }
    return scale(image, planes, picture.linesize);
}

bool FfmpegScaler::place(const VideoFrame& image, AVFrame& picture, PixelRect target) {
    const PixelRect fit = fitPicture(image.width(), image.height(), target);
    if (fit != target) paintBlack(picture, target);
    setOutputSize(fit.width, fit.height);
    return scale(image, picture, fit.x, fit.y);
}

namespace {

// Calls paint(row, width, chroma) for every row of the region in each plane of a yuv420p picture.
template <class Paint>
void eachRow(AVFrame& picture, PixelRect region, Paint paint) {
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        for (int y = region.y >> shift; y < (region.y + region.height) >> shift; ++y)
            paint(picture.data[plane] + y * picture.linesize[plane] + (region.x >> shift),
                  region.width >> shift, plane > 0);
    }
}

}  // namespace

void FfmpegScaler::dim(AVFrame& picture, PixelRect region) {
    eachRow(picture, region, [](std::uint8_t* row, int width, bool chroma) {
        const int middle = chroma ? 128 : 16;
        for (int x = 0; x < width; ++x)
            row[x] = static_cast<std::uint8_t>(middle + (row[x] - middle) / 2);
    });
}

void FfmpegScaler::paintBlack(AVFrame& picture, PixelRect region) {
    eachRow(picture, region, [](std::uint8_t* row, int width, bool chroma) {
        std::fill_n(row, width, chroma ? 128 : 16);
    });
}

}  // namespace talvex
