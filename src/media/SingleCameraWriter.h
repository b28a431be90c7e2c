#pragma once

// Interface fixed for the camera side; the implementation belongs with the
// movie writer.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "media/VideoFrame.h"

namespace talvex {

// The writing half of one camera recorder: its own 1280x720 H.264 movie
// ("camera1.mp4"). Started on the main thread; frames and the stop run on
// the recorder's capture queue, so they never overlap.
class SingleCameraWriter {
public:
    explicit SingleCameraWriter(std::string cameraName);
    ~SingleCameraWriter();

    // Main thread: replaces any file at path, creates the writer. An error
    // (code 1 "Cannot add writer input", or the media library's text) fails the start.
    std::optional<RecordingError> startRecording(const std::string& path);

    // Capture queue: appends the frame; the first frame starts the timeline at 0.
    void appendFrame(const VideoFramePtr& frame);

    // Capture queue: finishes the file, or cancels (removes) it when no frame
    // was written. Does nothing when not writing.
    void stopRecording();

    bool isWriting() const;
};

}  // namespace talvex
