#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "media/VideoFrame.h"

namespace talvex {

// The newest frame of one camera, for the live preview. The capture thread
// never waits here: when a reader holds the slot at that instant, the frame is
// skipped and the next one is offered.
class LatestFrameSlot {
public:
    void offer(VideoFramePtr frame) {
        {
            std::unique_lock lock(mutex_, std::try_to_lock);
            if (!lock.owns_lock()) return;
            frame_ = std::move(frame);
        }
        std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_release) + 1;
        std::function<void(std::uint64_t)> notify;
        {
            std::unique_lock lock(notifyMutex_, std::try_to_lock);
            if (lock.owns_lock()) notify = onNewFrame_;
        }
        if (notify) notify(sequence);
    }

    VideoFramePtr latest() const {
        std::lock_guard lock(mutex_);
        return frame_;
    }

    // Grows by one for every frame that reached the slot; a poller compares it.
    std::uint64_t sequence() const { return sequence_.load(std::memory_order_acquire); }

    // Called on the capture thread after each new frame; it must only post or
    // flag, never wait.
    void setOnNewFrame(std::function<void(std::uint64_t)> notify) {
        std::lock_guard lock(notifyMutex_);
        onNewFrame_ = std::move(notify);
    }

private:
    mutable std::mutex mutex_;
    VideoFramePtr frame_;
    std::atomic<std::uint64_t> sequence_{0};
    std::mutex notifyMutex_;
    std::function<void(std::uint64_t)> onNewFrame_;
};

}  // namespace talvex
