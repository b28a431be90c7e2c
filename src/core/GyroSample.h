#pragma once

#include <vector>

namespace talvex {

// One gyroscope sample as the station hands it on: the instant it was taken
// on the host's steady clock (seconds) and the angular rates about x, y and z
// in rad/s.
struct GyroSample {
    double timestamp = 0.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

using GyroSampleBatch = std::vector<GyroSample>;

}  // namespace talvex
