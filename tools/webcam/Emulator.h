#pragma once

// The preloaded library's view of the run: the configuration, the shared
// state and the truth log, made on first use from the runner's environment.

#include <cstdint>
#include <memory>

#include "Config.h"
#include "SharedState.h"
#include "TruthLog.h"

namespace webcam {

class Emulator {
public:
    // Nothing when the process does not run under with-webcams.
    static Emulator* instance();

    const WebcamConfig& config() const { return config_; }
    const CameraConfig& camera(int index) const { return config_.cameras[index]; }
    SharedState& shared() { return *shared_; }
    TruthLog& truth() { return truth_; }

    // Whether the camera is still the device that was opened (no unplug since).
    bool present(int camera, std::uint32_t generation);
    // Unplugs a camera from inside a stream (a configured "unplug_at = frame N").
    void unplugFromStream(int camera);

private:
    Emulator(WebcamConfig config, SharedState* shared, const std::string& truthPath);

    WebcamConfig config_;
    std::unique_ptr<SharedState> shared_;
    TruthLog truth_;
};

}  // namespace webcam
