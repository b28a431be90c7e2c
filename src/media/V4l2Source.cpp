#include "media/V4l2Source.h"

#include <unistd.h>

#include "media/CameraDiscovery.h"

namespace talvex {

V4l2Source::V4l2Source(const CameraDevice& device, std::int64_t fps, std::string devicePath)
    : CaptureSource(device, fps), devicePath_(std::move(devicePath)) {}

V4l2Source::~V4l2Source() {
    stop();  // the reading thread uses the input
}

std::optional<std::string> V4l2Source::openDevice() {
    DictionaryPtr options;
    ModeChoice mode = CameraDiscovery::chooseMode(CameraDiscovery::captureModes(devicePath_), fps_);
    if (!mode.inputFormat.empty()) setOption(options, "input_format", mode.inputFormat);
    if (mode.width > 0)
        setOption(options, "video_size",
                  std::to_string(mode.width) + "x" + std::to_string(mode.height));
    if (mode.askFrameRate) setOption(options, "framerate", std::to_string(fps_));
    if (auto error = input_.open(device_, "v4l2", devicePath_, std::move(options), true))
        return error;
    mode_ = input_.mode(fps_);
    return std::nullopt;
}

CaptureSource::Read V4l2Source::read() {
    const int result = av_read_frame(input_.format.get(), input_.packet.get());
    if (result == AVERROR(EAGAIN)) return {Read::Kind::later, {}};
    if (result < 0) return {Read::Kind::lost, readErrorLine(result)};
    // The packet's time is the buffer's stamp: the start of the frame on
    // the steady clock, whenever the reading thread got to it.
    const auto captured = place(input_.stampSeconds());
    if (!captured) {
        av_packet_unref(input_.packet.get());
        return {Read::Kind::none, {}};
    }
    // A flagged buffer comes as an empty packet, a frame cut short on the bus
    // without its end marker; neither may reach a movie or the preview.
    const bool any = input_.isWhole() && input_.decode([&](AVFrame& picture) {
        deliver(VideoFrame::adopt(picture, *captured));
    });
    if (!any) reportDamaged(*captured);
    av_packet_unref(input_.packet.get());
    return {Read::Kind::delivered, {}};
}

std::string V4l2Source::readErrorLine(int result) const {
    const bool gone = result == AVERROR(ENODEV) || ::access(devicePath_.c_str(), F_OK) != 0;
    return gone ? "Talvex: disconnected: '" + device_.name + "'"
                : "Talvex: session error for '" + device_.name + "': " + ffmpegErrorText(result);
}

}  // namespace talvex
