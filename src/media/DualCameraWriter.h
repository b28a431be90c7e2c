#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "core/SerialQueue.h"
#include "media/VideoFrame.h"

struct AVFrame;

namespace talvex {

class FfmpegScaler;
class MovieSession;

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
    // calls completion once, on the writer queue, with how it ended (none
    // without a movie); the caller hops to the main thread.
    using StopDone = std::function<void(std::optional<MovieOutcome> outcome)>;
    void stopWriting(StopDone completion);

    // For tests and benchmarks: the movie's status as the log lines number it
    // (0 before a start), the composites appended, whether a pair waits, and
    // a wait until every piece of work queued so far on the writer queue has run.
    int status() const;
    // Before startWriting: a plain MP4 instead of the crash-safe fragmented
    // one, so benchmarks can show what the safety costs.
    void setCrashSafe(bool enabled) { crashSafe_ = enabled; }
    std::int64_t compositesWritten() const { return compositesWritten_.load(); }
    // Capture instant (steady seconds) of camera 0's frame at movie time 0,
    // once a pair was written; read it on the writer queue, as the stop's
    // completion does.
    std::optional<double> firstFrameTime() const;
    // True while a complete pair waits in the slots for its drain to start.
    bool pairWaiting() const;
    void waitUntilIdle();

private:
    void drainAndComposite();
    void composite(const VideoFramePtr& left, const VideoFramePtr& right);
    bool makeSideBySideFrame(const VideoFrame& first, const VideoFrame& second, AVFrame& out);
    void finishOnWriterQueue(const StopDone& completion);

    const std::string outputPath_;
    const bool swapped_;
    const std::int64_t fps_;
    static constexpr int kSingleWidth = 1280;
    static constexpr int kHeight = 720;
    bool crashSafe_ = true;
    // Made by the start on the main thread; from then on used only on the
    // writer queue (the queue hand-off orders the two).
    std::unique_ptr<MovieSession> movie_;
    std::unique_ptr<FfmpegScaler> leftHalfScaler_;
    std::unique_ptr<FfmpegScaler> rightHalfScaler_;
    std::atomic<bool> isWriting_{false};
    std::atomic<std::int64_t> compositesWritten_{0};

    // Guards exactly the two newest-frame slots and the pending flag; held
    // only to swap them, never while scaling or encoding.
    mutable std::mutex bufferLock_;
    VideoFramePtr latestLeft_;   // camera index 0
    VideoFramePtr latestRight_;  // camera index 1
    bool pendingComposite_ = false;

    // Queued work holds the writer, so no work is left when it is destroyed;
    // a writer released by its own queue's last task is destroyed there.
    SerialQueue writerQueue_{"talvex.writer"};
};

}  // namespace talvex
