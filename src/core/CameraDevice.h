#pragma once

#include <functional>
#include <string>

namespace talvex {

// A capture device as the camera list shows it. A snapshot: an open recorder
// keeps the record it was opened with, whatever later scans find.
struct CameraDevice {
    std::string id;          // stable across runs and re-plugging; keys the names
    std::string name;        // display name from the name registry
    std::string systemName;  // the device's own name

    // Identity is the id alone, so a renamed device is still the same device.
    friend bool operator==(const CameraDevice& a, const CameraDevice& b) { return a.id == b.id; }
};

}  // namespace talvex

template <>
struct std::hash<talvex::CameraDevice> {
    std::size_t operator()(const talvex::CameraDevice& device) const noexcept {
        return std::hash<std::string>{}(device.id);
    }
};
