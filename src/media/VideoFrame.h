#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace talvex {

// One captured camera image in 32-bit BGRA with its capture time. Frames are
// shared read-only between the capture thread, the writers and the preview.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;                // bytes per row
    std::int64_t ptsMicros = 0;    // capture clock (steady), microseconds
    std::vector<std::uint8_t> pixels;  // stride * height bytes

    static std::shared_ptr<VideoFrame> make(int width, int height, std::int64_t ptsMicros);
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride; }
    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * stride; }
};

using VideoFramePtr = std::shared_ptr<const VideoFrame>;

}  // namespace talvex
