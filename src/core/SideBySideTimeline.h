#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>

namespace talvex {

// Decides what each half of the side-by-side movie shows. The movie runs at
// the recording rate on the recording clock: tick n lies at start + n / fps,
// start being the capture instant of the first frame offered, and its movie
// time is n / fps, whatever rate or clock either camera has. At each tick a
// half shows its camera's oldest frame not yet shown that lies within reach
// of the tick (kReach ticks either side), else the newest one delivered too
// late for its own tick, else it repeats what it showed. So a frame delivered
// in time is shown no further than that from its capture instant, a slow
// camera's frame is repeated, and a camera at the movie's rate loses a frame
// only when jitter puts two of its frames into one tick's reach alone.
//
// It holds capture instants and frame ids only; the caller keeps the
// pictures. Used by the compositor's thread alone.
class SideBySideTimeline {
public:
    // How far from a tick, in ticks, a frame shown at it may have been
    // captured: under 20 ms at 30 fps, and wide enough that a frame half a
    // tick off, a few milliseconds of jitter either way, still has a tick.
    static constexpr double kReach = 0.58;
    // How long after a tick's last due capture instant its frames may still
    // be delivered (a camera hands a frame over 4-40 ms after its instant; a
    // loaded machine may hold its capture thread back longer).
    static constexpr double kDeliveryAllowance = 0.5;

    struct Half {
        // The frame to show; none until its camera's first frame (black).
        std::optional<std::int64_t> frame;
        bool fresh = false;  // shown for the first time: count it written
        // Its camera was lost at or before this tick and has given no frame
        // since: dim what it shows, or black it.
        bool lost = false;
        bool operator==(const Half&) const = default;
    };
    using Halves = std::array<Half, 2>;

    explicit SideBySideTimeline(double fps) : fps_(fps) {}

    // A frame of camera 0 or 1 with its capture instant; ids and instants
    // increase per camera. False: it is not after the camera's previous
    // frame and will never be shown.
    bool offer(int camera, double captureInstant, std::int64_t frameId);
    // The camera was lost at this steady instant; ticks no longer wait for it.
    void cameraLost(int camera, double at);

    // None before the first frame.
    std::optional<double> start() const { return start_; }
    double tickInstant(std::int64_t tick) const;
    double movieTime(std::int64_t tick) const { return static_cast<double>(tick) / fps_; }

    // Whether the tick can be decided at the steady instant now: every camera
    // not lost has offered a frame captured after the tick's due instants, or
    // the delivery allowance past them is over.
    bool ready(std::int64_t tick, double now) const;
    // What the tick shows (after start). Ticks are asked in increasing order
    // and may be skipped. Afterwards no frame of a camera with an id below its
    // half's frame will be shown: release them.
    Halves choose(std::int64_t tick);

private:
    struct Frame {
        double at;
        std::int64_t id;
        bool late = false;  // offered after a tick it could have gone to was decided
    };
    struct Camera {
        std::deque<Frame> waiting;  // offered, newer than `shown`, not shown
        std::optional<Frame> shown;
        std::optional<double> newest;
        std::optional<double> lostAt;
    };
    Half chooseFor(Camera& camera, double tick);

    double fps_;
    std::optional<double> start_;
    std::optional<double> decided_;  // the instant of the last tick chosen
    std::array<Camera, 2> cameras_;
};

}  // namespace talvex
