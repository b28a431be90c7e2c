#pragma once

// Makes the JPEGs a UVC webcam sends: full-range 4:2:2 with the standard
// Huffman tables left out (the decoder supplies them), no comment segment.

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace webcam {

class MjpegEncoder {
public:
    MjpegEncoder(int width, int height);  // throws std::runtime_error
    ~MjpegEncoder();
    MjpegEncoder(const MjpegEncoder&) = delete;
    MjpegEncoder& operator=(const MjpegEncoder&) = delete;

    // The picture to paint before encode().
    AVFrame& frame() { return *frame_; }
    // The JPEG of frame(); empty when the encoder failed.
    const std::vector<std::uint8_t>& encode();

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<std::uint8_t> jpeg_;
    std::int64_t pts_ = 0;
};

// The JPEG without its DHT and COM segments.
std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t* data, std::size_t size);

}  // namespace webcam
