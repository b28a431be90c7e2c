#pragma once

#include <cstdint>
#include <span>

namespace talvex {

// Whether an MJPEG frame arrived whole: it starts with the start-of-image
// marker (FF D8) and ends with the end-of-image marker (FF D9), after which
// some cameras pad the buffer with zeros. A frame cut short on the bus
// arrives without any flag and lacks the end marker.
bool mjpegFrameIsWhole(std::span<const std::uint8_t> data);

}  // namespace talvex
