#include "Commands.h"

#include <sstream>

#include "DeviceNodes.h"

namespace webcam {
namespace {

void plug(Bus& bus, int camera) {
    plugCamera(bus.config, bus.shared, camera);
    SharedState::Lock lock(bus.shared);
    const CameraState& state = bus.shared.camera(camera);
    bus.truth.note(bus.config.cameras[camera].name + " plugged video" +
                   std::to_string(state.videoNumber));
}

void unplug(Bus& bus, int camera) {
    unplugCamera(bus.config, bus.shared, camera);
    bus.truth.note(bus.config.cameras[camera].name + " unplugged");
}

// Another program opens the camera and streams from it, when the port has
// room for its stream; until the camera is free it waits.
void hold(Bus& bus, int camera, CameraState& state) {
    bus.shared.forgetDeadProcesses(state);
    if (!state.plugged || state.holderPid != 0) {
        state.holdPending = 1;
        return;
    }
    state.holdPending = 0;
    state.holderPid = kPhantomPid;
    const CameraConfig& config = bus.config.cameras[camera];
    const std::uint32_t payload = config.payload(state.fourcc);
    if (bus.shared.reservedOnRootPort(bus.config, config.rootPort(), camera) + payload <=
        bus.config.usbBudget) {
        state.streamerPid = kPhantomPid;
        state.reservedPayload = payload;
    }
}

void release(CameraState& state) {
    state.holdPending = 0;
    if (state.holderPid == kPhantomPid) state.holderPid = 0;
    if (state.streamerPid == kPhantomPid) {
        state.streamerPid = 0;
        state.reservedPayload = 0;
    }
}

std::string who(int pid) {
    return pid == 0 ? "none" : pid == kPhantomPid ? "other" : std::to_string(pid);
}

std::string status(Bus& bus) {
    std::ostringstream out;
    SharedState::Lock lock(bus.shared);
    for (std::size_t i = 0; i < bus.config.cameras.size(); ++i) {
        CameraState& state = bus.shared.camera(static_cast<int>(i));
        bus.shared.forgetDeadProcesses(state);
        out << bus.config.cameras[i].name << (state.plugged ? " plugged" : " unplugged")
            << " video=" << state.videoNumber << " meta=" << state.metaNumber
            << " media=" << state.mediaNumber << " holder=" << who(state.holderPid)
            << " streaming=" << who(state.streamerPid)
            << " lowlight=" << (state.lowLight ? "on" : "off") << " frames=" << state.counter
            << "\n";
    }
    return out.str() + "ok";
}

}  // namespace

std::string applyCommand(Bus& bus, const std::string& line) {
    std::istringstream in(line);
    std::string verb, name, value;
    in >> verb >> name >> value;
    if (verb == "status") return status(bus);
    const int camera = bus.config.indexOf(name);
    if (camera < 0) return "error unknown camera '" + name + "'";
    if (verb == "unplug") {
        unplug(bus, camera);
        SharedState::Lock lock(bus.shared);
        bus.shared.camera(camera).replugAtNs = 0;
    } else if (verb == "replug" || verb == "plug") {
        plug(bus, camera);
    } else if (verb == "hold" || verb == "release" || verb == "lowlight") {
        if (verb == "lowlight" && value != "on" && value != "off")
            return "error lowlight takes on or off";
        SharedState::Lock lock(bus.shared);
        CameraState& state = bus.shared.camera(camera);
        if (verb == "hold") hold(bus, camera, state);
        if (verb == "release") release(state);
        if (verb == "lowlight") state.lowLight = value == "on";
    } else {
        return "error unknown command '" + verb + "'";
    }
    return "ok";
}

void plugInitially(Bus& bus) {
    for (std::size_t i = 0; i < bus.config.cameras.size(); ++i) {
        const int camera = static_cast<int>(i);
        if (bus.config.cameras[i].plugged) plug(bus, camera);
        SharedState::Lock lock(bus.shared);
        if (bus.config.cameras[i].held) hold(bus, camera, bus.shared.camera(camera));
    }
}

void runSchedule(Bus& bus) {
    const std::int64_t now = monotonicNs();
    for (std::size_t i = 0; i < bus.config.cameras.size(); ++i) {
        const int camera = static_cast<int>(i);
        const UnplugPlan& plan = bus.config.cameras[i].unplug;
        bool unplugNow = false, replugNow = false;
        {
            SharedState::Lock lock(bus.shared);
            CameraState& state = bus.shared.camera(camera);
            unplugNow =
                plan.atSeconds && !state.unplugDone && state.plugged &&
                now >= bus.shared.epochNs() + static_cast<std::int64_t>(*plan.atSeconds * 1e9);
            replugNow = !state.plugged && state.replugAtNs != 0 && now >= state.replugAtNs;
            if (state.holdPending) hold(bus, camera, state);
        }
        if (unplugNow) {
            unplug(bus, camera);
            SharedState::Lock lock(bus.shared);
            CameraState& state = bus.shared.camera(camera);
            state.unplugDone = 1;
            if (plan.replugAfter)
                state.replugAtNs = now + static_cast<std::int64_t>(*plan.replugAfter * 1e9);
        }
        if (replugNow) plug(bus, camera);
    }
}

}  // namespace webcam
