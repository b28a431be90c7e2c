#pragma once

#include <random>
#include <string>

#include "media/CaptureSource.h"

namespace talvex {

// A synthetic test-pattern camera (SyntheticCameras): a lavfi graph read
// like a device, handed over on the camera's own clock, a few milliseconds
// late under free-running timing, as a sensor does. Everything a test asks
// of a camera lives here: unplugging, failing to open, sending nothing, and
// a white flash at a chosen instant to find in the movie.
class SyntheticSource : public CaptureSource {
public:
    SyntheticSource(const CameraDevice& device, std::int64_t fps);
    ~SyntheticSource() override;

protected:
    std::optional<std::string> openDevice() override;
    Read read() override;

private:
    std::optional<std::int64_t> captureInstant();
    void waitForDelivery(std::int64_t captureMicros);
    void paintFlash(std::int64_t captureMicros, AVFrame& picture) const;

    LibavInput input_;
    // The camera's own clock: steady time of its source time 0, and how
    // late after its capture instant each frame may be handed over.
    std::optional<std::int64_t> origin_;
    int jitterMicros_ = 0;
    std::minstd_rand random_;
};

}  // namespace talvex
