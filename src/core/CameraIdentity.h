#pragma once

#include <string>
#include <vector>

namespace talvex {

// What udev, sysfs and the driver say about one capture node.
struct CameraNodeFacts {
    std::string devicePath;   // "/dev/video0"
    std::string byIdName;     // the /dev/v4l/by-id name pointing here, if any
    std::string byPathName;   // the /dev/v4l/by-path name pointing here, if any
    bool hasSerial = false;   // the USB device reports a serial number
    std::string productName;  // the USB product string, else the driver's card name
    std::string busInfo;      // the driver's bus_info
    std::string card;         // the driver's card name
};

// A camera's id, stable across runs and re-plugging. The by-id name only when
// it holds a serial number: without one, identical cameras share that name
// and udev points it at whichever was plugged last, so the USB port (by-path)
// and the product tell them apart instead.
std::string stableCameraId(const CameraNodeFacts& facts);

// Ids the same camera was stored under before the serial rule, so names and
// --cameras lists written then still find it. Never holds the stable id.
std::vector<std::string> legacyCameraIds(const CameraNodeFacts& facts);

}  // namespace talvex
