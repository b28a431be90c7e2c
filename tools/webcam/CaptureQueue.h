#pragma once

// One capture file handle's buffers and stream, as videobuf2 and uvcvideo
// run them: buffers in a memfd the program maps, a camera thread that starts
// a frame every frame period, fills the first queued buffer and makes it
// dequeuable a delivery delay later, and the eventfd the program polls.

#include <linux/videodev2.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "TruthLog.h"

namespace webcam {

class Emulator;
class FrameMaker;

struct StreamFormat {
    std::uint32_t fourcc = 0;
    int width = 0, height = 0;
    std::uint32_t sizeimage = 0;
    std::uint32_t interval = 0;  // 100 ns units
};

class CaptureQueue {
public:
    CaptureQueue(Emulator& emulator, int camera, std::uint32_t generation, int eventFd);
    ~CaptureQueue();
    CaptureQueue(const CaptureQueue&) = delete;
    CaptureQueue& operator=(const CaptureQueue&) = delete;

    // Each returns 0 or a negative errno, as the kernel would.
    int request(v4l2_requestbuffers& request, const StreamFormat& format);
    int query(v4l2_buffer& buffer);
    int queue(v4l2_buffer& buffer);
    int dequeue(v4l2_buffer& buffer, bool nonBlocking);
    int streamOn();
    void streamOff();
    void* map(void* address, std::size_t length, int protection, int flags, off_t offset);

    bool allocated();
    bool streaming();
    short pollEvents();
    // The camera is gone: a few buffers come back flagged, then nothing.
    void awaitUnplugHandled();

private:
    struct Buffer {
        enum class State { dequeued, queued, filling, done, lost } state = State::dequeued;
        std::uint32_t bytesused = 0, flags = 0, sequence = 0;
        std::int64_t timestampNs = 0;
        bool mapped = false;
    };

    struct InFlight {
        std::uint32_t sequence = 0;
        std::uint64_t counter = 0;
        std::int64_t captureNs = 0, readyNs = 0;
        int buffer = -1;  // -1: no buffer took it
        Fate fate = Fate::delivered;
        std::uint32_t bytes = 0;
    };

    void freeBuffers();
    void run();
    bool startFrame(std::unique_lock<std::mutex>& lock, FrameMaker& maker,
                    std::deque<InFlight>& flight);
    std::int64_t framePeriodNs(std::uint64_t& counter, bool& unplugNow);
    void fill(InFlight& frame, FrameMaker& maker);
    void finish(const InFlight& frame);
    void handleUnplug(std::deque<InFlight>& flight);
    void record(const InFlight& frame, Fate fate, bool ready);
    void fillInfo(const Buffer& buffer, v4l2_buffer& info) const;
    void syncReadiness();

    Emulator& emulator_;
    const int camera_;
    const std::uint32_t generation_;
    const int eventFd_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Buffer> buffers_;
    std::deque<int> queued_, done_;
    StreamFormat format_;
    int memory_ = -1;  // memfd holding every buffer
    std::uint8_t* mapped_ = nullptr;
    std::size_t stride_ = 0;
    bool streaming_ = false, stop_ = false, unplugged_ = false, readable_ = false, running_ = false;
    std::thread thread_;
    // The camera thread's own: its frame clock and fault dice.
    std::int64_t nextStartNs_ = 0, lastReadyNs_ = 0;
    std::uint32_t sequence_ = 0;
    std::mt19937_64 faults_, delays_;
};

}  // namespace webcam
