#pragma once

// Paints the emulated camera's picture: its own colour with the counter band
// (WebcamCounter.h), as packed YUYV in video range or as planar 4:2:2 in full
// range for the JPEG encoder. The still parts are painted once.

#include <cstdint>
#include <vector>

#include "WebcamCounter.h"

namespace webcam {

class FrameRenderer {
public:
    FrameRenderer(int width, int height, std::uint32_t rgb, bool fullRange);

    // width * height * 2 bytes.
    void renderYuyv(const CounterCode& code, std::uint8_t* out) const;
    // Three planes (Y full width, Cb and Cr half width), each with its line size.
    void renderPlanar(const CounterCode& code, std::uint8_t* const planes[3],
                      const int linesizes[3]) const;

private:
    void paintCode(const CounterCode& code, std::uint8_t* row, int step) const;

    int width_, height_;
    std::uint8_t y_, cb_, cr_, black_, white_;
    std::vector<std::uint8_t> yuyv_;  // the picture without the code
};

}  // namespace webcam
