#include "FrameMaker.h"

#include <linux/videodev2.h>

#include <cstring>

namespace webcam {

FrameMaker::FrameMaker(const CameraConfig& camera, int cameraIndex, std::uint32_t fourcc, int width,
                       int height)
    : cameraIndex_(cameraIndex),
      width_(width),
      height_(height),
      renderer_(width, height, camera.colour, fourcc == V4L2_PIX_FMT_MJPEG) {
    if (fourcc == V4L2_PIX_FMT_MJPEG) encoder_ = std::make_unique<MjpegEncoder>(width, height);
}

std::size_t FrameMaker::make(std::uint64_t counter, std::uint8_t* out, std::size_t capacity) {
    const CounterCode code{static_cast<std::uint16_t>(counter), cameraIndex_ & 7};
    if (!encoder_) {
        const std::size_t size = static_cast<std::size_t>(width_) * height_ * 2;
        if (size > capacity) return 0;
        renderer_.renderYuyv(code, out);
        return size;
    }
    AVFrame& frame = encoder_->frame();
    if (av_frame_make_writable(&frame) < 0) return 0;
    renderer_.renderPlanar(code, frame.data, frame.linesize);
    const auto& jpeg = encoder_->encode();
    if (jpeg.empty() || jpeg.size() > capacity) return 0;
    std::memcpy(out, jpeg.data(), jpeg.size());
    return jpeg.size();
}

}  // namespace webcam
