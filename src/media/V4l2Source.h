#pragma once

#include <string>

#include "media/CaptureSource.h"

namespace talvex {

// A V4L2 camera read through libavdevice's v4l2 input, in the mode
// CameraDiscovery chooses for the asked rate. Frames carry the driver's
// capture time stamps moved onto the steady clock.
class V4l2Source : public CaptureSource {
public:
    V4l2Source(const CameraDevice& device, std::int64_t fps, std::string devicePath);
    ~V4l2Source() override;

protected:
    std::optional<std::string> openDevice() override;
    Read read() override;

private:
    std::string readErrorLine(int result) const;

    const std::string devicePath_;
    LibavInput input_;
};

}  // namespace talvex
