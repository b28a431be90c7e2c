#pragma once

// One stream's pictures: the painted frame, raw or as a camera's JPEG.

#include <cstdint>
#include <memory>

#include "Config.h"
#include "FrameRenderer.h"
#include "MjpegEncoder.h"

namespace webcam {

class FrameMaker {
public:
    FrameMaker(const CameraConfig& camera, int cameraIndex, std::uint32_t fourcc, int width,
               int height);

    // Writes the frame with this counter into out; returns its size (0: did not fit).
    std::size_t make(std::uint64_t counter, std::uint8_t* out, std::size_t capacity);
    bool compressed() const { return encoder_ != nullptr; }

private:
    int cameraIndex_;
    int width_, height_;
    FrameRenderer renderer_;
    std::unique_ptr<MjpegEncoder> encoder_;
};

}  // namespace webcam
