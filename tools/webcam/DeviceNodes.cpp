#include "DeviceNodes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace webcam {
namespace {

namespace fs = std::filesystem;

int lowestFree(const std::string& prefix) {
    int number = 0;
    while (fs::exists(prefix + std::to_string(number))) ++number;
    return number;
}

void makeNode(const std::string& path, int major, int minor) {
    ::unlink(path.c_str());
    if (::mknod(path.c_str(), S_IFCHR | 0660, makedev(major, minor)) != 0 ||
        ::chmod(path.c_str(), 0660) != 0)
        std::fprintf(stderr, "with-webcams: cannot make %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
}

// Points a link at target, replacing whatever link was there.
void setLink(const fs::path& link, const std::string& target) {
    std::error_code ignored;
    fs::create_directories(link.parent_path(), ignored);
    fs::path temporary = link.string() + ".new";
    fs::remove(temporary, ignored);
    fs::create_symlink(target, temporary, ignored);
    fs::rename(temporary, link, ignored);
}

void removeEmptyDirectories(std::initializer_list<const char*> paths) {
    std::error_code ignored;
    for (const char* path : paths)
        if (fs::is_empty(path, ignored)) fs::remove(path, ignored);
}

std::string usbName(const CameraConfig& camera) {
    return std::to_string(camera.busNumber) + "-" + camera.port;
}

void writeUsbDevice(const CameraConfig& camera, int deviceNumber) {
    fs::path device = "/sys/bus/usb/devices/" + usbName(camera);
    fs::path interface = device / (usbName(camera) + ":1.0");
    std::error_code ignored;
    fs::create_directories(interface / "video4linux", ignored);
    char id[8];
    std::snprintf(id, sizeof id, "%04x", camera.vendorId);
    writeFile(device / "idVendor", id);
    std::snprintf(id, sizeof id, "%04x", camera.productId);
    writeFile(device / "idProduct", id);
    if (!camera.manufacturer.empty()) writeFile(device / "manufacturer", camera.manufacturer);
    if (!camera.product.empty()) writeFile(device / "product", camera.product);
    if (!camera.serial.empty()) writeFile(device / "serial", camera.serial);
    writeFile(device / "busnum", std::to_string(camera.busNumber));
    writeFile(device / "devnum", std::to_string(deviceNumber));
    writeFile(device / "devpath", camera.port);
    writeFile(device / "speed", "480");
    writeFile(interface / "bInterfaceClass", "0e");
    writeFile(interface / "bInterfaceNumber", "00");
    setLink("/sys/bus/usb/devices/" + usbName(camera) + ":1.0", interface.filename().string());
}

void writeVideoClassEntry(const CameraConfig& camera, int number, int index) {
    std::string name = "video" + std::to_string(number);
    std::string interface = usbName(camera) + ":1.0";
    fs::path entry =
        "/sys/bus/usb/devices/" + usbName(camera) + "/" + interface + "/video4linux/" + name;
    std::error_code ignored;
    fs::create_directories(entry, ignored);
    writeFile(entry / "name", camera.cardName());
    writeFile(entry / "index", std::to_string(index));
    writeFile(entry / "dev", std::to_string(kVideoMajor) + ":" + std::to_string(number));
    writeFile(entry / "uevent", "MAJOR=" + std::to_string(kVideoMajor) +
                                    "\nMINOR=" + std::to_string(number) + "\nDEVNAME=" + name);
    setLink(entry / "device", "../../../" + interface);
    setLink("/sys/class/video4linux/" + name,
            "../../bus/usb/devices/" + usbName(camera) + "/" + interface + "/video4linux/" + name);
}

void makeLinks(const CameraConfig& camera, int video, int meta) {
    for (auto [number, index] : {std::pair{video, 0}, std::pair{meta, 1}}) {
        std::string suffix = "-video-index" + std::to_string(index);
        std::string target = "../../video" + std::to_string(number);
        setLink("/dev/v4l/by-id/" + camera.byIdName() + suffix, target);
        setLink("/dev/v4l/by-path/" + camera.byPathName() + suffix, target);
    }
}

// udev points a shared by-id name at a camera still plugged, or removes it.
void dropLinks(const WebcamConfig& config, SharedState& shared, int index) {
    const CameraConfig& camera = config.cameras[index];
    std::error_code ignored;
    for (int i = 0; i < 2; ++i) {
        std::string suffix = "-video-index" + std::to_string(i);
        fs::remove("/dev/v4l/by-path/" + camera.byPathName() + suffix, ignored);
        fs::remove("/dev/v4l/by-id/" + camera.byIdName() + suffix, ignored);
    }
    for (std::size_t other = 0; other < config.cameras.size(); ++other) {
        const CameraState& state = shared.camera(static_cast<int>(other));
        if (static_cast<int>(other) == index || !state.plugged ||
            config.cameras[other].byIdName() != camera.byIdName())
            continue;
        for (auto [number, i] : {std::pair{state.videoNumber, 0}, std::pair{state.metaNumber, 1}})
            setLink("/dev/v4l/by-id/" + camera.byIdName() + "-video-index" + std::to_string(i),
                    "../../video" + std::to_string(number));
        break;
    }
    removeEmptyDirectories({"/dev/v4l/by-id", "/dev/v4l/by-path", "/dev/v4l"});
}

}  // namespace

void plugCamera(const WebcamConfig& config, SharedState& shared, int index) {
    SharedState::Lock lock(shared);
    CameraState& state = shared.camera(index);
    if (state.plugged) return;
    const CameraConfig& camera = config.cameras[index];
    resetCameraState(camera, state);
    state.videoNumber = lowestFree("/dev/video");
    makeNode("/dev/video" + std::to_string(state.videoNumber), kVideoMajor, state.videoNumber);
    state.metaNumber = lowestFree("/dev/video");
    makeNode("/dev/video" + std::to_string(state.metaNumber), kVideoMajor, state.metaNumber);
    state.mediaNumber = lowestFree("/dev/media");
    makeNode("/dev/media" + std::to_string(state.mediaNumber), kMediaMajor, state.mediaNumber);
    writeUsbDevice(camera, index + 2);
    writeVideoClassEntry(camera, state.videoNumber, 0);
    writeVideoClassEntry(camera, state.metaNumber, 1);
    makeLinks(camera, state.videoNumber, state.metaNumber);
    state.replugAtNs = 0;
    state.plugged = 1;
    ++state.generation;
}

void unplugCamera(const WebcamConfig& config, SharedState& shared, int index) {
    SharedState::Lock lock(shared);
    CameraState& state = shared.camera(index);
    if (!state.plugged) return;
    state.plugged = 0;
    ++state.generation;
    const CameraConfig& camera = config.cameras[index];
    std::error_code ignored;
    for (int number : {state.videoNumber, state.metaNumber}) {
        fs::remove("/dev/video" + std::to_string(number), ignored);
        fs::remove("/sys/class/video4linux/video" + std::to_string(number), ignored);
    }
    fs::remove("/dev/media" + std::to_string(state.mediaNumber), ignored);
    fs::remove_all("/sys/bus/usb/devices/" + usbName(camera), ignored);
    fs::remove("/sys/bus/usb/devices/" + usbName(camera) + ":1.0", ignored);
    state.videoNumber = state.metaNumber = state.mediaNumber = -1;
    resetCameraState(camera, state);
    dropLinks(config, shared, index);
}

std::optional<NodeRef> nodeForDevice(SharedState& shared, int cameraCount, dev_t device) {
    const int number = static_cast<int>(minor(device));
    for (int i = 0; i < cameraCount; ++i) {
        const CameraState& state = shared.camera(i);
        if (!state.plugged) continue;
        if (major(device) == kVideoMajor && state.videoNumber == number)
            return NodeRef{i, NodeKind::capture};
        if (major(device) == kVideoMajor && state.metaNumber == number)
            return NodeRef{i, NodeKind::meta};
        if (major(device) == kMediaMajor && state.mediaNumber == number)
            return NodeRef{i, NodeKind::media};
    }
    return std::nullopt;
}

}  // namespace webcam
