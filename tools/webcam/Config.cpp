#include "Config.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace webcam {
namespace {

constexpr std::uint32_t kPalette[] = {0xC83232, 0x28A03C, 0x2846C8, 0xDC8C14,
                                      0xB432B4, 0x1EAAB4, 0x8C8C28, 0x6E3C1E};

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool parseSwitch(const std::string& value) {
    if (value == "on" || value == "1" || value == "yes" || value == "true") return true;
    if (value == "off" || value == "0" || value == "no" || value == "false") return false;
    throw std::invalid_argument("expected on or off");
}

double parseNumber(const std::string& value) {
    std::size_t used = 0;
    double number = std::stod(value, &used);
    if (used != value.size()) throw std::invalid_argument("not a number");
    return number;
}

std::uint16_t parseHexId(const std::string& value) {
    std::size_t used = 0;
    unsigned long id = std::stoul(value, &used, 16);
    if (used != value.size() || value.size() != 4 || id > 0xFFFF)
        throw std::invalid_argument("expected four hex digits");
    return static_cast<std::uint16_t>(id);
}

// "every N", "rate P", "at S1 S2 ..." or "off".
FaultPlan parseFault(const std::string& value) {
    std::istringstream in(value);
    std::string kind;
    in >> kind;
    FaultPlan plan;
    if (kind == "off") return plan;
    if (kind == "every" && in >> plan.every && plan.every > 0) {
        plan.kind = FaultPlan::Kind::every;
    } else if (kind == "rate" && in >> plan.rate && plan.rate >= 0 && plan.rate <= 1) {
        plan.kind = FaultPlan::Kind::rate;
    } else if (kind == "at") {
        plan.kind = FaultPlan::Kind::at;
        for (std::uint32_t s; in >> s;) plan.at.push_back(s);
        if (plan.at.empty()) throw std::invalid_argument("'at' needs sequence numbers");
    } else {
        throw std::invalid_argument("expected 'every N', 'rate P', 'at S...' or 'off'");
    }
    if (!(in >> std::ws).eof()) throw std::invalid_argument("unexpected text after the fault");
    return plan;
}

// "2.5s" (since the start) or "frame 90".
void parseUnplugAt(const std::string& value, UnplugPlan& plan) {
    if (value.rfind("frame ", 0) == 0) {
        plan.atFrame = static_cast<std::uint32_t>(std::stoul(trim(value.substr(6))));
    } else if (!value.empty() && value.back() == 's') {
        plan.atSeconds = parseNumber(value.substr(0, value.size() - 1));
    } else {
        throw std::invalid_argument("expected SECONDSs or 'frame N'");
    }
}

double parseSeconds(const std::string& value) {
    if (value.empty() || value.back() != 's') throw std::invalid_argument("expected SECONDSs");
    return parseNumber(value.substr(0, value.size() - 1));
}

void parseDelay(CameraConfig& camera, const std::string& value) {
    auto dash = value.find('-');
    camera.delayMinMs = parseNumber(trim(value.substr(0, dash)));
    camera.delayMaxMs =
        dash == std::string::npos ? camera.delayMinMs : parseNumber(trim(value.substr(dash + 1)));
    if (camera.delayMinMs < 0 || camera.delayMaxMs < camera.delayMinMs)
        throw std::invalid_argument("expected MS or MIN-MAX");
}

// The USB identity a camera of each model has unless the section says otherwise.
void setIdentity(CameraConfig& camera, const std::string& model) {
    struct Identity {
        const char* model;
        std::uint16_t vendor, product;
        const char *manufacturer, *name;
    };
    static const Identity identities[] = {
        {"1080p", 0x046d, 0x082d, "", "HD Pro Webcam C920"},
        {"720p", 0x0c45, 0x6366, "Sonix Technology Co., Ltd.", "USB 2.0 Camera"},
        {"vga", 0x0ac8, 0x3420, "Vimicro Corp.", "USB 2.0 PC Camera"}};
    for (const auto& identity : identities)
        if (model == identity.model) {
            camera.vendorId = identity.vendor;
            camera.productId = identity.product;
            camera.manufacturer = identity.manufacturer;
            camera.product = identity.name;
        }
}

using Setter = std::function<void(CameraConfig&, const std::string&)>;

const std::map<std::string, Setter> kCameraKeys = {
    {"model",
     [](CameraConfig& c, const std::string& v) {
         auto modes = presetModes(v);
         if (!modes) throw std::invalid_argument("unknown model (1080p, 720p or vga)");
         c.formats = *modes;
         setIdentity(c, v);
     }},
    {"vendor_id", [](CameraConfig& c, const std::string& v) { c.vendorId = parseHexId(v); }},
    {"product_id", [](CameraConfig& c, const std::string& v) { c.productId = parseHexId(v); }},
    {"manufacturer", [](CameraConfig& c, const std::string& v) { c.manufacturer = v; }},
    {"product", [](CameraConfig& c, const std::string& v) { c.product = v; }},
    {"serial", [](CameraConfig& c, const std::string& v) { c.serial = v; }},
    {"port", [](CameraConfig& c, const std::string& v) { c.port = v; }},
    {"controller", [](CameraConfig& c, const std::string& v) { c.controller = v; }},
    {"bus_number", [](CameraConfig& c, const std::string& v) { c.busNumber = std::stoi(v); }},
    {"payload",
     [](CameraConfig& c, const std::string& v) {
         c.payloadYuyv = c.payloadMjpeg = static_cast<std::uint32_t>(std::stoul(v));
     }},
    {"payload.yuyv", [](CameraConfig& c, const std::string& v) { c.payloadYuyv = std::stoul(v); }},
    {"payload.mjpeg",
     [](CameraConfig& c, const std::string& v) { c.payloadMjpeg = std::stoul(v); }},
    {"colour",
     [](CameraConfig& c, const std::string& v) {
         if (v.size() != 7 || v[0] != '#') throw std::invalid_argument("expected #RRGGBB");
         c.colour = static_cast<std::uint32_t>(std::stoul(v.substr(1), nullptr, 16));
     }},
    {"delay_ms", parseDelay},
    {"startup_ms", [](CameraConfig& c, const std::string& v) { c.startupMs = parseNumber(v); }},
    {"rate_ppm", [](CameraConfig& c, const std::string& v) { c.ratePpm = parseNumber(v); }},
    {"low_light", [](CameraConfig& c, const std::string& v) { c.lowLight = parseSwitch(v); }},
    {"low_light_fps",
     [](CameraConfig& c, const std::string& v) { c.lowLightFps = parseNumber(v); }},
    {"exposure_auto",
     [](CameraConfig& c, const std::string& v) { c.exposureAuto = parseSwitch(v); }},
    {"exposure_auto_priority",
     [](CameraConfig& c, const std::string& v) { c.exposureAutoPriority = parseSwitch(v); }},
    {"drop", [](CameraConfig& c, const std::string& v) { c.drop = parseFault(v); }},
    {"flag", [](CameraConfig& c, const std::string& v) { c.flag = parseFault(v); }},
    {"cut", [](CameraConfig& c, const std::string& v) { c.cut = parseFault(v); }},
    {"cut_fraction", [](CameraConfig& c, const std::string& v) { c.cutFraction = parseNumber(v); }},
    {"seed", [](CameraConfig& c, const std::string& v) { c.seed = std::stoull(v); }},
    {"held", [](CameraConfig& c, const std::string& v) { c.held = parseSwitch(v); }},
    {"plugged", [](CameraConfig& c, const std::string& v) { c.plugged = parseSwitch(v); }},
    {"unplug_at", [](CameraConfig& c, const std::string& v) { parseUnplugAt(v, c.unplug); }},
    {"replug_after",
     [](CameraConfig& c, const std::string& v) { c.unplug.replugAfter = parseSeconds(v); }},
};

void setGlobal(WebcamConfig& config, const std::string& key, const std::string& value) {
    if (key == "nodrop")
        config.nodrop = parseSwitch(value);
    else if (key == "unplug_error_buffers")
        config.unplugErrorBuffers = std::stoi(value);
    else if (key == "usb_budget")
        config.usbBudget = static_cast<std::uint32_t>(std::stoul(value));
    else if (key == "truth")
        config.truthPath = value;
    else
        throw std::invalid_argument("unknown key '" + key + "'");
}

CameraConfig newCamera(const std::string& name, std::size_t index) {
    bool good = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
    if (!good) throw std::invalid_argument("a camera name is letters, digits, '_' and '-'");
    CameraConfig camera;
    camera.name = name;
    camera.formats = *presetModes("1080p");
    setIdentity(camera, "1080p");
    camera.port = std::to_string(index + 1);
    camera.colour = kPalette[index % std::size(kPalette)];
    camera.seed = index + 1;
    return camera;
}

void setCameraKey(CameraConfig& camera, bool& modesGiven, const std::string& key,
                  const std::string& value) {
    if (key == "mode") {
        if (!modesGiven) camera.formats.clear();
        modesGiven = true;
        return addModeLine(camera.formats, value);
    }
    auto found = kCameraKeys.find(key);
    if (found == kCameraKeys.end()) throw std::invalid_argument("unknown key '" + key + "'");
    found->second(camera, value);
}

void checkCamera(const CameraConfig& camera) {
    if (camera.formats.empty()) throw std::invalid_argument("camera has no modes");
    if (camera.port.empty() || camera.port.find_first_not_of("0123456789.") != std::string::npos)
        throw std::invalid_argument("port is like 2 or 1.3");
    if (camera.lowLightFps <= 0 || camera.cutFraction <= 0 || camera.cutFraction >= 1)
        throw std::invalid_argument("low_light_fps > 0 and 0 < cut_fraction < 1");
}

}  // namespace

bool FaultPlan::hits(std::uint32_t sequence, std::mt19937_64& random) const {
    switch (kind) {
        case Kind::none:
            return false;
        case Kind::every:
            return sequence % every == every - 1;
        case Kind::rate:
            return std::uniform_real_distribution<double>(0, 1)(random) < rate;
        case Kind::at:
            return std::find(at.begin(), at.end(), sequence) != at.end();
    }
    return false;
}

std::string CameraConfig::cardName() const {
    if (!product.empty()) return product.substr(0, 31);
    char text[32];
    std::snprintf(text, sizeof text, "UVC Camera (%04x:%04x)", vendorId, productId);
    return text;
}

// udev's ID_SERIAL: vendor and model strings (or ids) and the serial, with
// white space made '_' and other unsafe characters replaced.
std::string CameraConfig::byIdName() const {
    char ids[8];
    std::snprintf(ids, sizeof ids, "%04x", vendorId);
    std::string vendor = manufacturer.empty() ? ids : manufacturer;
    std::snprintf(ids, sizeof ids, "%04x", productId);
    std::string model = product.empty() ? ids : product;
    std::string name = vendor + "_" + model + (serial.empty() ? "" : "_" + serial);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("#+-.:=@_", c)) c = '_';
    return "usb-" + name;
}

std::string CameraConfig::byPathName() const {
    return "pci-" + controller + "-usb-0:" + port + ":1.0";
}

int CameraConfig::rootPort() const {
    return std::stoi(port.substr(0, port.find('.')));
}

std::uint32_t CameraConfig::payload(std::uint32_t fourcc) const {
    return fourccName(fourcc) == "yuyv" ? payloadYuyv : payloadMjpeg;
}

int WebcamConfig::indexOf(const std::string& camera) const {
    for (std::size_t i = 0; i < cameras.size(); ++i)
        if (cameras[i].name == camera) return static_cast<int>(i);
    return -1;
}

WebcamConfig parseConfig(const std::string& text) {
    WebcamConfig config;
    std::istringstream in(text);
    std::string raw;
    bool modesGiven = false;
    for (int number = 1; std::getline(in, raw); ++number) {
        std::string line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        try {
            if (line.front() == '[') {
                if (line.rfind("[camera ", 0) != 0 || line.back() != ']')
                    throw std::invalid_argument("a section is [camera NAME]");
                std::string name = trim(line.substr(8, line.size() - 9));
                if (config.indexOf(name) >= 0) throw std::invalid_argument("camera named twice");
                config.cameras.push_back(newCamera(name, config.cameras.size()));
                modesGiven = false;
                continue;
            }
            auto equals = line.find('=');
            if (equals == std::string::npos) throw std::invalid_argument("expected KEY = VALUE");
            std::string key = trim(line.substr(0, equals)), value = trim(line.substr(equals + 1));
            if (config.cameras.empty())
                setGlobal(config, key, value);
            else
                setCameraKey(config.cameras.back(), modesGiven, key, value);
        } catch (const std::exception& error) {
            throw ConfigError("line " + std::to_string(number) + ": " + error.what());
        }
    }
    for (const auto& camera : config.cameras) try {
            checkCamera(camera);
        } catch (const std::exception& error) {
            throw ConfigError("camera " + camera.name + ": " + error.what());
        }
    if (config.cameras.empty()) throw ConfigError("no [camera NAME] section");
    return config;
}

WebcamConfig loadConfig(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw ConfigError("cannot read " + path);
    std::stringstream text;
    text << file.rdbuf();
    try {
        return parseConfig(text.str());
    } catch (const ConfigError& error) {
        throw ConfigError(path + ": " + error.what());
    }
}

}  // namespace webcam
