#include "Emulator.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "DeviceNodes.h"

namespace webcam {

Emulator::Emulator(WebcamConfig config, SharedState* shared, const std::string& truthPath)
    : config_(std::move(config)), shared_(shared), truth_(truthPath) {}

Emulator* Emulator::instance() {
    static Emulator* emulator = nullptr;
    static std::once_flag made;
    std::call_once(made, [] {
        const char* state = std::getenv("TALVEX_WEBCAM_STATE");
        const char* config = std::getenv("TALVEX_WEBCAM_CONFIG");
        if (!state || !config) return;
        try {
            SharedState* shared = SharedState::attach(state);
            if (!shared) throw ConfigError(std::string("cannot map ") + state);
            const char* truth = std::getenv("TALVEX_WEBCAM_TRUTH");
            emulator = new Emulator(loadConfig(config), shared, truth ? truth : "");
        } catch (const std::exception& error) {
            std::fprintf(stderr, "talvex-webcam: %s\n", error.what());
        }
    });
    return emulator;
}

bool Emulator::present(int camera, std::uint32_t generation) {
    SharedState::Lock lock(*shared_);
    return shared_->camera(camera).generation == generation;
}

void Emulator::unplugFromStream(int index) {
    const UnplugPlan& plan = config_.cameras[index].unplug;
    unplugCamera(config_, *shared_, index);
    truth_.note(config_.cameras[index].name + " unplugged");
    SharedState::Lock lock(*shared_);
    CameraState& state = shared_->camera(index);
    state.unplugDone = 1;
    if (plan.replugAfter)
        state.replugAtNs = monotonicNs() + static_cast<std::int64_t>(*plan.replugAfter * 1e9);
}

}  // namespace webcam
