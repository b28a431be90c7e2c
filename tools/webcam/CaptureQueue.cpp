#include "CaptureQueue.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "Emulator.h"
#include "FrameMaker.h"
#include "RealCalls.h"

namespace webcam {
namespace {

constexpr std::uint32_t kMaxBuffers = 32;             // UVC_MAX_VIDEO_BUFFERS
constexpr std::int64_t kLongestSleepNs = 20'000'000;  // how soon an unplug or stop is seen
constexpr std::uint32_t kTimestampFlags =
    V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;

std::size_t pageAligned(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

timeval toTimeval(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1'000'000'000),
            static_cast<suseconds_t>(ns % 1'000'000'000 / 1000)};
}

}  // namespace

CaptureQueue::CaptureQueue(Emulator& emulator, int camera, std::uint32_t generation, int eventFd)
    : emulator_(emulator), camera_(camera), generation_(generation), eventFd_(eventFd) {
    syncReadiness();
}

CaptureQueue::~CaptureQueue() {
    streamOff();
    std::lock_guard lock(mutex_);
    freeBuffers();
}

void CaptureQueue::freeBuffers() {
    if (mapped_) ::munmap(mapped_, stride_ * buffers_.size());
    if (memory_ >= 0) real::close(memory_);
    mapped_ = nullptr;
    memory_ = -1;
    buffers_.clear();
    queued_.clear();
    done_.clear();
}

// Buffers are orphaned, not refused, when the program still maps old ones.
int CaptureQueue::request(v4l2_requestbuffers& request, const StreamFormat& format) {
    std::lock_guard lock(mutex_);
    if (streaming_) return -EBUSY;
    freeBuffers();
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    if (request.count == 0) return 0;
    const std::uint32_t count = std::min(request.count, kMaxBuffers);
    format_ = format;
    stride_ = pageAligned(format.sizeimage);
    memory_ = ::memfd_create("talvex-webcam", MFD_CLOEXEC);
    if (memory_ < 0 || ::ftruncate(memory_, static_cast<off_t>(stride_ * count)) != 0)
        return -ENOMEM;
    void* all =
        real::mmap(nullptr, stride_ * count, PROT_READ | PROT_WRITE, MAP_SHARED, memory_, 0);
    if (all == MAP_FAILED) return -ENOMEM;
    mapped_ = static_cast<std::uint8_t*>(all);
    buffers_.resize(count);
    request.count = count;
    return 0;
}

void CaptureQueue::fillInfo(const Buffer& buffer, v4l2_buffer& info) const {
    const auto index = static_cast<std::uint32_t>(&buffer - buffers_.data());
    info.index = index;
    info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    info.memory = V4L2_MEMORY_MMAP;
    info.bytesused = buffer.bytesused;
    info.flags = buffer.flags | kTimestampFlags | (buffer.mapped ? V4L2_BUF_FLAG_MAPPED : 0);
    if (buffer.state == Buffer::State::queued || buffer.state == Buffer::State::filling)
        info.flags |= V4L2_BUF_FLAG_QUEUED;
    if (buffer.state == Buffer::State::done) info.flags |= V4L2_BUF_FLAG_DONE;
    info.field = V4L2_FIELD_NONE;
    info.timestamp = toTimeval(buffer.timestampNs);
    info.sequence = buffer.sequence;
    info.m.offset = static_cast<std::uint32_t>(index * stride_);
    info.length = format_.sizeimage;
}

int CaptureQueue::query(v4l2_buffer& info) {
    std::lock_guard lock(mutex_);
    if (info.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || info.index >= buffers_.size()) return -EINVAL;
    fillInfo(buffers_[info.index], info);
    return 0;
}

int CaptureQueue::queue(v4l2_buffer& info) {
    std::lock_guard lock(mutex_);
    if (info.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || info.memory != V4L2_MEMORY_MMAP ||
        info.index >= buffers_.size() || buffers_[info.index].state != Buffer::State::dequeued)
        return -EINVAL;
    Buffer& buffer = buffers_[info.index];
    buffer.state = Buffer::State::queued;
    buffer.flags = 0;
    queued_.push_back(static_cast<int>(info.index));
    fillInfo(buffer, info);
    return 0;
}

int CaptureQueue::dequeue(v4l2_buffer& info, bool nonBlocking) {
    std::unique_lock lock(mutex_);
    if (info.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    for (;;) {
        if (!streaming_) return -EINVAL;
        if (!done_.empty()) break;
        if (unplugged_) return -ENODEV;
        if (nonBlocking) return -EAGAIN;
        changed_.wait_for(lock, std::chrono::nanoseconds(kLongestSleepNs));
    }
    Buffer& buffer = buffers_[done_.front()];
    done_.pop_front();
    buffer.state = Buffer::State::dequeued;
    fillInfo(buffer, info);
    syncReadiness();
    return 0;
}

int CaptureQueue::streamOn() {
    std::lock_guard lock(mutex_);
    if (streaming_) return 0;
    if (buffers_.empty()) return -EINVAL;
    streaming_ = true;
    stop_ = unplugged_ = false;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    syncReadiness();
    return 0;
}

// Every buffer goes back to the program, dequeued and empty.
void CaptureQueue::streamOff() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& buffer : buffers_) {
        buffer.state = Buffer::State::dequeued;
        buffer.bytesused = 0;
    }
    queued_.clear();
    done_.clear();
    streaming_ = false;
    syncReadiness();
}

void* CaptureQueue::map(void* address, std::size_t length, int protection, int flags,
                        off_t offset) {
    std::lock_guard lock(mutex_);
    if (!(flags & MAP_SHARED) || stride_ == 0 || offset % stride_ != 0 ||
        static_cast<std::size_t>(offset) / stride_ >= buffers_.size() || length > stride_) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* mapping = real::mmap(address, length, protection, flags, memory_, offset);
    if (mapping != MAP_FAILED) buffers_[offset / stride_].mapped = true;
    return mapping;
}

bool CaptureQueue::allocated() {
    std::lock_guard lock(mutex_);
    return !buffers_.empty();
}

bool CaptureQueue::streaming() {
    std::lock_guard lock(mutex_);
    return streaming_;
}

short CaptureQueue::pollEvents() {
    std::lock_guard lock(mutex_);
    if (!done_.empty()) return POLLIN | POLLRDNORM;
    if (unplugged_) return POLLERR | POLLHUP;
    return streaming_ ? 0 : POLLERR;
}

void CaptureQueue::awaitUnplugHandled() {
    std::unique_lock lock(mutex_);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !streaming_ || unplugged_ || !running_; });
}

// The eventfd is readable exactly when poll would not block.
void CaptureQueue::syncReadiness() {
    const bool readable = !done_.empty() || unplugged_ || !streaming_;
    if (readable == readable_) return;
    std::uint64_t value = 1;
    ssize_t moved = readable ? ::write(eventFd_, &value, sizeof value)
                             : real::read(eventFd_, &value, sizeof value);
    if (moved == sizeof value) readable_ = readable;
}

}  // namespace webcam
