#include "media/CaptureSource.h"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <mutex>

#include "core/CameraTexts.h"
#include "core/Clock.h"
#include "core/Log.h"
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
// A source clock this far behind the steady clock has jumped.
constexpr std::int64_t kMaxLagMicros = 500'000;

std::atomic<int> runningSources{0};

std::int64_t nowMicros() {
    return std::llround(steadyNow() * 1e6);
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
    : device_(std::move(device)), fps_(fps) {}

CaptureSource::~CaptureSource() {
    // Subclasses stop before their device goes; this is the last guard.
    stop();
}

int CaptureSource::running() {
    return runningSources.load();
}

void CaptureSource::start(Sink sink) {
    sink_ = std::move(sink);
    capturing_ = true;
    ++runningSources;
    thread_ = std::thread([this] {
        run();
        --runningSources;
    });
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

void CaptureSource::deliver(const std::shared_ptr<VideoFrame>& frame) {
    frame->sequence = ++captured_;
    if (sink_.frame) sink_.frame(frame);
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
        // An errno names the usual causes (another program, USB bandwidth, unplugged).
        const bool isErrno = result > -4096;
        logLine("Talvex: " +
                (isErrno ? cameraStartError(-result, CameraStep::start, device.name)
                         : "cannot open '" + device.name + "': " + ffmpegErrorText(result)));
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
    const long fps = rate.num && rate.den ? std::lround(av_q2d(rate)) : askedFps;
    return kind + " " + std::to_string(parameters->width) + "x" +
           std::to_string(parameters->height) + " " + std::to_string(fps) + "fps";
}

std::int64_t LibavInput::sourceMicros() const {
    return av_rescale_q(packet->pts, format->streams[packet->stream_index]->time_base,
                        kMicroseconds);
}

// Frames keep the source's own timing (the driver's time stamps, the test
// pattern's frame clock), moved once onto the steady clock, so a reading
// thread that falls behind and catches up does not bunch the frames' times.
// The offset follows the fastest delivery seen, and starts over when the
// source clock jumps (a clock step, a restarted device).
std::int64_t LibavInput::captureTime() {
    const std::int64_t now = nowMicros();
    if (packet->pts == AV_NOPTS_VALUE) return now;
    const std::int64_t source = sourceMicros();
    if (!sourceOffset || source + *sourceOffset > now ||
        now - (source + *sourceOffset) > kMaxLagMicros)
        sourceOffset = now - source;
    return source + *sourceOffset;
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
