#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/CameraDevice.h"
#include "core/RecordingOperations.h"
#include "core/SerialQueue.h"
#include "media/LatestFrameSlot.h"
#include "media/VideoFrame.h"

namespace talvex {

class DualCameraWriter;
class SingleCameraWriter;

// One open camera: a reading thread pulls frames from libavdevice, decodes
// them to the camera's own YUV and hands them to the capture queue ("talvex.capture." + id),
// which writes them to the recorder's own movie or to the dual writer. The
// newest frame also goes to a slot the preview reads.
class CameraRecorder {
public:
    CameraRecorder(CameraDevice device, std::int64_t fps);
    // Closes the camera and finishes a movie still being written.
    ~CameraRecorder();
    CameraRecorder(const CameraRecorder&) = delete;
    CameraRecorder& operator=(const CameraRecorder&) = delete;

    const CameraDevice& device() const { return device_; }

    // Called at most once, from the reading thread, when the device is lost or
    // stops working. Set before setup.
    void setOnDisconnect(std::function<void(const CameraDevice&)> onDisconnect);

    // Set-up queue: opens the device and starts capturing. Returns one of the
    // three open-error texts, or nothing.
    std::optional<std::string> setup();

    // Main thread: starts this camera's own movie at path.
    std::optional<RecordingError> startRecording(const std::string& path);

    // Main thread: finishes the own movie after every frame already captured;
    // completion then runs once, on the capture queue, with how the movie
    // ended if it ended since the last stop (also when a loss ended it);
    // there movieStartTime() tells when its first frame was captured.
    using StopDone = std::function<void(std::optional<MovieOutcome> outcome)>;
    void stopRecording(StopDone completion);
    // Capture queue: the steady-clock instant of the own movie's first frame.
    std::optional<double> movieStartTime() const;
    // Capture queue: the frames the own movie took (0 without one).
    std::int64_t movieFramesWritten() const;

    // Main thread: stops capturing (the device is free afterwards). A movie in
    // progress is not finished here; stopRecording still does that.
    void close();

    // Main thread, in this order when a side-by-side recording starts.
    void setDualCameraIndex(std::int64_t index);
    void setDualWriter(std::shared_ptr<DualCameraWriter> writer);

    VideoFramePtr latestFrame() const { return slot_.latest(); }
    LatestFrameSlot& frameSlot() { return slot_; }

    bool isCapturing() const { return capturing_.load(); }
    std::uint64_t framesCaptured() const { return captured_.load(); }
    // Frames not written because the capture queue was too far behind.
    std::uint64_t framesDropped() const { return dropped_.load(); }
    // Reading threads running in the process, to check that closed cameras are free.
    static int runningCaptures();

    struct Input;

private:
    std::optional<std::string> openInput();
    void readLoop();
    std::optional<std::string> lossBeforeRead(double lastFrameAt) const;
    std::string readErrorLine(int result) const;
    bool decodePacket();
    void deliver(VideoFramePtr frame);
    void route(const VideoFramePtr& frame);
    void lose(const std::string& line);

    const CameraDevice device_;
    const std::int64_t fps_;
    std::function<void(const CameraDevice&)> onDisconnect_;
    std::unique_ptr<Input> input_;
    std::unique_ptr<SerialQueue> captureQueue_;
    std::thread reader_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> capturing_{false};
    std::atomic<std::uint64_t> captured_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<int> backlog_{0};

    mutable std::mutex routeMutex_;  // held only to copy or swap the two below
    std::shared_ptr<DualCameraWriter> dualWriter_;
    std::int64_t dualCameraIndex_ = 0;

    std::shared_ptr<SingleCameraWriter> single_;  // capture queue only
    std::optional<MovieOutcome> unreported_;      // capture queue only
    LatestFrameSlot slot_;
};

}  // namespace talvex
