#include "media/VideoFrame.h"

#include <new>

namespace talvex {

std::shared_ptr<VideoFrame> VideoFrame::adopt(AVFrame& picture, std::int64_t ptsMicros) {
    auto frame = std::make_shared<VideoFrame>();
    if (!frame->picture_) throw std::bad_alloc();
    av_frame_move_ref(frame->picture_.get(), &picture);
    frame->ptsMicros = ptsMicros;
    return frame;
}

std::shared_ptr<VideoFrame> VideoFrame::at(std::int64_t ptsMicros) const {
    auto frame = std::make_shared<VideoFrame>();
    if (!frame->picture_ || av_frame_ref(frame->picture_.get(), picture_.get()) < 0)
        throw std::bad_alloc();
    frame->ptsMicros = ptsMicros;
    return frame;
}

std::shared_ptr<VideoFrame> VideoFrame::make(int width, int height, std::int64_t ptsMicros,
                                             AVPixelFormat format) {
    auto frame = std::make_shared<VideoFrame>();
    AVFrame* picture = frame->picture_.get();
    if (!picture) throw std::bad_alloc();
    picture->width = width;
    picture->height = height;
    picture->format = format;
    if (av_frame_get_buffer(picture, 0) < 0) throw std::bad_alloc();
    frame->ptsMicros = ptsMicros;
    return frame;
}

bool VideoFrame::isFullRangeFormat(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
           format == AV_PIX_FMT_YUVJ444P;
}

bool VideoFrame::fullRange() const {
    return isFullRangeFormat(format()) || picture_->color_range == AVCOL_RANGE_JPEG;
}

}  // namespace talvex
