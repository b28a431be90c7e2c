#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

// A capture device found on the machine, or a synthetic one.
struct DiscoveredCamera {
    std::string id;          // stable across runs and re-plugging (see stableCameraId)
    std::string systemName;  // the driver's card name
    std::string devicePath;  // "/dev/videoN"; empty for a synthetic camera
    bool synthetic = false;
    std::vector<std::string> legacyIds;  // what earlier versions stored it under
};

struct FrameRateRange {
    double minFps = 0;
    double maxFps = 0;
};

// One pixel format at one size, with the frame rates the device offers there.
struct CaptureMode {
    std::uint32_t pixelFormat = 0;  // V4L2 fourcc
    int width = 0;
    int height = 0;
    std::vector<FrameRateRange> rates;
};

// What to ask libavdevice's v4l2 input for. Empty fields are left to the device.
struct ModeChoice {
    std::string inputFormat;  // "yuyv422" or "mjpeg"
    int width = 0;
    int height = 0;
    bool askFrameRate = false;
};

class CameraDiscovery {
public:
    // Video capture nodes (no memory-to-memory, no metadata nodes) in device
    // order, then the synthetic cameras.
    static std::vector<DiscoveredCamera> devices();
    static std::optional<DiscoveredCamera> findById(const std::string& id);
    // A camera by its id, an id stored by an earlier version, its device path
    // or a /dev/v4l link to it, as a user may name it on the command line.
    static std::optional<DiscoveredCamera> find(const std::string& wanted);

    // The card names of the other cameras on the node's USB root port (the
    // same bus and first port number, so behind the same hub too): the ones
    // sharing its bandwidth. Empty when sysfs does not say.
    static std::vector<std::string> camerasSharingUsbPort(const std::string& devicePath);
    // Whether another program holds the node: it streams, so the driver
    // refuses us buffers (EBUSY). Asking for none leaves a free camera as it was.
    static bool isHeldElsewhere(const std::string& devicePath);

    // Every YUYV and MJPEG mode of the node; empty when it cannot be asked.
    static std::vector<CaptureMode> captureModes(const std::string& devicePath);

    // 1280x720, else the nearest larger size (else the largest); raw YUYV when
    // it reaches fps there, else MJPEG when that does. The rate is asked only
    // when a range of the chosen mode holds it; otherwise the camera keeps its own.
    static ModeChoice chooseMode(const std::vector<CaptureMode>& modes, std::int64_t fps);
};

}  // namespace talvex
