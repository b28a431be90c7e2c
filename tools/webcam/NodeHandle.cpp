#include "NodeHandle.h"

#include <fcntl.h>
#include <linux/media.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "CaptureControls.h"
#include "CaptureFormats.h"
#include "Emulator.h"

namespace webcam {
namespace {

constexpr int kNotMine = 1;                       // no kernel answer is positive
constexpr std::uint32_t kMetaBufferSize = 10240;  // UVC_METADATA_BUF_SIZE

std::atomic<std::uint64_t> nextSerial{1};

template <class T>
T& as(void* argument) {
    return *static_cast<T*>(argument);
}

}  // namespace

NodeHandle::NodeHandle(Emulator& emulator, NodeRef node, std::uint32_t generation, int fd,
                       const struct stat& status)
    : emulator_(emulator),
      camera_(node.camera),
      kind_(node.kind),
      generation_(generation),
      fd_(fd),
      serial_(nextSerial++),
      status_(status) {
    if (kind_ == NodeKind::capture) {
        queue_ = std::make_unique<CaptureQueue>(emulator, camera_, generation, fd);
    } else {
        std::uint64_t one = 1;  // never streaming: poll reports an error at once
        if (::write(fd, &one, sizeof one) != sizeof one) return;
    }
}

// Closing the file ends its stream and gives up its privileges, as the driver's release does.
NodeHandle::~NodeHandle() {
    if (queue_) queue_->streamOff();
    queue_.reset();
    releaseBandwidth();
    releasePrivileges();
}

bool NodeHandle::present() {
    return emulator_.present(camera_, generation_);
}

int NodeHandle::ioctl(unsigned long request, void* argument) {
    if (!argument) return -EFAULT;
    if (kind_ == NodeKind::media) return mediaIoctl(request, argument);
    if (kind_ == NodeKind::capture && request == VIDIOC_DQBUF)
        return dequeue(as<v4l2_buffer>(argument));
    if (!present()) return -ENODEV;
    if (kind_ == NodeKind::meta) return metaIoctl(request, argument);
    return captureIoctl(request, argument);
}

int NodeHandle::captureIoctl(unsigned long request, void* argument) {
    for (auto group : {&NodeHandle::infoIoctl, &NodeHandle::controlIoctl, &NodeHandle::configIoctl,
                       &NodeHandle::streamIoctl}) {
        int result = (this->*group)(request, argument);
        if (result != kNotMine) return result;
    }
    return -ENOTTY;
}

int NodeHandle::infoIoctl(unsigned long request, void* argument) {
    const CameraConfig& camera = emulator_.camera(camera_);
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    switch (request) {
        case VIDIOC_QUERYCAP:
            formats::queryCapability(camera, kind_, as<v4l2_capability>(argument));
            return 0;
        case VIDIOC_ENUM_FMT:
            return formats::enumFormat(camera, as<v4l2_fmtdesc>(argument));
        case VIDIOC_ENUM_FRAMESIZES:
            return formats::enumFrameSizes(camera, as<v4l2_frmsizeenum>(argument));
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return formats::enumFrameIntervals(camera, as<v4l2_frmivalenum>(argument));
        case VIDIOC_G_FMT:
            if (as<v4l2_format>(argument).type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            formats::current(state, as<v4l2_format>(argument));
            return 0;
        case VIDIOC_TRY_FMT:
            return formats::tryFormat(camera, as<v4l2_format>(argument));
        case VIDIOC_G_PARM:
            if (as<v4l2_streamparm>(argument).type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            formats::getParameters(state, as<v4l2_streamparm>(argument));
            return 0;
        case VIDIOC_ENUMINPUT:
            return formats::enumInput(as<v4l2_input>(argument));
        case VIDIOC_G_INPUT:
            as<int>(argument) = 0;
            return 0;
        case VIDIOC_G_PRIORITY:
            as<std::uint32_t>(argument) = V4L2_PRIORITY_DEFAULT;
            return 0;
        case VIDIOC_SUBSCRIBE_EVENT:
        case VIDIOC_UNSUBSCRIBE_EVENT:
            return as<v4l2_event_subscription>(argument).type == V4L2_EVENT_CTRL ? 0 : -EINVAL;
        case VIDIOC_DQEVENT:
            return -ENOENT;
    }
    return kNotMine;
}

int NodeHandle::controlIoctl(unsigned long request, void* argument) {
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    switch (request) {
        case VIDIOC_QUERYCTRL:
            return controls::query(as<v4l2_queryctrl>(argument));
        case VIDIOC_QUERY_EXT_CTRL:
            return controls::queryExtended(as<v4l2_query_ext_ctrl>(argument));
        case VIDIOC_QUERYMENU:
            return controls::queryMenu(as<v4l2_querymenu>(argument));
        case VIDIOC_G_CTRL:
            return controls::get(state, as<v4l2_control>(argument));
        case VIDIOC_S_CTRL:
            return controls::set(state, as<v4l2_control>(argument));
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return controls::extended(request, state, as<v4l2_ext_controls>(argument));
    }
    return kNotMine;
}

// Changing the format, rate or input takes the privileges and is refused
// while buffers exist or the stream runs.
int NodeHandle::configIoctl(unsigned long request, void* argument) {
    if (request != VIDIOC_S_FMT && request != VIDIOC_S_PARM && request != VIDIOC_S_INPUT &&
        request != VIDIOC_S_PRIORITY)
        return kNotMine;
    if (request == VIDIOC_S_PRIORITY) return 0;
    if (int result = acquirePrivileges(); result != 0) return result;
    if (request == VIDIOC_S_INPUT) return as<int>(argument) == 0 ? 0 : -EINVAL;
    if (request == VIDIOC_S_FMT ? queue_->allocated() : queue_->streaming()) return -EBUSY;
    const CameraConfig& camera = emulator_.camera(camera_);
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    if (request == VIDIOC_S_FMT)
        return formats::setFormat(camera, state, as<v4l2_format>(argument));
    return formats::setParameters(camera, state, as<v4l2_streamparm>(argument));
}

int NodeHandle::streamIoctl(unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_REQBUFS:
            return requestBuffers(as<v4l2_requestbuffers>(argument));
        case VIDIOC_QUERYBUF:
            return hasPrivileges() ? queue_->query(as<v4l2_buffer>(argument)) : -EBUSY;
        case VIDIOC_QBUF:
            return hasPrivileges() ? queue_->queue(as<v4l2_buffer>(argument)) : -EBUSY;
        case VIDIOC_STREAMON:
            return streamOn(as<std::uint32_t>(argument));
        case VIDIOC_STREAMOFF:
            return streamOff(as<std::uint32_t>(argument));
    }
    return kNotMine;
}

int NodeHandle::requestBuffers(v4l2_requestbuffers& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (int result = acquirePrivileges(); result != 0) return result;
    StreamFormat format;
    {
        SharedState::Lock lock(emulator_.shared());
        const CameraState& state = emulator_.shared().camera(camera_);
        format = {state.fourcc, state.width, state.height,
                  formats::frameBytes(state.fourcc, state.width, state.height), state.interval};
    }
    int result = queue_->request(request, format);
    if (result == 0 && request.count == 0) releasePrivileges();
    return result;
}

// The stream reserves its payload on the root port; a port that cannot carry
// it refuses, as the host controller does when the driver sets the interface.
int NodeHandle::streamOn(const std::uint32_t& type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    if (!hasPrivileges()) return -EBUSY;
    if (queue_->streaming()) return 0;
    if (!queue_->allocated()) return -EINVAL;
    const WebcamConfig& config = emulator_.config();
    const CameraConfig& camera = emulator_.camera(camera_);
    {
        SharedState::Lock lock(emulator_.shared());
        CameraState& state = emulator_.shared().camera(camera_);
        const std::uint32_t payload = camera.payload(state.fourcc);
        const std::uint32_t used =
            emulator_.shared().reservedOnRootPort(config, camera.rootPort(), camera_);
        if (used + payload > config.usbBudget) return -ENOSPC;
        state.streamerPid = ::getpid();
        state.reservedPayload = payload;
    }
    int result = queue_->streamOn();
    if (result != 0) releaseBandwidth();
    return result;
}

int NodeHandle::streamOff(const std::uint32_t& type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    if (!hasPrivileges()) return -EBUSY;
    queue_->streamOff();
    releaseBandwidth();
    return 0;
}

// After an unplug the buffers already flagged can still be taken, then none.
int NodeHandle::dequeue(v4l2_buffer& buffer) {
    const bool nonBlocking = ::fcntl(fd_, F_GETFL) & O_NONBLOCK;
    if (!present()) {
        if (!queue_->streaming()) return -ENODEV;
        queue_->awaitUnplugHandled();
        return queue_->dequeue(buffer, true);
    }
    if (!hasPrivileges()) return -EBUSY;
    return queue_->dequeue(buffer, nonBlocking);
}

int NodeHandle::metaIoctl(unsigned long request, void* argument) {
    const CameraConfig& camera = emulator_.camera(camera_);
    switch (request) {
        case VIDIOC_QUERYCAP:
            formats::queryCapability(camera, kind_, as<v4l2_capability>(argument));
            return 0;
        case VIDIOC_ENUM_FMT: {
            auto& description = as<v4l2_fmtdesc>(argument);
            if (description.type != V4L2_BUF_TYPE_META_CAPTURE || description.index != 0)
                return -EINVAL;
            description.pixelformat = V4L2_META_FMT_UVC;
            description.flags = 0;
            std::strcpy(reinterpret_cast<char*>(description.description),
                        "UVC Payload Header Metadata");
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            auto& format = as<v4l2_format>(argument);
            if (format.type != V4L2_BUF_TYPE_META_CAPTURE) return -EINVAL;
            format.fmt.meta = {V4L2_META_FMT_UVC, kMetaBufferSize};
            return 0;
        }
        case VIDIOC_REQBUFS:  // metadata streaming is not modelled
            return -EINVAL;
    }
    return -ENOTTY;
}

int NodeHandle::mediaIoctl(unsigned long request, void* argument) {
    if (request != MEDIA_IOC_DEVICE_INFO) return -ENOTTY;
    if (!present()) return -ENODEV;
    const CameraConfig& camera = emulator_.camera(camera_);
    auto& info = as<media_device_info>(argument);
    std::memset(&info, 0, sizeof info);
    std::strncpy(info.driver, "uvcvideo", sizeof info.driver - 1);
    std::strncpy(info.model, camera.cardName().c_str(), sizeof info.model - 1);
    std::strncpy(info.serial, camera.serial.c_str(), sizeof info.serial - 1);
    std::strncpy(info.bus_info, ("usb-" + camera.controller + "-" + camera.port).c_str(),
                 sizeof info.bus_info - 1);
    v4l2_capability capability{};
    formats::queryCapability(camera, NodeKind::capture, capability);
    info.media_version = info.driver_version = capability.version;
    return 0;
}

void* NodeHandle::mmap(void* address, std::size_t length, int protection, int flags, off_t offset) {
    if (!queue_ || !present()) {
        errno = queue_ ? ENODEV : EINVAL;
        return MAP_FAILED;
    }
    return queue_->map(address, length, protection, flags, offset);
}

short NodeHandle::pollEvents() {
    if (!queue_) return POLLERR;
    if (!present()) {
        if (!queue_->streaming()) return POLLERR | POLLHUP;
        queue_->awaitUnplugHandled();
    }
    return queue_->pollEvents();
}

int NodeHandle::acquirePrivileges() {
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    emulator_.shared().forgetDeadProcesses(state);
    if (state.holderPid == ::getpid() && state.holderHandle == serial_) return 0;
    if (state.holderPid != 0) return -EBUSY;
    state.holderPid = ::getpid();
    state.holderHandle = serial_;
    return 0;
}

bool NodeHandle::hasPrivileges() {
    SharedState::Lock lock(emulator_.shared());
    const CameraState& state = emulator_.shared().camera(camera_);
    return state.generation == generation_ && state.holderPid == ::getpid() &&
           state.holderHandle == serial_;
}

void NodeHandle::releasePrivileges() {
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    if (state.generation == generation_ && state.holderPid == ::getpid() &&
        state.holderHandle == serial_)
        state.holderPid = 0, state.holderHandle = 0;
}

void NodeHandle::releaseBandwidth() {
    if (!hasPrivileges()) return;
    SharedState::Lock lock(emulator_.shared());
    CameraState& state = emulator_.shared().camera(camera_);
    state.streamerPid = 0;
    state.reservedPayload = 0;
}

}  // namespace webcam
