#include "FrameRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace webcam {
namespace {

std::uint8_t clampByte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

// BT.601: video range for raw YUYV, full range for JPEG.
FrameRenderer::FrameRenderer(int width, int height, std::uint32_t rgb, bool fullRange)
    : width_(width), height_(height) {
    const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    const double scale = fullRange ? 1.0 : 219.0 / 255.0,
                 chromaScale = fullRange ? 1.0 : 224.0 / 255.0;
    y_ = clampByte((fullRange ? 0 : 16) + luma * scale);
    cb_ = clampByte(128 + (b - luma) / 1.772 * chromaScale);
    cr_ = clampByte(128 + (r - luma) / 1.402 * chromaScale);
    black_ = fullRange ? 0 : 16;
    white_ = fullRange ? 255 : 235;
    yuyv_.resize(static_cast<std::size_t>(width) * height * 2);
    for (int y = 0; y < height; ++y) {
        const bool band =
            y >= counter_layout::bandTop(height) && y < counter_layout::bandBottom(height);
        std::uint8_t* row = &yuyv_[static_cast<std::size_t>(y) * width * 2];
        for (int x = 0; x < width; x += 2) {
            row[2 * x] = row[2 * x + 2] = band ? black_ : y_;
            row[2 * x + 1] = band ? 128 : cb_;
            row[2 * x + 3] = band ? 128 : cr_;
        }
    }
}

// The code's blocks on one band row; step is the distance between luma samples.
void FrameRenderer::paintCode(const CounterCode& code, std::uint8_t* row, int step) const {
    const auto light = counter_layout::blocks(code);
    const int block = counter_layout::blockWidth(width_), left = counter_layout::codeLeft(width_);
    for (int u = 0; u < counter_layout::kUnits; ++u)
        for (int x = left + u * block; x < left + (u + 1) * block; ++x)
            row[x * step] = light[u] ? white_ : black_;
}

void FrameRenderer::renderYuyv(const CounterCode& code, std::uint8_t* out) const {
    std::memcpy(out, yuyv_.data(), yuyv_.size());
    const std::size_t rowBytes = static_cast<std::size_t>(width_) * 2;
    const int top = counter_layout::bandTop(height_);
    paintCode(code, out + top * rowBytes, 2);
    for (int y = top + 1; y < counter_layout::bandBottom(height_); ++y)
        std::memcpy(out + y * rowBytes, out + top * rowBytes, rowBytes);
}

void FrameRenderer::renderPlanar(const CounterCode& code, std::uint8_t* const planes[3],
                                 const int linesizes[3]) const {
    const int top = counter_layout::bandTop(height_), bottom = counter_layout::bandBottom(height_);
    for (int y = 0; y < height_; ++y) {
        const bool band = y >= top && y < bottom;
        std::memset(planes[0] + y * linesizes[0], band ? black_ : y_, width_);
        std::memset(planes[1] + y * linesizes[1], band ? 128 : cb_, width_ / 2);
        std::memset(planes[2] + y * linesizes[2], band ? 128 : cr_, width_ / 2);
        if (band) paintCode(code, planes[0] + y * linesizes[0], 1);
    }
}

}  // namespace webcam
