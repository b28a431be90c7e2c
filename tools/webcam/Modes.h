#pragma once

// What a UVC camera offers, as its descriptors list it: formats, each with
// frame sizes, each with frame intervals in 100 ns units (dwFrameInterval).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace webcam {

struct FrameSize {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> intervals;  // 100 ns units, in descriptor order (fastest first)
};

struct Format {
    std::uint32_t fourcc = 0;  // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
    std::vector<FrameSize> sizes;
};

// A frame rate in fps ("30", "7.5") as the interval a descriptor holds.
std::uint32_t intervalFromFps(double fps);
// The fraction uvcvideo reports for an interval (333333 -> 1/30, 1333333 -> 2/15).
void intervalToFraction(std::uint32_t interval, std::uint32_t& numerator,
                        std::uint32_t& denominator);
// The interval uvcvideo computes from a requested time per frame.
std::uint32_t fractionToInterval(std::uint32_t numerator, std::uint32_t denominator);
// The listed interval nearest to the requested one (uvcvideo's choice).
std::uint32_t nearestInterval(const FrameSize& size, std::uint32_t interval);
// The listed size nearest to width x height (uvcvideo's distance rule).
const FrameSize& nearestSize(const Format& format, int width, int height);

// "1080p", "720p" or "vga"; nothing for an unknown name.
std::optional<std::vector<Format>> presetModes(const std::string& model);

// A "mode" line: "yuyv 1280x720 10 7.5 5"; throws std::invalid_argument.
void addModeLine(std::vector<Format>& formats, const std::string& line);

std::string fourccName(std::uint32_t fourcc);  // "yuyv" or "mjpeg"

}  // namespace webcam
