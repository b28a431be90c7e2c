#pragma once

#include <cstdint>
#include <memory>

#include "media/FfmpegPtr.h"

namespace talvex {

// One captured camera image with its capture time, in the camera's own pixel
// format (packed or planar YUV as the device or its decoder delivers it; BGRA
// for generated images). The planes are the decoder's reference-counted
// buffers, taken over without a copy. Frames are shared read-only between the
// capture thread, the writers and the preview.
class VideoFrame {
public:
    // Takes the picture's buffers over; `picture` is left empty for reuse.
    static std::shared_ptr<VideoFrame> adopt(AVFrame& picture, std::int64_t ptsMicros);
    // The same planes (shared, not copied) at another capture time.
    std::shared_ptr<VideoFrame> at(std::int64_t ptsMicros) const;
    // A new picture of the given format, for generated images.
    static std::shared_ptr<VideoFrame> make(int width, int height, std::int64_t ptsMicros,
                                            AVPixelFormat format = AV_PIX_FMT_BGRA);

    int width() const { return picture_->width; }
    int height() const { return picture_->height; }
    AVPixelFormat format() const { return static_cast<AVPixelFormat>(picture_->format); }
    // Full-range ("JPEG") samples rather than the video range 16-235.
    bool fullRange() const;
    static bool isFullRangeFormat(AVPixelFormat format);
    const AVFrame& picture() const { return *picture_; }
    AVFrame& picture() { return *picture_; }
    int stride(int plane = 0) const { return picture_->linesize[plane]; }
    std::uint8_t* row(int y, int plane = 0) { return picture_->data[plane] + offset(y, plane); }
    const std::uint8_t* row(int y, int plane = 0) const {
        return picture_->data[plane] + offset(y, plane);
    }

    std::int64_t ptsMicros = 0;  // capture instant on the steady clock, microseconds
    std::uint64_t sequence = 0;  // the source's count of this frame, from 1
    bool damaged = false;        // the source flagged the image as damaged

private:
    std::ptrdiff_t offset(int y, int plane) const {
        return static_cast<std::ptrdiff_t>(y) * picture_->linesize[plane];
    }
    FramePtr picture_{av_frame_alloc()};
};

using VideoFramePtr = std::shared_ptr<const VideoFrame>;

}  // namespace talvex
