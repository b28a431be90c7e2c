#include "CaptureControls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Controls.h"

namespace webcam::controls {
namespace {

// The control with this id, or with V4L2_CTRL_FLAG_NEXT_CTRL the next one after it.
int findIndex(std::uint32_t id) {
    if (!(id & V4L2_CTRL_FLAG_NEXT_CTRL)) return controlIndex(id);
    const std::uint32_t after = id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    int best = -1;
    for (int i = 0; i < kControlCount; ++i)
        if (kControls[i].id > after && (best < 0 || kControls[i].id < kControls[best].id)) best = i;
    return best;
}

int check(const ControlInfo& info, std::int32_t value) {
    if (value < info.minimum || value > info.maximum) return -ERANGE;
    if (info.type == V4L2_CTRL_TYPE_MENU && !menuName(info.id, static_cast<std::uint32_t>(value)))
        return -EINVAL;
    return 0;
}

}  // namespace

int query(v4l2_queryctrl& query) {
    const int index = findIndex(query.id);
    if (index < 0) return -EINVAL;
    const ControlInfo& info = kControls[index];
    std::memset(&query, 0, sizeof query);
    query.id = info.id;
    query.type = info.type;
    std::strncpy(reinterpret_cast<char*>(query.name), info.name, sizeof query.name - 1);
    query.minimum = info.minimum;
    query.maximum = info.maximum;
    query.step = info.step;
    query.default_value = info.defaultValue;
    return 0;
}

int queryExtended(v4l2_query_ext_ctrl& query) {
    v4l2_queryctrl simple{};
    simple.id = query.id;
    if (int result = controls::query(simple); result != 0) return result;
    std::memset(&query, 0, sizeof query);
    query.id = simple.id;
    query.type = simple.type;
    std::memcpy(query.name, simple.name, sizeof simple.name);
    query.minimum = simple.minimum;
    query.maximum = simple.maximum;
    query.step = static_cast<std::uint64_t>(simple.step);
    query.default_value = simple.default_value;
    query.elem_size = sizeof(std::int32_t);
    query.elems = 1;
    return 0;
}

int queryMenu(v4l2_querymenu& menu) {
    const int index = controlIndex(menu.id);
    if (index < 0 || kControls[index].type != V4L2_CTRL_TYPE_MENU) return -EINVAL;
    const char* name = menuName(menu.id, menu.index);
    if (!name) return -EINVAL;
    std::memset(menu.name, 0, sizeof menu.name);
    std::strncpy(reinterpret_cast<char*>(menu.name), name, sizeof menu.name - 1);
    return 0;
}

int get(const CameraState& state, v4l2_control& control) {
    const int index = controlIndex(control.id);
    if (index < 0) return -EINVAL;
    control.value = state.controls[index];
    return 0;
}

int set(CameraState& state, v4l2_control& control) {
    const int index = controlIndex(control.id);
    if (index < 0) return -EINVAL;
    if (int result = check(kControls[index], control.value); result != 0) return result;
    state.controls[index] = control.value;
    return 0;
}

int extended(unsigned long request, CameraState& state, v4l2_ext_controls& controls) {
    for (std::uint32_t i = 0; i < controls.count; ++i) {
        v4l2_ext_control& control = controls.controls[i];
        const int index = controlIndex(control.id);
        int result = index < 0 ? -EINVAL : 0;
        if (result == 0 && request == VIDIOC_G_EXT_CTRLS) control.value = state.controls[index];
        if (result == 0 && request != VIDIOC_G_EXT_CTRLS)
            result = check(kControls[index], control.value);
        if (result != 0) {
            controls.error_idx = i;
            return result;
        }
    }
    if (request == VIDIOC_S_EXT_CTRLS)
        for (std::uint32_t i = 0; i < controls.count; ++i)
            state.controls[controlIndex(controls.controls[i].id)] = controls.controls[i].value;
    return 0;
}

}  // namespace webcam::controls
