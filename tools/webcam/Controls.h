#pragma once

// The camera controls uvcvideo exposes for a typical webcam, the ones a
// capture program touches: picture adjustments and the exposure that decides
// whether the camera slows down in low light.

#include <linux/videodev2.h>

#include <cstdint>

namespace webcam {

struct ControlInfo {
    std::uint32_t id;
    const char* name;
    std::uint32_t type;  // V4L2_CTRL_TYPE_*
    std::int32_t minimum, maximum, step, defaultValue;
};

inline constexpr int kExposureManual = V4L2_EXPOSURE_MANUAL;                       // 1
inline constexpr int kExposureAperturePriority = V4L2_EXPOSURE_APERTURE_PRIORITY;  // 3

inline constexpr ControlInfo kControls[] = {
    {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128},
    {V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128},
    {V4L2_CID_SATURATION, "Saturation", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128},
    {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1},
    {V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 2, 1, 2},
    {V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1,
     250},
    {V4L2_CID_EXPOSURE_AUTO_PRIORITY, "Exposure, Dynamic Framerate", V4L2_CTRL_TYPE_BOOLEAN, 0, 1,
     1, 1},
};
inline constexpr int kControlCount = sizeof kControls / sizeof kControls[0];

inline int controlIndex(std::uint32_t id) {
    for (int i = 0; i < kControlCount; ++i)
        if (kControls[i].id == id) return i;
    return -1;
}

// Menu entries uvcvideo lists (the others are skipped by QUERYMENU).
inline const char* menuName(std::uint32_t id, std::uint32_t index) {
    if (id == V4L2_CID_POWER_LINE_FREQUENCY) {
        static const char* names[] = {"Disabled", "50 Hz", "60 Hz"};
        return index < 3 ? names[index] : nullptr;
    }
    if (id == V4L2_CID_EXPOSURE_AUTO) {
        if (index == kExposureManual) return "Manual Mode";
        if (index == kExposureAperturePriority) return "Aperture Priority Mode";
    }
    return nullptr;
}

}  // namespace webcam
