#pragma once

// What the kernel and udev make for a plugged webcam, inside the runner's
// private mount namespace: /dev/videoN (capture), /dev/videoN+1 (metadata),
// /dev/mediaM, the /dev/v4l/by-id and by-path links, and the sysfs entries
// under /sys/class/video4linux and /sys/bus/usb/devices.

#include <sys/types.h>

#include <optional>

#include "Config.h"
#include "SharedState.h"

namespace webcam {

inline constexpr int kVideoMajor = 81;
inline constexpr int kMediaMajor = 237;

enum class NodeKind { capture, meta, media };

struct NodeRef {
    int camera = -1;
    NodeKind kind = NodeKind::capture;
};

// Both take the shared lock themselves.
void plugCamera(const WebcamConfig& config, SharedState& shared, int camera);
void unplugCamera(const WebcamConfig& config, SharedState& shared, int camera);

// The plugged camera node with this device number (caller holds the lock).
std::optional<NodeRef> nodeForDevice(SharedState& shared, int cameraCount, dev_t device);

}  // namespace webcam
