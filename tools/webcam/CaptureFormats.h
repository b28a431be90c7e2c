#pragma once

// uvcvideo's answers about formats, sizes, rates and the input, from the
// camera's configuration and the format it has now. Callers hold the shared lock
// where a CameraState is passed.

#include <linux/videodev2.h>

#include "Config.h"
#include "DeviceNodes.h"
#include "SharedState.h"

namespace webcam::formats {

void queryCapability(const CameraConfig& camera, NodeKind kind, v4l2_capability& capability);
int enumFormat(const CameraConfig& camera, v4l2_fmtdesc& description);
int enumFrameSizes(const CameraConfig& camera, v4l2_frmsizeenum& size);
int enumFrameIntervals(const CameraConfig& camera, v4l2_frmivalenum& interval);

void current(const CameraState& state, v4l2_format& format);
// TRY_FMT: the nearest format the camera has; S_FMT commits it with the
// frame size's default (first) interval.
int tryFormat(const CameraConfig& camera, v4l2_format& format);
int setFormat(const CameraConfig& camera, CameraState& state, v4l2_format& format);

void getParameters(const CameraState& state, v4l2_streamparm& parameters);
int setParameters(const CameraConfig& camera, CameraState& state, v4l2_streamparm& parameters);

int enumInput(v4l2_input& input);

std::uint32_t frameBytes(std::uint32_t fourcc, int width, int height);

}  // namespace webcam::formats
