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
    // Forgets every camera (between tests).
    static void reset();

    // The libavfilter graph of the camera at the given rate, 1280x720.
    static std::string filterGraph(const SyntheticCamera& camera, std::int64_t fps);
};

}  // namespace talvex
