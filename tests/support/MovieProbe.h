#pragma once

// Frames with a counter drawn in, and what ffprobe and ffmpeg read back from a movie.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "media/CameraRecorder.h"
#include "media/FfmpegScaler.h"
#include "media/VideoFrame.h"
#include "support/TestSupport.h"

namespace talvex::test {

struct Rgb {
    int r = 0, g = 0, b = 0;
};
// The largest difference in any channel.
inline int distance(Rgb a, Rgb b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

// A frame of colour(x, y) in the given format as a camera would deliver it;
// given `painted` rows, only those are asked for, the others copy the one above.
template <class Colour>
VideoFramePtr paintFrame(int width, int height, std::int64_t pts, AVPixelFormat format,
                         Colour colour, const std::vector<int>& painted = {}) {
    auto bgra = VideoFrame::make(width, height, pts);
    for (int y = 0; y < height; ++y)
        if (y > 0 && !painted.empty() && std::count(painted.begin(), painted.end(), y) == 0)
            std::copy_n(bgra->row(y - 1), 4 * width, bgra->row(y));
        else
            for (int x = 0; x < width; ++x) {
                const Rgb c = colour(x, y);  // BGRA bytes are one little-endian ARGB word
                reinterpret_cast<std::uint32_t*>(bgra->row(y))[x] =
                    0xFF000000u | c.r << 16 | c.g << 8 | c.b;
            }
    if (format == AV_PIX_FMT_BGRA) return bgra;
    auto frame = VideoFrame::make(width, height, pts, format);
    EXPECT_TRUE(FfmpegScaler(width, height, format).scale(*bgra, frame->picture(), 0));
    return frame;
}

// The counter's bits in white or black blocks across the bottom quarter, above it the colour.
inline VideoFramePtr makeFrame(int width, int height, Rgb colour, int counter, std::int64_t pts,
                               AVPixelFormat format = AV_PIX_FMT_BGRA) {
    return paintFrame(width, height, pts, format,
                      [&](int x, int y) {
                          const int bit = (counter >> (7 - x * 8 / width)) & 1;
                          return y < height * 3 / 4 ? colour : Rgb{255 * bit, 255 * bit, 255 * bit};
                      },
                      {0, height * 3 / 4});
}

// Broadcast bars at 3/4 level: at full level a range mistake hides in the clipping.
inline const Rgb kBars[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                             {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
inline VideoFramePtr colourBarFrame(int width, int height, std::int64_t pts, AVPixelFormat format) {
    return paintFrame(width, height, pts, format, [&](int x, int) { return kBars[x * 8 / width]; },
                      {0});
}

struct MovieInfo {
    std::string errors;                // what ffmpeg printed while decoding every frame
    std::string streams;               // ffprobe's stream and format lines
    std::vector<double> frameTimes{};  // presentation times of the decoded frames
    double seconds = 0;                // the container's duration
    std::size_t frames() const { return frameTimes.size(); }
};

// The frames a camera has captured so far: its newest frame's number.
inline std::uint64_t captured(const CameraRecorder& camera) {
    const VideoFramePtr frame = camera.latestFrame();
    return frame ? frame->sequence : 0;
}

inline MovieInfo probeMovie(const std::string& path) {
    const std::string quoted = " '" + path + "'", probe = "ffprobe -v error -show_entries ";
    MovieInfo info{runCommand("ffmpeg -v error -i" + quoted +
                              " -fps_mode passthrough -enc_time_base -1 -f null - 2>&1"),
                   runCommand(probe + "stream=codec_name,profile,width,height,pix_fmt:" +
                              "format=format_name -of csv" + quoted)};
    info.frameTimes = movieFrameTimes(path);
    info.seconds = std::atof(runCommand(probe + "format=duration -of csv=p=0" + quoted).c_str());
    return info;
}

// The presentation times of the movie's key frames.
inline std::vector<double> keyFrameTimes(const std::string& path) {
    std::vector<double> times;
    std::istringstream lines(
        runCommand("ffprobe -v error -show_entries packet=pts_time,flags "
                   "-of csv=p=0 '" +
                   path + "'"));
    for (std::string line; std::getline(lines, line);)
        if (line.find(",K") != std::string::npos) times.push_back(std::atof(line.c_str()));
    return times;
}

// An mp4 of one High-profile H.264 yuv420p stream `width` x 720, decoded without error.
inline void expectPlayable(const MovieInfo& info, int width) {
    EXPECT_EQ(info.errors, "");
    EXPECT_EQ(info.streams, "stream,h264,High," + std::to_string(width) +
                                ",720,yuv420p\nformat,\"mov,mp4,m4a,3gp,3g2,mj2\"\n");
}

// Every frame decoded and shrunk to width x 36 RGB, in presentation order;
// each camera's picture fills a cell 64 wide.
class SmallFrames {
public:
    SmallFrames(const std::string& path, int width)
        : width_(width),
          bytes_(runCommand("ffmpeg -v error -i '" + path +
                            "' -fps_mode passthrough -vf scale=" + std::to_string(width) +
                            ":36:flags=area -pix_fmt rgb24 -f rawvideo - 2>/dev/null")) {}
    Rgb at(std::size_t frame, int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data()) +
                        3 * ((frame * 36 + y) * width_ + x);
        return {p[0], p[1], p[2]};
    }
    // How far the middles of the bars of `frame` in the cell are off; a
    // picture narrower than the cell has `inset` columns of bars each side.
    int colourBarError(std::size_t frame, int cell, int inset = 0) const {
        int worst = 0;
        const int w = 64 - 2 * inset;
        for (int bar = 0; bar < 8; ++bar)
            worst = std::max(
                worst,
                distance(at(frame, 64 * cell + inset + w * bar / 8 + w / 16, 18), kBars[bar]));
        return worst;
    }
    // The counter of each frame's picture in the cell, or -1 when the corners
    // of its coloured part are not near `colour`.
    std::vector<int> counters(int cell, Rgb colour, int inset = 0) const {
        std::vector<int> values(bytes_.size() / (108 * width_));
        const int x = 64 * cell + inset, w = 64 - 2 * inset;
        for (std::size_t f = 0; f < values.size(); ++f) {
            for (int bit = 0; bit < 8; ++bit)
                values[f] = values[f] << 1 | (at(f, x + w * bit / 8 + w / 16, 31).g > 128);
            for (Rgb p : {at(f, x, 0), at(f, x + w - 1, 0), at(f, x, 25), at(f, x + w - 1, 25)})
                if (distance(p, colour) > 40) values[f] = -1;
        }
        return values;
    }

private:
    std::size_t width_;
    std::string bytes_;
};

}  // namespace talvex::test
