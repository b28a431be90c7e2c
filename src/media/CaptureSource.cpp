#include "media/CaptureSource.h"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <mutex>

#include "core/CameraTexts.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/MjpegFrame.h"
#include "media/CameraDiscovery.h"
#include "media/SyntheticSource.h"
#include "media/V4l2Source.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/pixdesc.h>
}

namespace talvex {

namespace {

// A camera that sends nothing for this long counts as failed.
constexpr double kStallSeconds = 5.0;
// A non-blocking read with nothing ready is tried again after this.
constexpr auto kRetryAfterNothing = std::chrono::milliseconds(2);
// FFmpeg's results for an errno are its negation; its own codes lie beyond.
constexpr int kMaxErrno = 4096;
// The rate assumed for spacing frames when none was asked.
constexpr double kDefaultFps = 30;

// Why the input did not open, as the user can act on it: libavdevice's v4l2
// input opens, sets the format, asks for buffers and starts the stream in one
// call that gives only the errno (ENOSPC: the USB bandwidth of the camera's
// port; EBUSY: another program; ENODEV: unplugged).
std::string startErrorText(const CameraDevice& device, const std::string& url, int result) {
    if (result <= -kMaxErrno)
        return "cannot open '" + device.name + "': " + ffmpegErrorText(result);
    const bool node = url.rfind("/dev/", 0) == 0;
    return cameraStartError(-result, CameraStep::start, device.name,
                            node && result == AVERROR(ENOSPC)
                                ? CameraDiscovery::camerasSharingUsbPort(url)
                                : std::vector<std::string>{});
}

}  // namespace

std::string cannotOpenText(const CameraDevice& device) {
    return "Cannot open input for '" + device.name + "'";
}

std::string cannotAddOutputText(const CameraDevice& device) {
    return "Cannot add output for '" + device.name + "'";
}

std::unique_ptr<CaptureSource> CaptureSource::open(const CameraDevice& device, std::int64_t fps,
                                                   std::string& error) {
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });
    auto found = CameraDiscovery::findById(device.id);
    if (!found) {
        error = "Device '" + device.name + "' not found";
        return nullptr;
    }
    std::unique_ptr<CaptureSource> source;
    if (found->synthetic)
        source = std::make_unique<SyntheticSource>(device, fps);
    else
        source = std::make_unique<V4l2Source>(device, fps, found->devicePath);
    if (auto failure = source->openDevice()) {
        error = *failure;
        return nullptr;
    }
    return source;
}

CaptureSource::CaptureSource(CameraDevice device, std::int64_t fps)
    : device_(std::move(device)),
      fps_(fps),
      timeline_(1 / (fps > 0 ? static_cast<double>(fps) : kDefaultFps)) {}

CaptureSource::~CaptureSource() {
    // Subclasses stop before their device goes; this is the last guard.
    stop();
}

void CaptureSource::start(Sink sink) {
    sink_ = std::move(sink);
    capturing_ = true;
    thread_ = std::thread([this] { run(); });
    // Thread names are limited to 15 bytes; keep the distinctive end.
    const std::string label = "talvex.device." + device_.id;
    const std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

void CaptureSource::stop() {
    stopRequested_ = true;
    if (thread_.joinable()) thread_.join();
    capturing_ = false;
}

void CaptureSource::run() {
    double lastFrameAt = steadyNow();
    while (!stopRequested_) {
        Read step;
        if (steadyNow() - lastFrameAt > kStallSeconds)
            step = {Read::Kind::lost, "Talvex: session error for '" + device_.name +
                                          "': no frame from the camera for " +
                                          std::to_string(static_cast<int>(kStallSeconds)) + " s"};
        else
            step = read();
        if (step.kind == Read::Kind::lost) {
            capturing_ = false;
            if (sink_.lost) sink_.lost(step.lostLine);
            return;
        }
        if (step.kind == Read::Kind::delivered) lastFrameAt = steadyNow();
        if (step.kind == Read::Kind::later) std::this_thread::sleep_for(kRetryAfterNothing);
    }
}

std::optional<std::int64_t> CaptureSource::place(std::optional<double> stamp) {
    auto at = timeline_.place(stamp, steadyNow());
    if (!at) return std::nullopt;
    return std::llround(*at * 1e6);
}

void CaptureSource::deliver(const std::shared_ptr<VideoFrame>& frame) {
    frame->sequence = ++captured_;
    if (sink_.frame) sink_.frame(frame);
}

void CaptureSource::reportDamaged(std::int64_t captureMicros) {
    if (sink_.damaged) sink_.damaged(captureMicros);
}

std::optional<std::string> LibavInput::open(const CameraDevice& device, const char* inputFormat,
                                            const std::string& url, DictionaryPtr options,
                                            bool nonBlocking) {
    const AVInputFormat* input = av_find_input_format(inputFormat);
    if (!input) {
        logLine("Talvex: no capture input in this FFmpeg build for '" + device.name + "'");
        return cannotOpenText(device);
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context) return cannotOpenText(device);
    // Non-blocking reads let a close end the reading thread even when a
    // camera stops sending frames.
    if (nonBlocking) context->flags |= AVFMT_FLAG_NONBLOCK;
    int result = callWithOptions(options, [&](AVDictionary** raw) {
        return avformat_open_input(&context, url.c_str(), input, raw);
    });
    if (result < 0) {
        logLine("Talvex: " + startErrorText(device, url, result));
        return cannotOpenText(device);
    }
    format.reset(context);
    for (const auto& [key, value] : optionEntries(options.get()))
        logLine("Talvex: capture option " + key + "=" + value + " ignored for '" + device.name +
                "'");
    stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return cannotAddOutputText(device);
    const AVCodecParameters* parameters = format->streams[stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return cannotAddOutputText(device);
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
        return cannotAddOutputText(device);
    if (result = avcodec_open2(decoder.get(), codec, nullptr); result < 0) {
        logLine("Talvex: cannot decode '" + device.name + "': " + ffmpegErrorText(result));
        return cannotAddOutputText(device);
    }
    if (!packet || !frame) return cannotAddOutputText(device);
    return std::nullopt;
}

std::string LibavInput::mode(std::int64_t askedFps) const {
    AVStream* video = format->streams[stream];
    const AVCodecParameters* parameters = video->codecpar;
    const char* pixels = av_get_pix_fmt_name(static_cast<AVPixelFormat>(parameters->format));
    std::string kind = parameters->codec_id == AV_CODEC_ID_RAWVIDEO && pixels
                           ? pixels
                           : avcodec_get_name(parameters->codec_id);
    const AVRational rate = av_guess_frame_rate(format.get(), video, nullptr);
    const double fps = rate.num && rate.den ? av_q2d(rate) : static_cast<double>(askedFps);
    return cameraModeText(kind, parameters->width, parameters->height, fps);
}

std::int64_t LibavInput::sourceMicros() const {
    return av_rescale_q(packet->pts, format->streams[packet->stream_index]->time_base,
                        kMicroseconds);
}

std::optional<double> LibavInput::stampSeconds() const {
    if (packet->pts == AV_NOPTS_VALUE) return std::nullopt;
    return static_cast<double>(sourceMicros()) / 1e6;
}

bool LibavInput::isWhole() const {
    if (packet->size <= 0) return false;
    return decoder->codec_id != AV_CODEC_ID_MJPEG ||
           mjpegFrameIsWhole({packet->data, static_cast<std::size_t>(packet->size)});
}

// A damaged compressed frame is skipped; the next one decodes on its own.
// The picture stays in the camera's own format: the movies scale it
// straight into the encoder's picture.
bool LibavInput::decode(const std::function<void(AVFrame& picture)>& take) {
    if (packet->stream_index != stream || avcodec_send_packet(decoder.get(), packet.get()) < 0)
        return false;
    bool any = false;
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
        take(*frame);
        any = true;
    }
    return any;
}

}  // namespace talvex
