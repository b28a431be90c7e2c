#include "media/CameraDiscovery.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "core/CameraIdentity.h"
#include "core/FileUtil.h"
#include "media/MovieSettings.h"
#include "media/SyntheticCameras.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;

// The size the movies are made at, so the one asked of a camera first.
constexpr int kWantedWidth = MovieSettings::kCameraWidth;
constexpr int kWantedHeight = MovieSettings::kCameraHeight;

int xioctl(int fd, unsigned long request, void* arg) {
    int result;
    do result = ::ioctl(fd, request, arg);
    while (result == -1 && errno == EINTR);
    return result;
}

UniqueFd openNode(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDWR | O_NONBLOCK));
}

std::string cString(const __u8* text, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(text);
    return std::string(begin, strnlen(begin, size));
}

// Canonical node path to its name in a udev link folder (/dev/v4l/by-id,
// /dev/v4l/by-path).
std::map<std::string, std::string> linkNames(const char* folder) {
    std::map<std::string, std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        auto target = fs::canonical(entry.path(), error);
        if (!error && !names.count(target.string()))
            names[target.string()] = entry.path().filename().string();
    }
    return names;
}

struct UdevLinks {
    std::map<std::string, std::string> byId = linkNames("/dev/v4l/by-id");
    std::map<std::string, std::string> byPath = linkNames("/dev/v4l/by-path");
};

std::string lookup(const std::map<std::string, std::string>& names, const std::string& key) {
    auto found = names.find(key);
    return found == names.end() ? std::string() : found->second;
}

// A line of the USB device's sysfs attributes ("serial", "product"), empty
// when the device has none.
std::string usbAttribute(const std::string& node, const char* name) {
    std::error_code error;
    auto interface = fs::canonical("/sys/class/video4linux/" + node + "/device", error);
    if (error) return {};
    auto text = readFile((interface.parent_path() / name).string()).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// "1-1" for a camera at USB device 1-1.4 (bus 1, root port 1, hub port 4);
// empty when the node is no USB device's.
std::string usbRootPort(const std::string& node) {
    std::error_code error;
    auto interface = fs::canonical("/sys/class/video4linux/" + node + "/device", error);
    if (error) return {};
    const std::string device = interface.parent_path().filename().string();
    const auto dash = device.find('-');
    if (dash == std::string::npos) return {};
    return device.substr(0, device.find('.', dash));
}

std::string trimmedFile(const fs::path& path) {
    auto text = readFile(path.string()).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<std::string> videoNodes() {
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) != 0 || name.size() == 5) continue;
        if (!std::all_of(name.begin() + 5, name.end(), ::isdigit)) continue;
        nodes.emplace_back(std::stoi(name.substr(5)), entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : nodes) paths.push_back(path);
    return paths;
}

CameraNodeFacts nodeFacts(const std::string& path, const v4l2_capability& cap,
                          const UdevLinks& links) {
    CameraNodeFacts facts;
    facts.devicePath = path;
    std::error_code error;
    auto canonical = fs::canonical(path, error).string();
    facts.byIdName = lookup(links.byId, canonical);
    facts.byPathName = lookup(links.byPath, canonical);
    std::string node = fs::path(path).filename().string();
    facts.hasSerial = !usbAttribute(node, "serial").empty();
    facts.productName = usbAttribute(node, "product");
    facts.busInfo = cString(cap.bus_info, sizeof cap.bus_info);
    facts.card = cString(cap.card, sizeof cap.card);
    return facts;
}

std::optional<DiscoveredCamera> probeNode(const std::string& path, const UdevLinks& links) {
    UniqueFd fd = openNode(path);
    if (!fd) return std::nullopt;
    v4l2_capability cap{};
    if (xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0) return std::nullopt;
    std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    // Metadata nodes lack the capture bit on their own node; codecs are m2m.
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) return std::nullopt;
    if (caps & (V4L2_CAP_VIDEO_M2M | V4L2_CAP_VIDEO_M2M_MPLANE)) return std::nullopt;
    auto facts = nodeFacts(path, cap, links);
    DiscoveredCamera camera;
    camera.id = stableCameraId(facts);
    camera.systemName = facts.card;
    camera.devicePath = path;
    camera.legacyIds = legacyCameraIds(facts);
    return camera;
}

void addRates(int fd, std::uint32_t format, int width, int height, CaptureMode& mode) {
    v4l2_frmivalenum interval{};
    interval.pixel_format = format;
    interval.width = static_cast<__u32>(width);
    interval.height = static_cast<__u32>(height);
    for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            const auto& f = interval.discrete;
            if (f.numerator == 0) continue;
            double fps = static_cast<double>(f.denominator) / f.numerator;
            mode.rates.push_back({fps, fps});
        } else {
            const auto& s = interval.stepwise;
            if (s.min.numerator == 0 || s.max.numerator == 0) continue;
            mode.rates.push_back({static_cast<double>(s.max.denominator) / s.max.numerator,
                                  static_cast<double>(s.min.denominator) / s.min.numerator});
            break;
        }
    }
}

std::vector<std::pair<int, int>> frameSizes(int fd, std::uint32_t format) {
    std::vector<std::pair<int, int>> sizes;
    v4l2_frmsizeenum size{};
    size.pixel_format = format;
    for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.emplace_back(size.discrete.width, size.discrete.height);
            continue;
        }
        const auto& s = size.stepwise;
        // A continuous range: 1280x720 when it lies inside, and the largest.
        if (s.min_width <= kWantedWidth && s.max_width >= kWantedWidth &&
            s.min_height <= kWantedHeight && s.max_height >= kWantedHeight)
            sizes.emplace_back(kWantedWidth, kWantedHeight);
        sizes.emplace_back(s.max_width, s.max_height);
        break;
    }
    return sizes;
}

bool reaches(const CaptureMode& mode, std::int64_t fps) {
    auto wanted = static_cast<double>(fps);
    return std::any_of(mode.rates.begin(), mode.rates.end(), [&](const FrameRateRange& r) {
        return r.minFps <= wanted && r.maxFps >= wanted;
    });
}

std::pair<int, int> chooseSize(const std::vector<CaptureMode>& modes) {
    std::set<std::pair<int, int>> sizes;
    for (const auto& m : modes) sizes.emplace(m.width, m.height);
    if (sizes.count({kWantedWidth, kWantedHeight})) return {kWantedWidth, kWantedHeight};
    auto area = [](const std::pair<int, int>& s) { return std::int64_t{s.first} * s.second; };
    std::optional<std::pair<int, int>> larger, largest;
    for (const auto& s : sizes) {
        if (s.first >= kWantedWidth && s.second >= kWantedHeight &&
            (!larger || area(s) < area(*larger)))
            larger = s;
        if (!largest || area(s) > area(*largest)) largest = s;
    }
    return larger ? *larger : *largest;
}

}  // namespace

std::vector<DiscoveredCamera> CameraDiscovery::devices() {
    std::vector<DiscoveredCamera> cameras;
    UdevLinks links;
    for (const auto& path : videoNodes())
        if (auto camera = probeNode(path, links)) cameras.push_back(*camera);
    for (const auto& synthetic : SyntheticCameras::list())
        cameras.push_back({synthetic.id, synthetic.name, "", true, {}});
    return cameras;
}

std::optional<DiscoveredCamera> CameraDiscovery::findById(const std::string& id) {
    if (SyntheticCameras::isSyntheticId(id)) {
        auto synthetic = SyntheticCameras::find(id);
        if (!synthetic) return std::nullopt;
        return DiscoveredCamera{synthetic->id, synthetic->name, "", true, {}};
    }
    for (auto& camera : devices())
        if (camera.id == id) return camera;
    return std::nullopt;
}

std::optional<DiscoveredCamera> CameraDiscovery::find(const std::string& wanted) {
    std::error_code error;
    auto node = wanted.rfind("/dev/", 0) == 0 ? fs::canonical(wanted, error).string() : "";
    for (auto& camera : devices()) {
        const auto& old = camera.legacyIds;
        if (camera.id == wanted || std::find(old.begin(), old.end(), wanted) != old.end() ||
            (!node.empty() && node == camera.devicePath))
            return camera;
    }
    return std::nullopt;
}

std::vector<std::string> CameraDiscovery::camerasSharingUsbPort(const std::string& devicePath) {
    std::error_code error;
    const std::string self = fs::canonical(devicePath, error).filename().string();
    const std::string root = error ? std::string() : usbRootPort(self);
    std::vector<std::string> names;
    if (root.empty()) return names;
    const fs::path classDir = "/sys/class/video4linux";
    for (const auto& entry : fs::directory_iterator(classDir, error)) {
        const std::string node = entry.path().filename().string();
        if (node == self || usbRootPort(node) != root) continue;
        if (trimmedFile(entry.path() / "index") != "0") continue;  // its metadata node
        names.push_back(trimmedFile(entry.path() / "name"));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool CameraDiscovery::isHeldElsewhere(const std::string& devicePath) {
    UniqueFd fd = openNode(devicePath);
    if (!fd) return false;
    v4l2_requestbuffers none{};
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    return xioctl(fd.get(), VIDIOC_REQBUFS, &none) != 0 && errno == EBUSY;
}

std::vector<CaptureMode> CameraDiscovery::captureModes(const std::string& devicePath) {
    std::vector<CaptureMode> modes;
    UniqueFd fd = openNode(devicePath);
    if (!fd) return modes;
    for (std::uint32_t format : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG}) {
        for (auto [width, height] : frameSizes(fd.get(), format)) {
            CaptureMode mode{format, width, height, {}};
            addRates(fd.get(), format, width, height, mode);
            modes.push_back(std::move(mode));
        }
    }
    return modes;
}

ModeChoice CameraDiscovery::chooseMode(const std::vector<CaptureMode>& modes, std::int64_t fps) {
    std::vector<CaptureMode> usable;
    for (const auto& m : modes)
        if (m.pixelFormat == V4L2_PIX_FMT_YUYV || m.pixelFormat == V4L2_PIX_FMT_MJPEG)
            usable.push_back(m);
    if (usable.empty()) return {};
    auto [width, height] = chooseSize(usable);
    auto at = [&](std::uint32_t format) -> const CaptureMode* {
        for (const auto& m : usable)
            if (m.pixelFormat == format && m.width == width && m.height == height) return &m;
        return nullptr;
    };
    const CaptureMode* yuyv = at(V4L2_PIX_FMT_YUYV);
    const CaptureMode* mjpeg = at(V4L2_PIX_FMT_MJPEG);
    const CaptureMode* chosen = nullptr;
    if (yuyv && reaches(*yuyv, fps))
        chosen = yuyv;
    else if (mjpeg && reaches(*mjpeg, fps))
        chosen = mjpeg;
    else
        chosen = yuyv ? yuyv : mjpeg;
    return {chosen->pixelFormat == V4L2_PIX_FMT_YUYV ? "yuyv422" : "mjpeg", width, height,
            reaches(*chosen, fps)};
}

}  // namespace talvex
