#include "core/MjpegFrame.h"

namespace talvex {

bool mjpegFrameIsWhole(std::span<const std::uint8_t> data) {
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) --end;
    return end >= 4 && data[0] == 0xFF && data[1] == 0xD8 && data[end - 2] == 0xFF &&
           data[end - 1] == 0xD9;
}

}  // namespace talvex
