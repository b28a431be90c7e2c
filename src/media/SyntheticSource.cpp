#include "media/SyntheticSource.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "core/Clock.h"
#include "media/SyntheticCameras.h"

namespace talvex {

namespace {

// The longest single sleep while a frame waits for its instant, so a stop is
// noticed quickly; also the pause of a camera that sends nothing.
constexpr std::int64_t kMaxWaitSliceMicros = 20'000;
// A frame whose instant passed longer ago than this was held up (the
// reading thread or the graph stalled): the camera's clock moves on to now,
// leaving a gap as a real camera's lost frames do, never a burst.
constexpr std::int64_t kMaxLateMicros = 500'000;
// The flash: white from its instant on for this long.
constexpr double kFlashSeconds = 0.1;
constexpr int kWhiteLuma = 235;
constexpr int kNeutralChroma = 128;

std::int64_t nowMicros() {
    return std::llround(steadyNow() * 1e6);
}

}  // namespace

SyntheticSource::SyntheticSource(const CameraDevice& device, std::int64_t fps)
    : CaptureSource(device, fps),
      random_(static_cast<std::uint32_t>(std::hash<std::string>()(device.id))) {}

SyntheticSource::~SyntheticSource() {
    stop();  // the reading thread uses the input
}

// The injected failures give the open errors a real camera would.
std::optional<std::string> SyntheticSource::openDevice() {
    const auto failure = SyntheticCameras::failure(device_.id);
    if (failure == SyntheticCameras::Failure::openInput) return cannotOpenText(device_);
    if (failure == SyntheticCameras::Failure::addOutput) return cannotAddOutputText(device_);
    auto camera = SyntheticCameras::find(device_.id);
    if (!camera) return "Device '" + device_.name + "' not found";
    if (SyntheticCameras::timing() == SyntheticCameras::Timing::freeRunning)
        jitterMicros_ = SyntheticCameras::kMaxJitterMicros;
    if (auto error = input_.open(device_, "lavfi", SyntheticCameras::filterGraph(*camera, fps_),
                                 nullptr, false))
        return error;
    mode_ = input_.mode(fps_);
    return std::nullopt;
}

CaptureSource::Read SyntheticSource::read() {
    if (!SyntheticCameras::find(device_.id))
        return {Read::Kind::lost, "Talvex: disconnected: '" + device_.name + "'"};
    if (SyntheticCameras::failure(device_.id) == SyntheticCameras::Failure::noFrames) {
        std::this_thread::sleep_for(std::chrono::microseconds(kMaxWaitSliceMicros));
        return {Read::Kind::none, {}};
    }
    const int result = av_read_frame(input_.format.get(), input_.packet.get());
    if (result < 0)
        return {Read::Kind::lost,
                "Talvex: session error for '" + device_.name + "': " + ffmpegErrorText(result)};
    const auto instant = captureInstant();
    if (instant) waitForDelivery(*instant);
    const auto captured = place(instant ? std::optional(*instant / 1e6) : std::nullopt);
    const bool any = captured && input_.decode([&](AVFrame& picture) {
        paintFlash(*captured, picture);
        deliver(VideoFrame::adopt(picture, *captured));
    });
    av_packet_unref(input_.packet.get());
    return {any ? Read::Kind::delivered : Read::Kind::none, {}};
}

// The packet's instant on the camera's own clock, in steady microseconds.
std::optional<std::int64_t> SyntheticSource::captureInstant() {
    if (input_.packet->pts == AV_NOPTS_VALUE) return std::nullopt;
    const std::int64_t source = input_.sourceMicros();
    const std::int64_t now = nowMicros();
    if (!origin_ || now - (*origin_ + source) > kMaxLateMicros) origin_ = now - source;
    return *origin_ + source;
}

// The graph makes frames as fast as they are read; like a camera's sensor,
// the source hands each over when its own clock reaches it.
void SyntheticSource::waitForDelivery(std::int64_t captureMicros) {
    std::int64_t due = captureMicros;
    if (jitterMicros_ > 0) due += static_cast<std::int64_t>(random_() % jitterMicros_);
    for (std::int64_t left = due - nowMicros(); left > 0 && !stopRequested();
         left = due - nowMicros())
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(left, kMaxWaitSliceMicros)));
}

// Frames captured from the flash instant on, for kFlashSeconds, turn white;
// the frame whose exposure holds the instant is the first.
void SyntheticSource::paintFlash(std::int64_t captureMicros, AVFrame& picture) const {
    auto flash = SyntheticCameras::flashTime(device_.id);
    if (!flash) return;
    const double at = captureMicros / 1e6 + 0.5 / static_cast<double>(fps_);
    if (at < *flash || at >= *flash + kFlashSeconds || picture.format != AV_PIX_FMT_YUV420P) return;
    if (av_frame_make_writable(&picture) < 0) return;
    for (int plane = 0; plane < 3; ++plane)
        for (int y = 0; y < (plane ? (picture.height + 1) / 2 : picture.height); ++y)
            std::memset(
                picture.data[plane] + static_cast<std::ptrdiff_t>(y) * picture.linesize[plane],
                plane ? kNeutralChroma : kWhiteLuma,
                plane ? (picture.width + 1) / 2 : picture.width);
}

}  // namespace talvex
