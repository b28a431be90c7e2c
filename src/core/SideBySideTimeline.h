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
// half shows its camera's frame due by then (captured at most half a tick
// after it) that has not been shown yet, the oldest one not more than a tick
// behind; else it repeats what it showed. So a slow camera's frame is
// repeated and none of the faster camera's is lost for it; a camera faster
// than the movie loses only the frames that fall more than a tick behind.
//
// It holds capture instants and frame ids only; the caller keeps the
// pictures. Used by the compositor's thread alone.
class SideBySideTimeline {
public:
    // How long after a tick's last due capture instant its frames may still
    // be delivered (a camera hands a frame over 4-40 ms after its instant).
    static constexpr double kDeliveryAllowance = 0.1;

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
    // The camera was lost at this steady instant; ticks stop waiting for it.
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
    std::array<Camera, 2> cameras_;
};

}  // namespace talvex
