#pragma once

// Test helpers for the movie writers: frames with a solid colour and a frame
// counter drawn into them, and what ffprobe and ffmpeg read back from a movie.

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "media/VideoFrame.h"
#include "support/TestSupport.h"

namespace talvex::test {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

inline bool near(Rgb a, Rgb b, int tolerance = 40) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

// The counter's eight bits are white or black blocks across the bottom
// quarter; the rest of the image is the solid colour. Everything scales with
// the image, so the pattern survives any stretch.
inline VideoFramePtr makeFrame(int width, int height, Rgb colour, int counter,
                               std::int64_t ptsMicros) {
    auto frame = VideoFrame::make(width, height, ptsMicros);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = frame->row(y);
        for (int x = 0; x < width; ++x) {
            Rgb pixel = colour;
            if (y >= height * 3 / 4) {
                int bit = x * 8 / width;
                int level = (counter >> (7 - bit)) & 1 ? 255 : 0;
                pixel = {level, level, level};
            }
            row[4 * x] = static_cast<std::uint8_t>(pixel.b);
            row[4 * x + 1] = static_cast<std::uint8_t>(pixel.g);
            row[4 * x + 2] = static_cast<std::uint8_t>(pixel.r);
            row[4 * x + 3] = 255;
        }
    }
    return frame;
}

struct MovieInfo {
    int exitCode = -1;
    std::string errors;  // what ffprobe printed while decoding every frame
    std::string formatName;
    int streams = 0;
    std::string codec;
    std::string profile;
    std::string pixelFormat;
    int width = 0;
    int height = 0;
    double duration = 0;
    std::vector<double> frameTimes;  // presentation times of the decoded frames
};

inline double numberField(const nlohmann::json& object, const char* key) {
    if (!object.contains(key)) return -1;
    const auto& value = object[key];
    return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>();
}

// Decodes every frame (ffprobe -show_frames) and reads the container.
inline MovieInfo probeMovie(const std::string& path) {
    MovieInfo info;
    std::string errorFile = path + ".probe-errors";
    std::string json = runCommand(
        "ffprobe -v error -show_format -show_streams -show_frames "
        "-of json '" +
            path + "' 2>'" + errorFile + "'",
        &info.exitCode);
    info.errors = readText(errorFile);
    std::remove(errorFile.c_str());
    auto root = nlohmann::json::parse(json, nullptr, false);
    if (root.is_discarded()) return info;
    info.formatName = root["format"].value("format_name", "");
    info.duration = numberField(root["format"], "duration");
    info.streams = static_cast<int>(root["streams"].size());
    if (info.streams > 0) {
        const auto& stream = root["streams"][0];
        info.codec = stream.value("codec_name", "");
        info.profile = stream.value("profile", "");
        info.pixelFormat = stream.value("pix_fmt", "");
        info.width = stream.value("width", 0);
        info.height = stream.value("height", 0);
    }
    for (const auto& frame : root["frames"])
        info.frameTimes.push_back(numberField(frame, "pts_time"));
    return info;
}

// Every frame decoded and shrunk to width x height RGB, in presentation order.
class SmallFrames {
public:
    SmallFrames(const std::string& path, int width, int height) : width_(width), height_(height) {
        bytes_ = runCommand("ffmpeg -v error -i '" + path + "' -fps_mode passthrough -vf scale=" +
                            std::to_string(width) + ":" + std::to_string(height) +
                            ":flags=area -pix_fmt rgb24 -f rawvideo - 2>/dev/null");
    }
    int count() const { return static_cast<int>(bytes_.size() / (3 * width_ * height_)); }
    Rgb at(int frame, int x, int y) const {
        std::size_t offset = 3 * ((static_cast<std::size_t>(frame) * height_ + y) * width_ + x);
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes_[offset + i]); };
        return {byte(0), byte(1), byte(2)};
    }
    // The colour and counter of the image stretched over columns [x0, x0 + w).
    Rgb colour(int frame, int x0, int w) const { return at(frame, x0 + w / 2, height_ / 3); }
    Rgb corner(int frame, int x0, int w, bool right, bool bottom) const {
        return at(frame, right ? x0 + w - 1 : x0, bottom ? height_ * 3 / 4 - 2 : 0);
    }
    int counter(int frame, int x0, int w) const {
        int value = 0;
        int y = height_ * 7 / 8;
        for (int bit = 0; bit < 8; ++bit) {
            int x = x0 + (2 * bit + 1) * w / 16;
            value = value << 1 | (at(frame, x, y).g > 128 ? 1 : 0);
        }
        return value;
    }

private:
    int width_;
    int height_;
    std::string bytes_;
};

}  // namespace talvex::test
