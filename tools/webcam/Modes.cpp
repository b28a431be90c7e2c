#include "Modes.h"

#include <linux/videodev2.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace webcam {
namespace {

constexpr double kUnitsPerSecond = 1e7;

FrameSize size(int width, int height, std::initializer_list<double> rates) {
    FrameSize frame{width, height, {}};
    for (double fps : rates) frame.intervals.push_back(intervalFromFps(fps));
    return frame;
}

const std::initializer_list<double> kFullRates = {30, 24, 20, 15, 10, 7.5, 5};

// A common 1080p webcam: raw 720p only at low rates, MJPEG up to 1080p at 30 fps.
std::vector<Format> fullHd() {
    return {
        {V4L2_PIX_FMT_YUYV,
         {size(640, 480, kFullRates), size(1280, 720, {10, 7.5, 5}), size(1920, 1080, {5})}},
        {V4L2_PIX_FMT_MJPEG,
         {size(640, 480, kFullRates), size(1280, 720, kFullRates), size(1920, 1080, kFullRates)}}};
}

// A cheap 720p webcam.
std::vector<Format> hd() {
    return {{V4L2_PIX_FMT_YUYV, {size(640, 480, {30}), size(1280, 720, {10})}},
            {V4L2_PIX_FMT_MJPEG, {size(1280, 720, {30})}}};
}

// A VGA webcam: raw only, 640x480 and smaller.
std::vector<Format> vga() {
    return {{V4L2_PIX_FMT_YUYV,
             {size(640, 480, {30, 15}), size(352, 288, {30, 15}), size(320, 240, {30, 15}),
              size(176, 144, {30, 15}), size(160, 120, {30, 15})}}};
}

std::uint32_t parseFourcc(const std::string& name) {
    if (name == "yuyv") return V4L2_PIX_FMT_YUYV;
    if (name == "mjpeg") return V4L2_PIX_FMT_MJPEG;
    throw std::invalid_argument("unknown pixel format '" + name + "' (yuyv or mjpeg)");
}

}  // namespace

std::uint32_t intervalFromFps(double fps) {
    if (!(fps > 0.1 && fps <= 1000)) throw std::invalid_argument("bad frame rate");
    return static_cast<std::uint32_t>(kUnitsPerSecond / fps);
}

// uvcvideo's continued-fraction simplification (8 terms, threshold 333).
void intervalToFraction(std::uint32_t interval, std::uint32_t& numerator,
                        std::uint32_t& denominator) {
    constexpr unsigned kTerms = 8, kThreshold = 333;
    std::uint32_t terms[kTerms];
    std::uint32_t x = interval, y = static_cast<std::uint32_t>(kUnitsPerSecond);
    unsigned n = 0;
    for (; n < kTerms && y != 0; ++n) {
        terms[n] = x / y;
        if (terms[n] >= kThreshold) {
            if (n < 2) n++;
            break;
        }
        std::uint32_t r = x - terms[n] * y;
        x = y;
        y = r;
    }
    x = 0;
    y = 1;
    for (unsigned i = n; i > 0; --i) {
        std::uint32_t r = y;
        y = terms[i - 1] * y + x;
        x = r;
    }
    numerator = y;
    denominator = x;
}

std::uint32_t fractionToInterval(std::uint32_t numerator, std::uint32_t denominator) {
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (denominator == 0 || numerator / denominator >= kMax / 10000000u) return kMax;
    std::uint32_t multiplier = 10000000u;
    while (numerator > kMax / multiplier) {
        multiplier /= 2;
        denominator /= 2;
    }
    return denominator ? numerator * multiplier / denominator : 0;
}

std::uint32_t nearestInterval(const FrameSize& size, std::uint32_t interval) {
    std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
    std::size_t i = 0;
    for (; i < size.intervals.size(); ++i) {
        std::uint32_t listed = size.intervals[i];
        std::uint32_t distance = interval > listed ? interval - listed : listed - interval;
        if (distance > best) break;
        best = distance;
    }
    return size.intervals[i - 1];
}

const FrameSize& nearestSize(const Format& format, int width, int height) {
    const FrameSize* best = &format.sizes.front();
    std::int64_t bestDistance = std::numeric_limits<std::int64_t>::max();
    for (const auto& s : format.sizes) {
        std::int64_t overlap = std::int64_t{std::min(s.width, width)} * std::min(s.height, height);
        std::int64_t d =
            std::int64_t{s.width} * s.height + std::int64_t{width} * height - 2 * overlap;
        if (d < bestDistance) {
            bestDistance = d;
            best = &s;
        }
        if (d == 0) break;
    }
    return *best;
}

std::optional<std::vector<Format>> presetModes(const std::string& model) {
    if (model == "1080p") return fullHd();
    if (model == "720p") return hd();
    if (model == "vga") return vga();
    return std::nullopt;
}

void addModeLine(std::vector<Format>& formats, const std::string& line) {
    std::istringstream in(line);
    std::string name, dimensions;
    in >> name >> dimensions;
    FrameSize frame;
    char x = 0;
    std::istringstream dims(dimensions);
    if (!(dims >> frame.width >> x >> frame.height) || x != 'x' || frame.width < 16 ||
        frame.height < 16 || frame.width % 2 || frame.width > 4096 || frame.height > 4096)
        throw std::invalid_argument("bad size '" + dimensions + "' (WIDTHxHEIGHT, even width)");
    for (double fps; in >> fps;) frame.intervals.push_back(intervalFromFps(fps));
    if (!in.eof() || frame.intervals.empty())
        throw std::invalid_argument("a mode needs its frame rates: FORMAT WxH FPS [FPS...]");
    std::uint32_t fourcc = parseFourcc(name);
    for (auto& format : formats)
        if (format.fourcc == fourcc) return format.sizes.push_back(frame);
    formats.push_back({fourcc, {frame}});
}

std::string fourccName(std::uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_MJPEG ? "mjpeg" : "yuyv";
}

}  // namespace webcam
