#pragma once

#include <optional>

namespace talvex {

// Says which frames the encoder must make key frames, so that a movie has one
// at least every second of capture time whatever rate the camera delivers (a
// count of frames would space them two seconds apart at 15 fps). The first
// frame is one. Used by the thread that encodes.
class KeyFramePolicy {
public:
    static constexpr double kMaxSpacing = 1.0;

    // instant: the frame's capture instant (or movie time), increasing.
    // A frame is a key frame when the next one, coming as long after it as
    // it came after the previous one, would lie more than a second after
    // the last key frame.
    bool isKeyFrame(double instant);

private:
    std::optional<double> lastKey_;
    std::optional<double> last_;
};

}  // namespace talvex
