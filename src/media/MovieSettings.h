#pragma once

#include <cstdint>
#include <string>

namespace talvex {

// The one table of what the movies are: every geometry, rate and encoder
// choice of the station's video lives here.
struct MovieSettings {
    int width = 1280;
    int height = 720;
    std::int64_t bitRate = 8'000'000;  // average, bit/s
    int fps = 30;                      // key-frame spacing and rate control; never timing
    std::string preset = "superfast";
    // Fragmented file with a key frame every second, pushed to the disk at
    // least every second, so a killed process keeps all but the last fragment.
    bool crashSafe = true;

    // The rate asked of every camera, and the movies' nominal rate.
    static constexpr int kCameraFps = 30;
    // Each camera's place in a movie: the whole single-camera movie, one half
    // of the side-by-side one.
    static constexpr int kCameraWidth = 1280;
    static constexpr int kCameraHeight = 720;

    // "camera1.mp4": one camera, 1280x720, 8 Mbit/s.
    static MovieSettings singleCamera() { return {}; }
    // "recording.mp4": two cameras side by side, 2560x720, 16 Mbit/s.
    static MovieSettings sideBySide() {
        MovieSettings settings;
        settings.width = 2 * kCameraWidth;
        settings.bitRate = 16'000'000;
        return settings;
    }
};

}  // namespace talvex
