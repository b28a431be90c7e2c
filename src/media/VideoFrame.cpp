#include "media/VideoFrame.h"

namespace talvex {

std::shared_ptr<VideoFrame> VideoFrame::make(int width, int height, std::int64_t ptsMicros) {
    auto frame = std::make_shared<VideoFrame>();
    frame->width = width;
    frame->height = height;
    frame->stride = width * 4;
    frame->ptsMicros = ptsMicros;
    frame->pixels.resize(static_cast<std::size_t>(frame->stride) * height);
    return frame;
}

}  // namespace talvex
