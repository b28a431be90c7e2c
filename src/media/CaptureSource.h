#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/CameraDevice.h"
#include "core/CaptureTimeline.h"
#include "media/FfmpegPtr.h"
#include "media/VideoFrame.h"

namespace talvex {

// One camera's device and the thread that reads it ("talvex.device." + id).
// It only produces frames stamped with their capture instant on the steady
// clock and numbered from 1, and says once when the camera is lost; it knows
// nothing of previews, movies or sessions.
class CaptureSource {
public:
    struct Sink {
        std::function<void(VideoFramePtr frame)> frame;
        // A frame captured at this instant (steady microseconds) that came
        // flagged, empty, cut short or undecodable: it goes nowhere.
        std::function<void(std::int64_t captureMicros)> damaged;
        // The log line saying why, e.g. "Talvex: disconnected: 'Cam'".
        std::function<void(const std::string& line)> lost;
    };

    // The source for the device (a synthetic test pattern or a V4L2 node),
    // opened; null with one of the open-error texts in `error`.
    static std::unique_ptr<CaptureSource> open(const CameraDevice& device, std::int64_t fps,
                                               std::string& error);
    virtual ~CaptureSource();
    CaptureSource(const CaptureSource&) = delete;
    CaptureSource& operator=(const CaptureSource&) = delete;

    // Starts the reading thread; the sink is called on it.
    void start(Sink sink);
    // Ends the reading thread; the device is free and the sink silent afterwards.
    void stop();

    bool isCapturing() const { return capturing_.load(); }
    // What the device delivers, e.g. "mjpeg 1280x720 30fps".
    const std::string& mode() const { return mode_; }

protected:
    CaptureSource(CameraDevice device, std::int64_t fps);

    // What one read gave: frames handed to deliver(), nothing yet (the
    // thread tries again shortly), nothing usable, or the camera lost.
    struct Read {
        enum class Kind { delivered, later, none, lost } kind = Kind::none;
        std::string lostLine;
    };
    // Opens the device; one of the open-error texts on failure.
    virtual std::optional<std::string> openDevice() = 0;
    virtual Read read() = 0;
    // The capture instant of the frame just read, in steady microseconds,
    // from the driver's stamp (steady seconds) when it has a plausible one;
    // none: drop the frame, it would go back in time or come too soon.
    std::optional<std::int64_t> place(std::optional<double> stamp);
    void deliver(const std::shared_ptr<VideoFrame>& frame);
    void reportDamaged(std::int64_t captureMicros);
    bool stopRequested() const { return stopRequested_.load(); }

    const CameraDevice device_;
    const std::int64_t fps_;
    std::string mode_;

private:
    void run();

    Sink sink_;
    CaptureTimeline timeline_;  // the reading thread's
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> capturing_{false};
    std::atomic<std::uint64_t> captured_{0};
};

// A libavdevice input with its decoder: what both sources read through.
struct LibavInput {
    InputContextPtr format;
    CodecContextPtr decoder;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
    int stream = -1;

    // Opens url with the input format and options, then the best video
    // stream's decoder; one of the open-error texts for `device` on failure.
    std::optional<std::string> open(const CameraDevice& device, const char* inputFormat,
                                    const std::string& url, DictionaryPtr options,
                                    bool nonBlocking);
    // "mjpeg 1280x720 30fps", from what the input reports (the asked rate
    // when it reports none).
    std::string mode(std::int64_t askedFps) const;
    // The packet's time on the source's own clock, microseconds.
    std::int64_t sourceMicros() const;
    // The same in seconds; none when the packet has no time.
    std::optional<double> stampSeconds() const;
    // Whether the packet just read holds a whole frame: not empty (a buffer
    // the driver flagged), and an MJPEG frame with its end marker.
    bool isWhole() const;
    // Decodes the packet just read; each picture is handed over without a copy.
    bool decode(const std::function<void(AVFrame& picture)>& take);
};

std::string cannotOpenText(const CameraDevice& device);
std::string cannotAddOutputText(const CameraDevice& device);

}  // namespace talvex
