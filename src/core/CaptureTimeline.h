#pragma once

#include <optional>

namespace talvex {

// Decides each frame's capture instant, in steady seconds (the steady clock
// is CLOCK_MONOTONIC, the clock V4L2 stamps buffers with at the start of the
// frame). One per camera, used by the thread that reads it.
//
// A frame keeps the driver's stamp when that is a plausible steady instant:
// not after its delivery and at most kMaxStampAge before it. So frames a
// camera hands over after a stall keep their own stamps: a gap, then the usual
// spacing, never moved onto their delivery. A frame without a usable stamp
// (a source stamping on another clock, or not at all) takes its delivery
// instant, but at least half an interval after the previous frame: a burst
// delivered after a stall is spread out, its first frame late.
class CaptureTimeline {
public:
    // A stamp older than this at delivery is on another clock; a delivery
    // instant is never pushed later than this to spread a burst.
    static constexpr double kMaxStampAge = 1.0;

    // frameInterval: 1 / the rate the camera was set to, in seconds.
    explicit CaptureTimeline(double frameInterval) : interval_(frameInterval) {}

    // driverStamp: the buffer's time stamp in seconds (FFmpeg's v4l2 packet
    // pts / 1e6), none when the packet has none; delivered: steadyNow() when
    // the packet was read. None: drop the frame, it would go back in time or
    // lie closer than half an interval to the previous one.
    std::optional<double> place(std::optional<double> driverStamp, double delivered);

private:
    double interval_;
    std::optional<double> last_;
};

}  // namespace talvex
