#pragma once

// Test helpers for movies: frames of a solid colour with a frame counter
// drawn in, and what ffprobe and ffmpeg read back from a movie.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

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

inline std::vector<int> sequence(int first, int count) {
    std::vector<int> values(count);
    std::iota(values.begin(), values.end(), first);
    return values;
}

// A frame whose pixel (x, y) has colour(x, y), turned from BGRA into the
// given format as a camera pipeline would deliver it. Given `painted` rows,
// only those are asked for and every other row copies the one above.
template <class Colour>
VideoFramePtr paintFrame(int width, int height, std::int64_t pts, AVPixelFormat format,
                         Colour colour, const std::vector<int>& painted = {}) {
    auto bgra = VideoFrame::make(width, height, pts);
    for (int y = 0; y < height; ++y) {
        if (y > 0 && !painted.empty() && std::count(painted.begin(), painted.end(), y) == 0) {
            std::copy_n(bgra->row(y - 1), 4 * width, bgra->row(y));
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const Rgb pixel = colour(x, y);
            const std::uint8_t bytes[] = {std::uint8_t(pixel.b), std::uint8_t(pixel.g),
                                          std::uint8_t(pixel.r), 255};
            std::copy(bytes, bytes + 4, bgra->row(y) + 4 * x);
        }
    }
    if (format == AV_PIX_FMT_BGRA) return bgra;
    auto frame = VideoFrame::make(width, height, pts, format);
    EXPECT_TRUE(FfmpegScaler(width, height, format).scale(*bgra, frame->picture(), 0));
    return frame;
}

// The counter's eight bits are white or black blocks across the bottom
// quarter, the rest is the colour: both survive any stretch.
inline VideoFramePtr makeFrame(int width, int height, Rgb colour, int counter, std::int64_t pts,
                               AVPixelFormat format = AV_PIX_FMT_BGRA) {
    return paintFrame(width, height, pts, format,
                      [&](int x, int y) {
                          const int level = (counter >> (7 - x * 8 / width)) & 1 ? 255 : 0;
                          return y >= height * 3 / 4 ? Rgb{level, level, level} : colour;
                      },
                      {0, height * 3 / 4});
}

// White, yellow, cyan, green, magenta, red, blue and black, side by side, at
// three quarters of full level as broadcast bars are: at full level a range
// mistake would hide in the clipping.
inline const std::vector<Rgb>& colourBars() {
    static const std::vector<Rgb> bars = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                          {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                          {0, 0, 191},     {0, 0, 0}};
    return bars;
}

inline VideoFramePtr colourBarFrame(int width, int height, std::int64_t pts, AVPixelFormat format) {
    return paintFrame(width, height, pts, format,
                      [&](int x, int) { return colourBars()[x * 8 / width]; }, {0});
}

struct MovieInfo {
    std::string errors;              // what ffmpeg printed while decoding every frame
    std::string streams;             // ffprobe's stream and format lines
    std::vector<double> frameTimes;  // presentation times of the decoded frames
    double seconds = 0;              // the container's duration
    std::size_t frames() const { return frameTimes.size(); }
};

inline MovieInfo probeMovie(const std::string& path) {
    MovieInfo info;
    info.errors = runCommand("ffmpeg -v error -i '" + path +
                             "' -fps_mode passthrough -enc_time_base -1 -f null - 2>&1");
    std::istringstream lines(
        runCommand("ffprobe -v error -of csv -show_entries format=format_name,duration:"
                   "stream=codec_name,profile,width,height,pix_fmt:frame=pts_time '" +
                   path + "'"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("frame,", 0) == 0)
            info.frameTimes.push_back(std::stod(line.substr(6)));
        else if (line.rfind("stream,", 0) == 0)
            info.streams += line + "\n";
        else if (line.rfind("format,", 0) == 0) {
            const auto comma = line.rfind(',');
            info.streams += line.substr(0, comma) + "\n";
            info.seconds = std::atof(line.c_str() + comma + 1);
        }
    return info;
}

// Times in seconds of `count` frames 33.333 ms apart from 0.
inline std::vector<double> evenTimes(int count) {
    std::vector<double> times(count);
    for (int i = 0; i < count; ++i) times[i] = i * 0.033333;
    return times;
}

// What every writer leaves: an mp4 holding one High-profile H.264 yuv420p
// stream `width` x 720, decoded without an error, frames at `times` seconds.
inline void expectMovie(const MovieInfo& info, int width, const std::vector<double>& times) {
    EXPECT_EQ(info.errors, "");
    EXPECT_EQ(info.streams, "stream,h264,High," + std::to_string(width) +
                                ",720,yuv420p\nformat,\"mov,mp4,m4a,3gp,3g2,mj2\"\n");
    ASSERT_EQ(info.frameTimes.size(), times.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(info.frameTimes[i], times[i], 1e-6) << "frame " << i;
}

// Every frame decoded and shrunk to width x 36 RGB, in presentation order.
class SmallFrames {
public:
    SmallFrames(const std::string& path, int width) : width_(width) {
        bytes_ = runCommand("ffmpeg -v error -i '" + path +
                            "' -fps_mode passthrough -vf scale=" + std::to_string(width) +
                            ":36:flags=area -pix_fmt rgb24 -f rawvideo - 2>/dev/null");
    }
    // The largest difference in any channel between the middles of the bars
    // of `frame` in columns [x0, x0 + w) and the colours they were made with.
    int colourBarError(std::size_t frame, int x0, int w) const {
        int worst = 0;
        for (int bar = 0; bar < 8; ++bar)
            worst = std::max(
                worst, distance(at(frame, x0 + (2 * bar + 1) * w / 16, 18), colourBars()[bar]));
        return worst;
    }
    // The counter of each frame's image in columns [x0, x0 + w), or -1 when
    // the corners of its coloured part are not near `colour`.
    std::vector<int> counters(int x0, int w, Rgb colour) const {
        std::vector<int> values;
        for (std::size_t f = 0; f < frameCount(); ++f) {
            int value = 0;
            for (int bit = 0; bit < 8; ++bit)
                value = value << 1 | (at(f, x0 + (2 * bit + 1) * w / 16, 31).g > 128);
            for (Rgb p : {at(f, x0, 0), at(f, x0 + w - 1, 0), at(f, x0, 25), at(f, x0 + w - 1, 25)})
                if (distance(p, colour) > 40) value = -1;
            values.push_back(value);
        }
        return values;
    }

    std::size_t frameCount() const { return bytes_.size() / (3 * width_ * 36); }
    Rgb at(std::size_t frame, int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data()) +
                        3 * ((frame * 36 + y) * width_ + x);
        return {p[0], p[1], p[2]};
    }

private:
    std::size_t width_;
    std::string bytes_;
};

}  // namespace talvex::test
