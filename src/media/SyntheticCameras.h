#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

// One test-pattern camera: a colour of its own with a moving frame counter.
struct SyntheticCamera {
    std::string id;    // "synthetic-1", stable for the same position
    std::string name;  // "Synthetic Camera 1"
    int number = 0;
    std::uint32_t rgb = 0;
};

// The process-wide set of synthetic cameras. They are listed by discovery and
// captured through the same input path as a real camera (a libavdevice lavfi
// graph instead of a v4l2 node). Thread-safe.
class SyntheticCameras {
public:
    // noFrames: the camera opens but never delivers a frame.
    enum class Failure { none, openInput, addOutput, noFrames };
    // steady: every camera at exactly the asked rate, each frame handed over
    // at its capture instant. freeRunning: as real cameras, each on its own
    // clock a little off the asked rate (camera n at rate x 1000 / (999 + n):
    // 30.00, 29.97, 29.94 fps at 30) and each frame handed over up to
    // kMaxJitterMicros after its capture instant.
    enum class Timing { steady, freeRunning };
    static constexpr int kMaxJitterMicros = 4000;

    // Adds count more cameras, numbered after the ones already added; returns them.
    static std::vector<SyntheticCamera> add(int count);
    // The cameras that are currently plugged in, in number order.
    static std::vector<SyntheticCamera> list();
    static std::optional<SyntheticCamera> find(const std::string& id);
    static bool isSyntheticId(const std::string& id);

    // Test hooks. A disconnected camera leaves the list and its running capture
    // ends as if unplugged; reconnect brings it back.
    static void disconnect(const std::string& id);
    static void reconnect(const std::string& id);
    static void setFailure(const std::string& id, Failure failure);
    static Failure failure(const std::string& id);
    // Frames of the camera captured from this steady-clock instant on, for
    // 100 ms, are white (a flash to find in the movie).
    static void flashAt(const std::string& id, double steadySeconds);
    static std::optional<double> flashTime(const std::string& id);
    // Forgets every camera (between tests); the timing stays.
    static void reset();

    // Applies to cameras opened afterwards. Steady unless set.
    static void setTiming(Timing timing);
    static Timing timing();
    // The camera's frame rate under the current timing, as "numerator/denominator".
    static std::string frameRate(const SyntheticCamera& camera, std::int64_t fps);

    // The libavfilter graph of the camera at its frame rate, 1280x720, made as
    // fast as it is read: the recorder hands the frames over on the camera's clock.
    static std::string filterGraph(const SyntheticCamera& camera, std::int64_t fps);
};

}  // namespace talvex
