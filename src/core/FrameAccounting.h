#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "core/RecordingOperations.h"

namespace talvex {

// What one camera gave a session: frames captured, written, damaged and lost,
// and its rate. Fed with capture instants in order; used by one thread.
//
// Lost frames do not arrive: a gap of about k intervals means k - 1 lost.
// The interval is the camera's typical one (the median gap over half a
// window before the gap judged, and over half a window after it: the longer
// of the two), not the asked one, so a camera that slows down in low light
// loses nothing. A gap is judged once half a window of capture time has
// followed it.
class FrameAccounting {
public:
    // Capture time over which the typical interval is measured.
    static constexpr double kWindowSeconds = 3.0;
    // Well below the asked rate: under this share of it over a whole window.
    static constexpr double kLowRateShare = 0.8;
    // A gap of this many typical intervals has lost a frame, one more
    // interval two, and so on; 1.74 intervals lose nothing.
    static constexpr double kLossThreshold = 1.75;

    FrameAccounting(std::string cameraName, double askedFps)
        : name_(std::move(cameraName)), askedFps_(askedFps) {}

    // Every frame that got a capture instant, damaged ones too (so a damaged
    // frame is not also counted lost). The first time in the session that the
    // camera ran well below the asked rate for a whole window, the line to
    // log, e.g. "Talvex: camera 'Cam' delivers 15.0 fps of the 30 fps asked
    // (low light?)".
    std::optional<std::string> captured(double instant);
    // One of the captured frames was flagged, empty, cut short or undecodable.
    void damaged() { ++damaged_; }
    // One frame went into a movie.
    void written() { ++written_; }

    std::int64_t framesLost() const;
    // 1 / the typical interval of the last window; none before a few frames.
    std::optional<double> measuredFps() const;
    // Sets the take's counts, and its measured rate when it was reported low.
    void fill(CameraTake& take) const;

private:
    struct Gap {
        double end;
        double length;
    };
    std::optional<std::string> lowRateLine(double instant);
    std::int64_t lostIn(std::size_t gap) const;

    std::string name_;
    double askedFps_;
    std::int64_t captured_ = 0;
    std::int64_t written_ = 0;
    std::int64_t damaged_ = 0;
    std::int64_t judgedLost_ = 0;
    std::optional<double> first_;
    std::optional<double> last_;
    std::deque<Gap> gaps_;      // those ending within the last window
    std::size_t unjudged_ = 0;  // the newest gaps, not yet judged
    std::optional<double> lowFps_;
};

}  // namespace talvex
