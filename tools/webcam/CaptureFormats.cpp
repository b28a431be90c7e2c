#include "CaptureFormats.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace webcam::formats {
namespace {

constexpr std::uint32_t kDeviceCapture =
    V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
constexpr std::uint32_t kDeviceMeta =
    V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;

template <std::size_t N>
void copyText(__u8 (&to)[N], const std::string& text) {
    std::memset(to, 0, N);
    std::memcpy(to, text.data(), std::min(N - 1, text.size()));
}

std::uint32_t kernelVersion() {
    utsname name{};
    unsigned major = 6, minor = 1, patch = 0;
    if (::uname(&name) == 0) std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch);
    return (major << 16) | (minor << 8) | std::min(patch, 255u);
}

const Format* findFormat(const CameraConfig& camera, std::uint32_t fourcc) {
    for (const auto& format : camera.formats)
        if (format.fourcc == fourcc) return &format;
    return nullptr;
}

const FrameSize* findSize(const Format& format, std::uint32_t width, std::uint32_t height) {
    for (const auto& size : format.sizes)
        if (static_cast<std::uint32_t>(size.width) == width &&
            static_cast<std::uint32_t>(size.height) == height)
            return &size;
    return nullptr;
}

void describe(std::uint32_t fourcc, int width, int height, v4l2_pix_format& pix) {
    pix.width = static_cast<std::uint32_t>(width);
    pix.height = static_cast<std::uint32_t>(height);
    pix.pixelformat = fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? pix.width * 2 : 0;
    pix.sizeimage = frameBytes(fourcc, width, height);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    pix.flags = 0;
    pix.ycbcr_enc = V4L2_YCBCR_ENC_601;
    pix.quantization = V4L2_QUANTIZATION_DEFAULT;
    pix.xfer_func = V4L2_XFER_FUNC_SRGB;
}

}  // namespace

std::uint32_t frameBytes(std::uint32_t, int width, int height) {
    return static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) * 2;
}

void queryCapability(const CameraConfig& camera, NodeKind kind, v4l2_capability& capability) {
    std::memset(&capability, 0, sizeof capability);
    copyText(capability.driver, "uvcvideo");
    copyText(capability.card, camera.cardName());
    copyText(capability.bus_info, "usb-" + camera.controller + "-" + camera.port);
    capability.version = kernelVersion();
    capability.capabilities = kDeviceCapture | kDeviceMeta | V4L2_CAP_DEVICE_CAPS;
    capability.device_caps = kind == NodeKind::meta ? kDeviceMeta : kDeviceCapture;
}

int enumFormat(const CameraConfig& camera, v4l2_fmtdesc& description) {
    if (description.type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
        description.index >= camera.formats.size())
        return -EINVAL;
    const std::uint32_t fourcc = camera.formats[description.index].fourcc;
    const std::uint32_t index = description.index, type = description.type;
    std::memset(&description, 0, sizeof description);
    description.index = index;
    description.type = type;
    description.pixelformat = fourcc;
    description.flags = fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
    copyText(description.description, fourcc == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG" : "YUYV 4:2:2");
    return 0;
}

int enumFrameSizes(const CameraConfig& camera, v4l2_frmsizeenum& size) {
    const Format* format = findFormat(camera, size.pixel_format);
    if (!format || size.index >= format->sizes.size()) return -EINVAL;
    size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size.discrete.width = static_cast<std::uint32_t>(format->sizes[size.index].width);
    size.discrete.height = static_cast<std::uint32_t>(format->sizes[size.index].height);
    return 0;
}

int enumFrameIntervals(const CameraConfig& camera, v4l2_frmivalenum& interval) {
    const Format* format = findFormat(camera, interval.pixel_format);
    const FrameSize* size = format ? findSize(*format, interval.width, interval.height) : nullptr;
    if (!size || interval.index >= size->intervals.size()) return -EINVAL;
    interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    intervalToFraction(size->intervals[interval.index], interval.discrete.numerator,
                       interval.discrete.denominator);
    return 0;
}

void current(const CameraState& state, v4l2_format& format) {
    std::memset(&format.fmt, 0, sizeof format.fmt);
    describe(state.fourcc, state.width, state.height, format.fmt.pix);
}

// An unknown pixel format becomes the camera's first; the size is the
// nearest by uvcvideo's measure.
int tryFormat(const CameraConfig& camera, v4l2_format& format) {
    if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    const Format* chosen = findFormat(camera, format.fmt.pix.pixelformat);
    if (!chosen) chosen = &camera.formats.front();
    const FrameSize& size = nearestSize(*chosen, static_cast<int>(format.fmt.pix.width),
                                        static_cast<int>(format.fmt.pix.height));
    describe(chosen->fourcc, size.width, size.height, format.fmt.pix);
    return 0;
}

int setFormat(const CameraConfig& camera, CameraState& state, v4l2_format& format) {
    if (int result = tryFormat(camera, format); result != 0) return result;
    const Format* chosen = findFormat(camera, format.fmt.pix.pixelformat);
    const FrameSize* size = findSize(*chosen, format.fmt.pix.width, format.fmt.pix.height);
    state.fourcc = chosen->fourcc;
    state.width = size->width;
    state.height = size->height;
    state.interval = size->intervals.front();
    return 0;
}

void getParameters(const CameraState& state, v4l2_streamparm& parameters) {
    std::memset(&parameters.parm, 0, sizeof parameters.parm);
    parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    intervalToFraction(state.interval, parameters.parm.capture.timeperframe.numerator,
                       parameters.parm.capture.timeperframe.denominator);
}

int setParameters(const CameraConfig& camera, CameraState& state, v4l2_streamparm& parameters) {
    if (parameters.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    const v4l2_fract wanted = parameters.parm.capture.timeperframe;
    const Format* format = findFormat(camera, state.fourcc);
    const FrameSize* size = findSize(*format, state.width, state.height);
    state.interval =
        nearestInterval(*size, fractionToInterval(wanted.numerator, wanted.denominator));
    getParameters(state, parameters);
    return 0;
}

int enumInput(v4l2_input& input) {
    if (input.index != 0) return -EINVAL;
    std::memset(&input, 0, sizeof input);
    copyText(input.name, "Camera 1");
    input.type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

}  // namespace webcam::formats
