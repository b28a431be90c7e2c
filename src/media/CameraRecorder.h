#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/CameraDevice.h"
#include "core/FrameAccounting.h"
#include "core/RecordingOperations.h"
#include "core/SerialQueue.h"
#include "media/LatestFrameSlot.h"
#include "media/MovieOutput.h"
#include "media/VideoFrame.h"

namespace talvex {

class CaptureSource;
class Compositor;

// One open camera: its capture source, and its own thread ("talvex.capture."
// + id) that takes each frame to the camera's own movie output or to the
// compositor of a side-by-side movie. The newest frame also goes to a slot
// the preview reads.
//
// Threads: construction and setup on the set-up thread; the recording calls
// and close on the main thread; frames, movie work and the stop's `done` on
// the camera's thread; onDisconnect on the source's reading thread.
class CameraRecorder {
public:
    CameraRecorder(CameraDevice device, std::int64_t fps);
    // Closes the camera and finishes a movie still being written.
    ~CameraRecorder();
    CameraRecorder(const CameraRecorder&) = delete;
    CameraRecorder& operator=(const CameraRecorder&) = delete;

    const CameraDevice& device() const { return device_; }

    // Called at most once when the device is lost or stops working. Set before setup.
    void setOnDisconnect(std::function<void(const CameraDevice&)> onDisconnect);

    // Opens the device and starts capturing. One of the three open-error texts, or nothing.
    std::optional<std::string> setup();

    // Starts this camera's own movie at path; the error fails the session's start.
    std::optional<std::string> startRecording(const std::string& path);
    // From now on this camera's frames go to the compositor as its camera `index`.
    void feed(std::shared_ptr<Compositor> compositor, int index);

    // How the camera ended its part of a take: its own movie, if it had one
    // that ended since the last stop (also when a loss ended it), and what
    // the camera gave (none when it was in no take).
    struct Stopped {
        std::optional<MovieResult> movie;
        std::optional<CameraTake> take;
    };
    // Ends the take after every frame already captured; `done` runs once.
    void stopRecording(std::function<void(Stopped)> done);

    // Stops capturing (the device is free afterwards). A movie in progress
    // is not finished here; stopRecording still does that.
    void close();

    VideoFramePtr latestFrame() const { return slot_.latest(); }
    LatestFrameSlot& frameSlot() { return slot_; }

    bool isCapturing() const;

private:
    void deliver(VideoFramePtr frame);
    void count(std::int64_t captureMicros, bool damaged);
    void take(const VideoFramePtr& frame);
    void lose(const std::string& line);
    void beginTake();
    Stopped endTake();

    const CameraDevice device_;
    const std::int64_t fps_;
    std::function<void(const CameraDevice&)> onDisconnect_;
    std::unique_ptr<CaptureSource> source_;
    std::unique_ptr<SerialQueue> thread_;
    std::atomic<bool> closing_{false};
    std::atomic<int> backlog_{0};
    LatestFrameSlot slot_;

    // The camera's thread only.
    MovieOutput output_;
    std::shared_ptr<Compositor> compositor_;
    int compositorIndex_ = 0;
    std::optional<CameraTake> take_;
    std::optional<FrameAccounting> accounting_;  // of the take, every frame captured
    std::optional<MovieResult> unreported_;      // a movie a loss ended
};

}  // namespace talvex
