#pragma once

// The emulated cameras and the driver's settings, read from a small text
// file (see README.md): global keys first, then one [camera NAME] section each.

#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Modes.h"

namespace webcam {

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Which frames of a stream a fault hits: every Nth, a seeded random share, or
// the listed sequence numbers.
struct FaultPlan {
    enum class Kind { none, every, rate, at } kind = Kind::none;
    std::uint32_t every = 0;
    double rate = 0;
    std::vector<std::uint32_t> at;

    bool hits(std::uint32_t sequence, std::mt19937_64& random) const;
};

struct UnplugPlan {
    std::optional<double> atSeconds;       // since the runner started
    std::optional<std::uint32_t> atFrame;  // when a stream's sequence reaches it
    std::optional<double> replugAfter;     // seconds
};

struct CameraConfig {
    std::string name;
    std::vector<Format> formats;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string manufacturer;  // USB iManufacturer; may be empty
    std::string product;       // USB iProduct, the card name
    std::string serial;        // may be empty: identical cameras then share a by-id name
    std::string port = "1";    // port chain on the controller: "2" or "1.3" behind a hub
    std::string controller = "0000:00:14.0";
    int busNumber = 1;
    std::uint32_t payloadYuyv = 3072;  // dwMaxPayloadTransferSize, bytes per microframe
    std::uint32_t payloadMjpeg = 3072;
    std::uint32_t colour = 0;  // 0xRRGGBB
    double delayMinMs = 4;
    double delayMaxMs = 40;
    double startupMs = 100;
    double ratePpm = 0;
    bool lowLight = false;
    double lowLightFps = 15;
    bool exposureAuto = true;          // aperture priority
    bool exposureAutoPriority = true;  // the dynamic frame rate
    FaultPlan drop, flag, cut;
    double cutFraction = 0.6;
    std::uint64_t seed = 1;
    bool held = false;
    bool plugged = true;
    UnplugPlan unplug;

    std::string cardName() const;
    std::string byIdName() const;    // "usb-046d_HD_Pro_Webcam_C920_SERIAL"
    std::string byPathName() const;  // "pci-0000:00:14.0-usb-0:1.3:1.0"
    int rootPort() const;
    std::uint32_t payload(std::uint32_t fourcc) const;
};

struct WebcamConfig {
    bool nodrop = false;
    int unplugErrorBuffers = 3;
    std::uint32_t usbBudget = 6000;  // periodic bytes per microframe of one root port
    std::string truthPath;
    std::vector<CameraConfig> cameras;

    int indexOf(const std::string& camera) const;  // -1 when unknown
};

WebcamConfig parseConfig(const std::string& text);
WebcamConfig loadConfig(const std::string& path);

}  // namespace webcam
