#include "core/CameraTexts.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace talvex {

namespace {

// "'A'", "'A' and 'B'", "'A', 'B' and 'C'".
std::string quotedList(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += std::string(i == 0                  ? ""
                            : i + 1 == names.size() ? " and "
                                                    : ", ") +
                "'" + names[i] + "'";
    return text;
}

const char* stepText(CameraStep step) {
    switch (step) {
        case CameraStep::openDevice:
            return " (opening the device)";
        case CameraStep::setFormat:
            return " (setting the format)";
        case CameraStep::requestBuffers:
            return " (requesting buffers)";
        case CameraStep::startStream:
            return " (starting the stream)";
        case CameraStep::start:
            break;
    }
    return "";
}

// Only the stream start reserves USB bandwidth; a V4L2 capture device gives
// ENOSPC for nothing else.
std::string bandwidthText(const std::string& camera, const std::vector<std::string>& others) {
    std::string text = "not enough USB bandwidth left on its USB bus";
    if (!others.empty()) text += " next to " + quotedList(others);
    text += " (\"No space left on device\" is not about the disk): plug '" + camera +
            "' into another USB port (another root port or controller)";
    if (!others.empty()) text += ", away from " + quotedList(others);
    return text + ", or use a mode that asks for less";
}

}  // namespace

std::string formatFrameRate(double fps) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::round(fps * 100) / 100);
    std::string rate = text;
    while (rate.back() == '0') rate.pop_back();
    if (rate.back() == '.') rate.pop_back();
    return rate;
}

std::string cameraModeText(const std::string& format, int width, int height, double fps) {
    // As the camera lists it: YUYV, which libavdevice calls yuyv422.
    std::string text = format == "yuyv422" ? "yuyv" : format;
    if (!text.empty()) text.append(" ");
    text.append(std::to_string(width)).append("x").append(std::to_string(height));
    // Appended piecewise: GCC 12 at -O3 takes " " + a temporary for an overlapping copy
    // (-Wrestrict).
    if (fps > 0) text.append(" ").append(formatFrameRate(fps)).append("fps");
    return text;
}

std::string cameraStartError(int error, CameraStep step, const std::string& camera,
                             const std::vector<std::string>& othersOnBus) {
    const std::string prefix = "cannot open '" + camera + "': ";
    if (error == ENOSPC && (step == CameraStep::startStream || step == CameraStep::start))
        return prefix + bandwidthText(camera, othersOnBus);
    if (error == EBUSY)
        return prefix + "another program is using the camera; the station will try again";
    if (error == ENODEV) return prefix + "it was unplugged";
    return prefix + std::generic_category().message(error) + stepText(step);
}

}  // namespace talvex
