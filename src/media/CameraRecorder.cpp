#include "media/CameraRecorder.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "core/Clock.h"
#include "core/Log.h"
#include "media/CameraDiscovery.h"
#include "media/DualCameraWriter.h"
#include "media/FfmpegPtr.h"
#include "media/SingleCameraWriter.h"
#include "media/SyntheticCameras.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace talvex {
namespace {

// A camera that sends nothing for this long counts as failed.
constexpr double kStallSeconds = 5.0;
// Frames waiting for the capture queue; beyond this the writer cannot keep up
// and a frame is dropped instead of piling up memory.
constexpr int kMaxBacklog = 8;

std::atomic<int> runningReaders{0};

std::int64_t nowMicros() {
    return std::llround(steadyNow() * 1e6);
}

}  // namespace

struct CameraRecorder::Input {
    InputContextPtr format;
    CodecContextPtr decoder;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
    int stream = -1;
    std::string devicePath;                    // empty for a synthetic camera
    std::optional<std::int64_t> sourceOffset;  // source clock to steady clock, microseconds
    // A synthetic camera's own clock: steady time of its source time 0, and
    // how late each frame may be handed over.
    std::optional<std::int64_t> syntheticOrigin;
    int jitterMicros = 0;
    std::minstd_rand random;

    std::int64_t sourceMicros(const AVPacket& packet) const;
    std::int64_t captureTime(const AVPacket& packet);
    void waitForCaptureInstant(const AVPacket& packet, const std::atomic<bool>& stop);
};

std::int64_t CameraRecorder::Input::sourceMicros(const AVPacket& packet) const {
    return av_rescale_q(packet.pts, format->streams[packet.stream_index]->time_base,
                        AVRational{1, 1'000'000});
}

// A synthetic graph makes frames as fast as they are read; like a camera's
// sensor, it hands each over when its own clock reaches it, a few
// milliseconds late when the timing has jitter.
void CameraRecorder::Input::waitForCaptureInstant(const AVPacket& packet,
                                                  const std::atomic<bool>& stop) {
    if (packet.pts == AV_NOPTS_VALUE) return;
    const std::int64_t source = sourceMicros(packet);
    if (!syntheticOrigin) syntheticOrigin = nowMicros() - source;
    std::int64_t due = *syntheticOrigin + source;
    if (jitterMicros > 0) due += static_cast<std::int64_t>(random() % jitterMicros);
    for (std::int64_t left = due - nowMicros(); left > 0 && !stop; left = due - nowMicros())
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::min<std::int64_t>(left, 20'000)));
}

namespace {

// Frames captured from the flash instant on, for 100 ms, turn white; the
// frame whose exposure holds the instant is the first.
void paintFlash(const std::string& id, std::int64_t captureMicros, AVFrame& frame,
                std::int64_t fps) {
    auto flash = SyntheticCameras::flashTime(id);
    if (!flash) return;
    const double at = captureMicros / 1e6 + 0.5 / static_cast<double>(fps);
    if (at < *flash || at >= *flash + 0.1 || frame.format != AV_PIX_FMT_YUV420P) return;
    if (av_frame_make_writable(&frame) < 0) return;
    for (int plane = 0; plane < 3; ++plane)
        for (int y = 0; y < (plane ? (frame.height + 1) / 2 : frame.height); ++y)
            std::memset(frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane],
                        plane ? 128 : 235, plane ? (frame.width + 1) / 2 : frame.width);
}

}  // namespace

// Frames keep the source's own timing (the driver's time stamps, the test
// pattern's frame clock), moved once onto the steady clock, so a reading
// thread that falls behind and catches up does not bunch the frames' times.
// The offset follows the fastest delivery seen, and starts over when the
// source clock jumps (a clock step, a restarted device).
std::int64_t CameraRecorder::Input::captureTime(const AVPacket& packet) {
    constexpr std::int64_t kMaxLagMicros = 500'000;
    std::int64_t now = nowMicros();
    if (packet.pts == AV_NOPTS_VALUE) return now;
    std::int64_t source = sourceMicros(packet);
    if (!sourceOffset || source + *sourceOffset > now ||
        now - (source + *sourceOffset) > kMaxLagMicros)
        sourceOffset = now - source;
    return source + *sourceOffset;
}

CameraRecorder::CameraRecorder(CameraDevice device, std::int64_t fps)
    : device_(std::move(device)), fps_(fps) {}

CameraRecorder::~CameraRecorder() {
    close();
    // Lets every frame already queued reach its writer before the queue goes.
    captureQueue_.reset();
    if (single_ && single_->isWriting()) single_->stopRecording();
}

int CameraRecorder::runningCaptures() {
    return runningReaders.load();
}

void CameraRecorder::setOnDisconnect(std::function<void(const CameraDevice&)> onDisconnect) {
    onDisconnect_ = std::move(onDisconnect);
}

std::optional<std::string> CameraRecorder::setup() {
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });
    if (auto error = openInput()) return error;
    captureQueue_ = std::make_unique<SerialQueue>("talvex.capture." + device_.id);
    capturing_ = true;
    ++runningReaders;
    reader_ = std::thread([this] {
        readLoop();
        --runningReaders;
    });
    return std::nullopt;
}

std::optional<std::string> CameraRecorder::openInput() {
    const std::string& name = device_.name;
    auto found = CameraDiscovery::findById(device_.id);
    if (!found) return "Device '" + name + "' not found";
    const std::string cannotOpen = "Cannot open input for '" + name + "'";
    const std::string cannotAddOutput = "Cannot add output for '" + name + "'";

    AVDictionary* rawOptions = nullptr;
    const AVInputFormat* format = nullptr;
    int jitterMicros = 0;
    std::string url;
    if (found->synthetic) {
        auto failure = SyntheticCameras::failure(device_.id);
        if (failure == SyntheticCameras::Failure::openInput) return cannotOpen;
        if (failure == SyntheticCameras::Failure::addOutput) return cannotAddOutput;
        format = av_find_input_format("lavfi");
        url = SyntheticCameras::filterGraph(*SyntheticCameras::find(device_.id), fps_);
        if (SyntheticCameras::timing() == SyntheticCameras::Timing::freeRunning)
            jitterMicros = SyntheticCameras::kMaxJitterMicros;
    } else {
        format = av_find_input_format("v4l2");
        url = found->devicePath;
        ModeChoice mode = CameraDiscovery::chooseMode(CameraDiscovery::captureModes(url), fps_);
        if (!mode.inputFormat.empty())
            av_dict_set(&rawOptions, "input_format", mode.inputFormat.c_str(), 0);
        if (mode.width > 0)
            av_dict_set(&rawOptions, "video_size",
                        (std::to_string(mode.width) + "x" + std::to_string(mode.height)).c_str(),
                        0);
        if (mode.askFrameRate)
            av_dict_set(&rawOptions, "framerate", std::to_string(fps_).c_str(), 0);
    }
    if (!format) {
        logLine("Talvex: no capture input in this FFmpeg build for '" + name + "'");
        av_dict_free(&rawOptions);
        return cannotOpen;
    }

    auto input = std::make_unique<Input>();
    input->devicePath = found->devicePath;
    input->jitterMicros = jitterMicros;
    input->random.seed(static_cast<std::uint32_t>(std::hash<std::string>()(device_.id)));
    AVFormatContext* context = avformat_alloc_context();
    // Non-blocking reads let close() end the reading thread even when a
    // camera stops sending frames.
    if (!found->synthetic) context->flags |= AVFMT_FLAG_NONBLOCK;
    int result = avformat_open_input(&context, url.c_str(), format, &rawOptions);
    DictionaryPtr leftover(rawOptions);
    if (result < 0) {
        logLine("Talvex: cannot open '" + name + "': " + ffmpegErrorText(result));
        return cannotOpen;
    }
    input->format.reset(context);
    for (const AVDictionaryEntry* e = nullptr;
         (e = av_dict_get(leftover.get(), "", e, AV_DICT_IGNORE_SUFFIX));)
        logLine("Talvex: capture option " + std::string(e->key) + "=" + e->value +
                " ignored for '" + name + "'");

    input->stream = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (input->stream < 0) return cannotAddOutput;
    const AVCodecParameters* parameters = context->streams[input->stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return cannotAddOutput;
    input->decoder.reset(avcodec_alloc_context3(codec));
    if (!input->decoder || avcodec_parameters_to_context(input->decoder.get(), parameters) < 0)
        return cannotAddOutput;
    if ((result = avcodec_open2(input->decoder.get(), codec, nullptr)) < 0) {
        logLine("Talvex: cannot decode '" + name + "': " + ffmpegErrorText(result));
        return cannotAddOutput;
    }
    if (!input->packet || !input->frame) return cannotAddOutput;
    input_ = std::move(input);
    return std::nullopt;
}

void CameraRecorder::readLoop() {
    Input& in = *input_;
    const bool synthetic = in.devicePath.empty();
    double lastFrameAt = steadyNow();
    while (!stopRequested_) {
        if (synthetic && !SyntheticCameras::find(device_.id))
            return lose("Talvex: disconnected: '" + device_.name + "'");
        if (steadyNow() - lastFrameAt > kStallSeconds)
            return lose("Talvex: session error for '" + device_.name +
                        "': no frame from the camera for " +
                        std::to_string(static_cast<int>(kStallSeconds)) + " s");
        int result = av_read_frame(in.format.get(), in.packet.get());
        if (result == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (result < 0) {
            bool gone = result == AVERROR(ENODEV) ||
                        (!synthetic && ::access(in.devicePath.c_str(), F_OK) != 0);
            return lose(gone ? "Talvex: disconnected: '" + device_.name + "'"
                             : "Talvex: session error for '" + device_.name +
                                   "': " + ffmpegErrorText(result));
        }
        if (synthetic &&
            SyntheticCameras::failure(device_.id) == SyntheticCameras::Failure::noFrames) {
            av_packet_unref(in.packet.get());
            continue;
        }
        if (synthetic) in.waitForCaptureInstant(*in.packet, stopRequested_);
        std::int64_t pts = in.captureTime(*in.packet);
        if (in.packet->stream_index == in.stream &&
            avcodec_send_packet(in.decoder.get(), in.packet.get()) >= 0) {
            // A damaged compressed frame is skipped; the next one decodes on its own.
            // The picture stays in the camera's own format: the writers
            // scale it straight into the encoder's picture.
            while (avcodec_receive_frame(in.decoder.get(), in.frame.get()) >= 0) {
                if (synthetic) paintFlash(device_.id, pts, *in.frame, fps_);
                deliver(VideoFrame::adopt(*in.frame, pts));
                lastFrameAt = steadyNow();
            }
        }
        av_packet_unref(in.packet.get());
    }
}

void CameraRecorder::deliver(VideoFramePtr frame) {
    ++captured_;
    slot_.offer(frame);
    if (backlog_.load() >= kMaxBacklog) {
        ++dropped_;
        return;
    }
    ++backlog_;
    captureQueue_->async([this, frame = std::move(frame)] {
        --backlog_;
        route(frame);
    });
}

void CameraRecorder::route(const VideoFramePtr& frame) {
    std::shared_ptr<DualCameraWriter> dual;
    std::int64_t index;
    {
        std::lock_guard lock(routeMutex_);
        dual = dualWriter_;
        index = dualCameraIndex_;
    }
    if (dual) {
        dual->appendFrame(frame, index);
        return;
    }
    if (single_ && single_->isWriting()) single_->appendFrame(frame);
}

void CameraRecorder::lose(const std::string& line) {
    logLine(line);
    capturing_ = false;
    // The movie of a lost camera is finished now, so it stays playable
    // whatever happens to the recorder afterwards.
    captureQueue_->async([this] {
        if (single_ && single_->isWriting()) single_->stopRecording();
    });
    if (!stopRequested_ && onDisconnect_) onDisconnect_(device_);
}

std::optional<RecordingError> CameraRecorder::startRecording(const std::string& path) {
    if (!captureQueue_) return RecordingError{"Talvex", 1, "Cannot add writer input"};
    auto writer = std::make_shared<SingleCameraWriter>(device_.name);
    if (auto error = writer->startRecording(path)) return error;
    // Handed over on the capture queue, so no frame sees a half-made writer.
    captureQueue_->async([this, writer] { single_ = writer; });
    return std::nullopt;
}

void CameraRecorder::stopRecording(std::function<void()> completion) {
    if (!captureQueue_) {
        completion();
        return;
    }
    captureQueue_->async([this, completion = std::move(completion)] {
        if (single_ && single_->isWriting()) {
            setDualWriter(nullptr);
            single_->stopRecording();
        }
        completion();
    });
}

std::optional<double> CameraRecorder::movieStartTime() const {
    return single_ ? single_->firstFrameTime() : std::nullopt;
}

void CameraRecorder::close() {
    stopRequested_ = true;
    if (reader_.joinable()) reader_.join();
    capturing_ = false;
    input_.reset();
    setDualWriter(nullptr);
}

void CameraRecorder::setDualCameraIndex(std::int64_t index) {
    std::lock_guard lock(routeMutex_);
    dualCameraIndex_ = index;
}

void CameraRecorder::setDualWriter(std::shared_ptr<DualCameraWriter> writer) {
    std::shared_ptr<DualCameraWriter> previous;
    {
        std::lock_guard lock(routeMutex_);
        previous = std::exchange(dualWriter_, std::move(writer));
    }
}

}  // namespace talvex
