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
#include "media/MovieOutput.h"
#include "media/VideoFrame.h"

namespace talvex {

class FfmpegScaler;

// Puts two cameras side by side into one movie output, timed by camera 0's
// capture clock: each pair is camera 0's newest frame with camera 1's
// newest. Its thread ("talvex.compositor") owns the movie; cameras only
// leave frames in its two slots.
class Compositor : public std::enable_shared_from_this<Compositor> {
public:
    // swapped: camera 1 fills the left half, camera 0 the right.
    explicit Compositor(bool swapped);
    ~Compositor();

    // Main thread, once: starts the movie on the compositor's thread and
    // returns the start's error, which fails the session's start.
    std::optional<std::string> start(const std::string& path, const MovieSettings& settings);

    // Any camera thread: keeps the newest frame of camera 0 or 1.
    void offer(int camera, VideoFramePtr frame);

    // Main thread: stops taking frames and finishes the movie after the pair
    // in progress; `done` then runs once, on the compositor's thread, with
    // how the movie ended (none when it never started).
    void stop(std::function<void(std::optional<MovieResult>)> done);

    // Pairs in the movie so far; any thread.
    std::int64_t framesWritten() const { return framesWritten_.load(); }

private:
    void drain();
    void composite(const VideoFramePtr& left, const VideoFramePtr& right);

    const bool swapped_;
    MovieOutput output_{MovieLines::sideBySide()};  // the compositor's thread only
    std::unique_ptr<FfmpegScaler> leftHalf_;
    std::unique_ptr<FfmpegScaler> rightHalf_;
    std::atomic<bool> taking_{false};
    std::atomic<std::int64_t> framesWritten_{0};

    // Guards exactly the two newest-frame slots and the pending flag; held
    // only to swap them, never while scaling or encoding.
    std::mutex slotLock_;
    VideoFramePtr latest_[2];
    bool drainPending_ = false;

    // Queued work holds the compositor, so none is left when it goes; one
    // released by its own thread's last task is destroyed there.
    SerialQueue thread_{"talvex.compositor"};
};

}  // namespace talvex
