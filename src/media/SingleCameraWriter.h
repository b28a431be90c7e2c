#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "media/VideoFrame.h"

namespace talvex {

class MovieSession;

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
    // was written, and says which. Does nothing when not writing.
    std::optional<MovieOutcome> stopRecording();

    bool isWriting() const;

    // For tests and benchmarks: the movie's status as the log lines number
    // it (0 when there is none) and the frames it took.
    int status() const;
    std::int64_t framesWritten() const;
    // Capture instant (steady seconds) of the frame at movie time 0, once
    // the movie took a frame.
    std::optional<double> firstFrameTime() const;

private:
    std::optional<MovieOutcome> finishOrCancel();

    std::string cameraName_;
    // Guards the movie and its timeline: the start runs on the main thread,
    // frames and the stop on the capture queue.
    mutable std::mutex mutex_;
    std::unique_ptr<MovieSession> movie_;
    // Set last by the start, so a frame sees either no writer or a whole one.
    std::atomic<bool> writing_{false};
};

}  // namespace talvex
