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
// A non-blocking read with nothing ready is tried again after this.
constexpr auto kRetryAfterNothing = std::chrono::milliseconds(2);
// The longest single sleep while a synthetic frame waits for its instant,
// so a close is noticed quickly.
constexpr std::int64_t kMaxWaitSliceMicros = 20'000;
// A synthetic camera's flash: white from its instant on for this long.
constexpr double kFlashSeconds = 0.1;
constexpr int kWhiteLuma = 235;
constexpr int kNeutralChroma = 128;
// A source clock this far behind the steady clock has jumped.
constexpr std::int64_t kMaxLagMicros = 500'000;

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
    return av_rescale_q(packet.pts, format->streams[packet.stream_index]->time_base, kMicroseconds);
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
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(left, kMaxWaitSliceMicros)));
}

namespace {

// Frames captured from the flash instant on, for kFlashSeconds, turn white; the
// frame whose exposure holds the instant is the first.
void paintFlash(const std::string& id, std::int64_t captureMicros, AVFrame& frame,
                std::int64_t fps) {
    auto flash = SyntheticCameras::flashTime(id);
    if (!flash) return;
    const double at = captureMicros / 1e6 + 0.5 / static_cast<double>(fps);
    if (at < *flash || at >= *flash + kFlashSeconds || frame.format != AV_PIX_FMT_YUV420P) return;
    if (av_frame_make_writable(&frame) < 0) return;
    for (int plane = 0; plane < 3; ++plane)
        for (int y = 0; y < (plane ? (frame.height + 1) / 2 : frame.height); ++y)
            std::memset(frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane],
                        plane ? kNeutralChroma : kWhiteLuma,
                        plane ? (frame.width + 1) / 2 : frame.width);
}

}  // namespace

// Frames keep the source's own timing (the driver's time stamps, the test
// pattern's frame clock), moved once onto the steady clock, so a reading
// thread that falls behind and catches up does not bunch the frames' times.
// The offset follows the fastest delivery seen, and starts over when the
// source clock jumps (a clock step, a restarted device).
std::int64_t CameraRecorder::Input::captureTime(const AVPacket& packet) {
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

namespace {

std::string cannotOpenText(const CameraDevice& device) {
    return "Cannot open input for '" + device.name + "'";
}

std::string cannotAddOutputText(const CameraDevice& device) {
    return "Cannot add output for '" + device.name + "'";
}

// What to open a camera with: the libavdevice input, its URL and options.
struct CaptureSource {
    const AVInputFormat* format = nullptr;
    std::string url;
    DictionaryPtr options;
    int jitterMicros = 0;
    // Non-blocking reads let close() end the reading thread even when a
    // camera stops sending frames.
    bool nonBlocking = false;
};

// A synthetic camera is a lavfi graph; its injected failures give the open
// errors a real camera would.
std::optional<std::string> syntheticSource(const CameraDevice& device, std::int64_t fps,
                                           CaptureSource& source) {
    auto failure = SyntheticCameras::failure(device.id);
    if (failure == SyntheticCameras::Failure::openInput) return cannotOpenText(device);
    if (failure == SyntheticCameras::Failure::addOutput) return cannotAddOutputText(device);
    source.format = av_find_input_format("lavfi");
    source.url = SyntheticCameras::filterGraph(*SyntheticCameras::find(device.id), fps);
    if (SyntheticCameras::timing() == SyntheticCameras::Timing::freeRunning)
        source.jitterMicros = SyntheticCameras::kMaxJitterMicros;
    return std::nullopt;
}

void deviceSource(const std::string& devicePath, std::int64_t fps, CaptureSource& source) {
    source.format = av_find_input_format("v4l2");
    source.url = devicePath;
    source.nonBlocking = true;
    ModeChoice mode = CameraDiscovery::chooseMode(CameraDiscovery::captureModes(devicePath), fps);
    if (!mode.inputFormat.empty()) setOption(source.options, "input_format", mode.inputFormat);
    if (mode.width > 0)
        setOption(source.options, "video_size",
                  std::to_string(mode.width) + "x" + std::to_string(mode.height));
    if (mode.askFrameRate) setOption(source.options, "framerate", std::to_string(fps));
}

// Opens the input; an option the device did not take is only logged.
std::optional<std::string> openSource(const CameraDevice& device, CaptureSource& source,
                                      InputContextPtr& opened) {
    AVFormatContext* context = avformat_alloc_context();
    if (!context) return cannotOpenText(device);
    if (source.nonBlocking) context->flags |= AVFMT_FLAG_NONBLOCK;
    int result = callWithOptions(source.options, [&](AVDictionary** options) {
        return avformat_open_input(&context, source.url.c_str(), source.format, options);
    });
    if (result < 0) {
        logLine("Talvex: cannot open '" + device.name + "': " + ffmpegErrorText(result));
        return cannotOpenText(device);
    }
    opened.reset(context);
    for (const auto& [key, value] : optionEntries(source.options.get()))
        logLine("Talvex: capture option " + key + "=" + value + " ignored for '" + device.name +
                "'");
    return std::nullopt;
}

// The best video stream and a decoder for it.
std::optional<std::string> openDecoder(const CameraDevice& device, CameraRecorder::Input& input) {
    input.stream = av_find_best_stream(input.format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (input.stream < 0) return cannotAddOutputText(device);
    const AVCodecParameters* parameters = input.format->streams[input.stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return cannotAddOutputText(device);
    input.decoder.reset(avcodec_alloc_context3(codec));
    if (!input.decoder || avcodec_parameters_to_context(input.decoder.get(), parameters) < 0)
        return cannotAddOutputText(device);
    if (int result = avcodec_open2(input.decoder.get(), codec, nullptr); result < 0) {
        logLine("Talvex: cannot decode '" + device.name + "': " + ffmpegErrorText(result));
        return cannotAddOutputText(device);
    }
    if (!input.packet || !input.frame) return cannotAddOutputText(device);
    return std::nullopt;
}

}  // namespace

// Device, source, open, decoder: the first step that fails gives the error text.
std::optional<std::string> CameraRecorder::openInput() {
    auto found = CameraDiscovery::findById(device_.id);
    if (!found) return "Device '" + device_.name + "' not found";
    CaptureSource source;
    if (found->synthetic) {
        if (auto error = syntheticSource(device_, fps_, source)) return error;
    } else {
        deviceSource(found->devicePath, fps_, source);
    }
    if (!source.format) {
        logLine("Talvex: no capture input in this FFmpeg build for '" + device_.name + "'");
        return cannotOpenText(device_);
    }
    auto input = std::make_unique<Input>();
    input->devicePath = found->devicePath;
    input->jitterMicros = source.jitterMicros;
    input->random.seed(static_cast<std::uint32_t>(std::hash<std::string>()(device_.id)));
    if (auto error = openSource(device_, source, input->format)) return error;
    if (auto error = openDecoder(device_, *input)) return error;
    input_ = std::move(input);
    return std::nullopt;
}

// Why the camera counts as lost before the next read, if it does.
std::optional<std::string> CameraRecorder::lossBeforeRead(double lastFrameAt) const {
    if (input_->devicePath.empty() && !SyntheticCameras::find(device_.id))
        return "Talvex: disconnected: '" + device_.name + "'";
    if (steadyNow() - lastFrameAt > kStallSeconds)
        return "Talvex: session error for '" + device_.name + "': no frame from the camera for " +
               std::to_string(static_cast<int>(kStallSeconds)) + " s";
    return std::nullopt;
}

std::string CameraRecorder::readErrorLine(int result) const {
    const std::string& path = input_->devicePath;
    bool gone = result == AVERROR(ENODEV) || (!path.empty() && ::access(path.c_str(), F_OK) != 0);
    return gone ? "Talvex: disconnected: '" + device_.name + "'"
                : "Talvex: session error for '" + device_.name + "': " + ffmpegErrorText(result);
}

void CameraRecorder::readLoop() {
    Input& in = *input_;
    double lastFrameAt = steadyNow();
    while (!stopRequested_) {
        if (auto loss = lossBeforeRead(lastFrameAt)) return lose(*loss);
        int result = av_read_frame(in.format.get(), in.packet.get());
        if (result == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(kRetryAfterNothing);
            continue;
        }
        if (result < 0) return lose(readErrorLine(result));
        if (decodePacket()) lastFrameAt = steadyNow();
        av_packet_unref(in.packet.get());
    }
}

// Decodes the packet just read and delivers its pictures; true when there
// was one. A damaged compressed frame is skipped; the next one decodes on
// its own. The picture stays in the camera's own format: the writers scale
// it straight into the encoder's picture.
bool CameraRecorder::decodePacket() {
    Input& in = *input_;
    const bool synthetic = in.devicePath.empty();
    if (synthetic && SyntheticCameras::failure(device_.id) == SyntheticCameras::Failure::noFrames)
        return false;
    if (synthetic) in.waitForCaptureInstant(*in.packet, stopRequested_);
    const std::int64_t pts = in.captureTime(*in.packet);
    if (in.packet->stream_index != in.stream ||
        avcodec_send_packet(in.decoder.get(), in.packet.get()) < 0)
        return false;
    bool delivered = false;
    while (avcodec_receive_frame(in.decoder.get(), in.frame.get()) >= 0) {
        if (synthetic) paintFlash(device_.id, pts, *in.frame, fps_);
        deliver(VideoFrame::adopt(*in.frame, pts));
        delivered = true;
    }
    return delivered;
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
        if (single_ && single_->isWriting()) unreported_ = single_->stopRecording();
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

void CameraRecorder::stopRecording(StopDone completion) {
    if (!captureQueue_) {
        completion(std::nullopt);
        return;
    }
    captureQueue_->async([this, completion = std::move(completion)] {
        if (single_ && single_->isWriting()) {
            setDualWriter(nullptr);
            unreported_ = single_->stopRecording();
        }
        completion(std::exchange(unreported_, std::nullopt));
    });
}

std::optional<double> CameraRecorder::movieStartTime() const {
    return single_ ? single_->firstFrameTime() : std::nullopt;
}

std::int64_t CameraRecorder::movieFramesWritten() const {
    return single_ ? single_->framesWritten() : 0;
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
