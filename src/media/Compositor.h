#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "core/SerialQueue.h"
#include "core/SideBySideTimeline.h"
#include "media/MovieOutput.h"
#include "media/VideoFrame.h"

namespace talvex {

class FfmpegScaler;

// Puts two cameras side by side into one movie output that runs at the
// movie's rate on the recording clock (SideBySideTimeline): at each tick
// each half shows its own camera's frame for that instant, a slow camera's
// last frame repeated, a lost camera's dimmed. Its thread
// ("talvex.compositor") owns the movie; cameras only queue frames for it.
class Compositor : public std::enable_shared_from_this<Compositor> {
public:
    // swapped: camera 1 fills the left half, camera 0 the right.
    explicit Compositor(bool swapped);
    ~Compositor();

    // Main thread, once: starts the movie on the compositor's thread and
    // returns the start's error, which fails the session's start.
    std::optional<std::string> start(const std::string& path, const MovieSettings& settings);

    // Any camera thread: queues a frame of camera 0 or 1 (capture order).
    void offer(int camera, VideoFramePtr frame);
    // Any thread: the camera was lost at this steady instant; from then on
    // its half shows its last frame dimmed and the movie goes on with the other.
    void cameraLost(int camera, double at);

    // Main thread: stops taking frames and finishes the movie with the frames
    // already queued; `done` then runs once, on the compositor's thread, with
    // how the movie ended (none when it never started).
    void stop(std::function<void(std::optional<MovieResult>)> done);

    // Pictures in the movie so far, and the frames of a camera in them; any thread.
    std::int64_t framesWritten() const { return framesWritten_.load(); }
    std::int64_t framesShown(int camera) const { return shown_[camera == 0 ? 0 : 1].load(); }

private:
    void run();
    void absorb(std::array<std::deque<VideoFramePtr>, 2>& arrived);
    double writeDueTicks(bool flush);
    void writeTick(std::int64_t tick);
    bool paintHalf(AVFrame& out, int camera, const SideBySideTimeline::Half& half, int x);

    const bool swapped_;
    MovieOutput output_{MovieLines::sideBySide()};  // the compositor's thread only
    std::unique_ptr<FfmpegScaler> halves_[2];
    std::atomic<bool> taking_{false};
    std::atomic<std::int64_t> framesWritten_{0};
    std::array<std::atomic<std::int64_t>, 2> shown_{};

    // The compositor's thread only: the timeline, each camera's frames by
    // id until shown past, the next tick and the newest instant offered.
    std::optional<SideBySideTimeline> timeline_;
    std::array<std::map<std::int64_t, VideoFramePtr>, 2> frames_;
    std::int64_t nextId_ = 0;
    std::int64_t nextTick_ = 0;
    std::optional<double> newest_;
    std::int64_t startMicros_ = 0;

    // Guards the frames queued by the cameras, the losses and the stop
    // request; held only to move them, never while scaling or encoding.
    std::mutex inboxLock_;
    std::condition_variable arrived_;
    std::array<std::deque<VideoFramePtr>, 2> inbox_;
    std::array<std::optional<double>, 2> lostAt_;
    bool stopping_ = false;

    // Queued work holds the compositor, so none is left when it goes; one
    // released by its own thread's last task is destroyed there.
    SerialQueue thread_{"talvex.compositor"};
};

}  // namespace talvex
