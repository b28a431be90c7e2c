// The camera side of a capture queue: its thread starts frames on the
// camera's clock and completes them after the delivery delay.

#include <cmath>

#include "CaptureQueue.h"
#include "Controls.h"
#include "DeviceNodes.h"
#include "Emulator.h"
#include "FrameMaker.h"

namespace webcam {
namespace {

constexpr std::int64_t kLongestSleepNs = 20'000'000;

std::chrono::steady_clock::time_point steadyAt(std::int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

void CaptureQueue::run() {
    const CameraConfig& camera = emulator_.camera(camera_);
    std::unique_lock lock(mutex_);
    FrameMaker maker(camera, camera_, format_.fourcc, format_.width, format_.height);
    std::uint32_t streams = 0;
    {
        SharedState::Lock shared(emulator_.shared());
        streams = emulator_.shared().camera(camera_).streams++;
        format_.interval =
            emulator_.shared().camera(camera_).interval;  // S_PARM may follow REQBUFS
    }
    faults_.seed(camera.seed * 1000003 + streams);
    delays_.seed(camera.seed * 7919 + streams);
    nextStartNs_ = monotonicNs() + static_cast<std::int64_t>(camera.startupMs * 1e6);
    lastReadyNs_ = 0;
    sequence_ = 0;
    std::deque<InFlight> flight;
    while (!stop_) {
        if (!emulator_.present(camera_, generation_)) {
            handleUnplug(flight);
            break;
        }
        const std::int64_t now = monotonicNs();
        if (now >= nextStartNs_) {
            startFrame(lock, maker, flight);
        } else if (!flight.empty() && flight.front().readyNs <= now) {
            finish(flight.front());
            flight.pop_front();
        } else {
            std::int64_t wake = std::min(nextStartNs_, now + kLongestSleepNs);
            if (!flight.empty()) wake = std::min(wake, flight.front().readyNs);
            changed_.wait_until(lock, steadyAt(wake));
        }
    }
    for (const auto& frame : flight)
        if (!unplugged_)
            emulator_.truth().frame(camera.name, frame.sequence, frame.counter, frame.captureNs, -1,
                                    Fate::stopped);
    running_ = false;
    changed_.notify_all();
}

// The frame period now (low light slows an auto-exposed camera down) and the
// frame's counter; tells when the configured unplug is due at this frame.
std::int64_t CaptureQueue::framePeriodNs(std::uint64_t& counter, bool& unplugNow) {
    const CameraConfig& camera = emulator_.camera(camera_);
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    counter = state.counter++;
    unplugNow = camera.unplug.atFrame && *camera.unplug.atFrame == sequence_ && !state.unplugDone;
    double period = format_.interval * 100.0 / (1 + camera.ratePpm * 1e-6);
    const bool autoExposure =
        state.controls[controlIndex(V4L2_CID_EXPOSURE_AUTO)] == kExposureAperturePriority &&
        state.controls[controlIndex(V4L2_CID_EXPOSURE_AUTO_PRIORITY)];
    if (state.lowLight && autoExposure) period = std::max(period, 1e9 / camera.lowLightFps);
    return std::llround(period);
}

// A frame starts: it is lost on the bus, finds no queued buffer, or fills the
// first one; its fate shows when it completes.
bool CaptureQueue::startFrame(std::unique_lock<std::mutex>& lock, FrameMaker& maker,
                              std::deque<InFlight>& flight) {
    const CameraConfig& camera = emulator_.camera(camera_);
    bool unplugNow = false;
    InFlight frame;
    frame.captureNs = nextStartNs_;
    nextStartNs_ += framePeriodNs(frame.counter, unplugNow);
    if (unplugNow) {
        lock.unlock();
        emulator_.unplugFromStream(camera_);
        lock.lock();
        return false;
    }
    frame.sequence = sequence_++;
    const bool lost = camera.drop.hits(frame.sequence, faults_);
    const bool flagged = camera.flag.hits(frame.sequence, faults_);
    const bool cut = camera.cut.hits(frame.sequence, faults_);
    std::uniform_real_distribution<double> delayMs(camera.delayMinMs, camera.delayMaxMs);
    frame.readyNs = std::max<std::int64_t>(lastReadyNs_,
                                           frame.captureNs + std::llround(delayMs(delays_) * 1e6));
    lastReadyNs_ = frame.readyNs;
    frame.fate = lost ? Fate::dropped : Fate::delivered;
    if (!lost && !queued_.empty()) {
        frame.buffer = queued_.front();
        queued_.pop_front();
        buffers_[frame.buffer].state = Buffer::State::filling;
        lock.unlock();
        fill(frame, maker);
        lock.lock();
        // A raw frame that arrives short is flagged by the driver; a JPEG is not.
        if (cut) frame.fate = maker.compressed() ? Fate::cutShort : Fate::flagged;
        if (flagged) frame.fate = Fate::flagged;
        if (frame.fate == Fate::flagged && !emulator_.config().nodrop) frame.fate = Fate::dropped;
        if (cut && frame.fate != Fate::dropped)
            frame.bytes = static_cast<std::uint32_t>(frame.bytes * camera.cutFraction);
    } else if (!lost) {
        frame.fate = Fate::noBuffer;
    }
    flight.push_back(frame);
    return true;
}

void CaptureQueue::fill(InFlight& frame, FrameMaker& maker) {
    frame.bytes = static_cast<std::uint32_t>(
        maker.make(frame.counter, mapped_ + frame.buffer * stride_, format_.sizeimage));
}

void CaptureQueue::record(const InFlight& frame, Fate fate, bool ready) {
    emulator_.truth().frame(emulator_.camera(camera_).name, frame.sequence, frame.counter,
                            frame.captureNs, ready ? frame.readyNs : -1, fate);
}

// The frame is complete: a buffer the driver drops goes back to the front of
// the queue for the next frame, the others become dequeuable.
void CaptureQueue::finish(const InFlight& frame) {
    const bool delivered = frame.buffer >= 0 && frame.fate != Fate::dropped;
    record(frame, frame.fate, delivered);
    if (frame.buffer < 0) return;
    Buffer& buffer = buffers_[frame.buffer];
    if (!delivered) {
        buffer.state = Buffer::State::queued;
        queued_.push_front(frame.buffer);
        return;
    }
    buffer.state = Buffer::State::done;
    buffer.bytesused = frame.bytes;
    buffer.flags = frame.fate == Fate::flagged ? V4L2_BUF_FLAG_ERROR : 0;
    buffer.sequence = frame.sequence;
    buffer.timestampNs = frame.captureNs;
    done_.push_back(frame.buffer);
    syncReadiness();
    changed_.notify_all();
}

// The frames under way are lost; the buffer being filled and the first queued
// ones (unplug_error_buffers in all) come back empty and flagged; the rest never.
void CaptureQueue::handleUnplug(std::deque<InFlight>& flight) {
    std::vector<int> returned;
    const std::size_t limit = static_cast<std::size_t>(emulator_.config().unplugErrorBuffers);
    for (auto& buffer : buffers_) buffer.sequence = 0, buffer.timestampNs = 0;
    for (const auto& frame : flight) {
        record(frame, Fate::lostUnplugged, false);
        if (frame.buffer < 0) continue;
        returned.push_back(frame.buffer);
        buffers_[frame.buffer].sequence = frame.sequence;
        buffers_[frame.buffer].timestampNs = frame.captureNs;
    }
    for (int index : queued_) returned.push_back(index);
    for (auto& buffer : buffers_)
        if (buffer.state == Buffer::State::queued || buffer.state == Buffer::State::filling)
            buffer.state = Buffer::State::lost;
    queued_.clear();
    for (std::size_t i = 0; i < returned.size() && i < limit; ++i) {
        Buffer& buffer = buffers_[returned[i]];
        buffer.state = Buffer::State::done;
        buffer.bytesused = 0;
        buffer.flags = V4L2_BUF_FLAG_ERROR;
        done_.push_back(returned[i]);
    }
    unplugged_ = true;
    syncReadiness();
    changed_.notify_all();
}

}  // namespace webcam
