#pragma once

// The control ioctls over the camera's shared control values (callers hold
// the shared lock).

#include <linux/videodev2.h>

#include "SharedState.h"

namespace webcam::controls {

int query(v4l2_queryctrl& query);
int queryExtended(v4l2_query_ext_ctrl& query);
int queryMenu(v4l2_querymenu& menu);
int get(const CameraState& state, v4l2_control& control);
int set(CameraState& state, v4l2_control& control);
// G_EXT_CTRLS, TRY_EXT_CTRLS or S_EXT_CTRLS by request.
int extended(unsigned long request, CameraState& state, v4l2_ext_controls& controls);

}  // namespace webcam::controls
