#pragma once

// The runner's private view of /dev and /sys: a mount namespace in which
// /dev, /sys/class and /sys/bus are tmpfs copies of the real ones (every
// entry bound back) without any video, media or USB devices, so the emulated
// nodes are the only cameras and nothing outside the run sees them.

#include <string>

namespace webcam {

// Throws std::runtime_error with the step that failed.
void isolateDevices();

}  // namespace webcam
