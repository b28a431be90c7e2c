#pragma once

// Interface fixed for the camera side; the implementation belongs with the
// movie writer.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "media/VideoFrame.h"

namespace talvex {

// Puts two cameras side by side into one 2560x720 H.264 movie timed by
// camera 0's capture clock. Shared by the camera manager and both recorders.
class DualCameraWriter : public std::enable_shared_from_this<DualCameraWriter> {
public:
    DualCameraWriter(std::string outputPath, bool swapped, std::int64_t fps);
    ~DualCameraWriter();

    // Main thread, once: creates the file and the encoder. An error fails the
    // session's start (code 2 "Cannot add dual writer input", or the media
    // library's own text).
    std::optional<RecordingError> startWriting();

    // Any capture thread: keeps the newest frame of camera index 0 or 1.
    void appendFrame(VideoFramePtr frame, std::int64_t cameraIndex);

    // Main thread: finishes (or cancels) the movie on the writer queue, then
    // calls completion once, on the writer queue; the caller hops to the main thread.
    void stopWriting(std::function<void()> completion);
};

}  // namespace talvex
