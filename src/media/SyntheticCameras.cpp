#include "media/SyntheticCameras.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <mutex>

#include "media/MovieSettings.h"

namespace talvex {
namespace {

struct Entry {
    SyntheticCamera camera;
    bool present = true;
    SyntheticCameras::Failure failure = SyntheticCameras::Failure::none;
    std::optional<double> flash;
};

struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;
    SyntheticCameras::Timing timing = SyntheticCameras::Timing::steady;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// Colours far apart from each other, so a test can tell the cameras apart
// from a single averaged pixel.
constexpr std::array<std::uint32_t, 8> kPalette = {0xD03020, 0x2040D0, 0x20B040, 0xD0C020,
                                                   0xB030C0, 0x20B0C0, 0xE08020, 0x808080};

Entry* findEntry(Registry& r, const std::string& id) {
    auto it = std::find_if(r.entries.begin(), r.entries.end(),
                           [&](const Entry& e) { return e.camera.id == id; });
    return it == r.entries.end() ? nullptr : &*it;
}

}  // namespace

std::vector<SyntheticCamera> SyntheticCameras::add(int count) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<SyntheticCamera> added;
    for (int i = 0; i < count; ++i) {
        int number = static_cast<int>(r.entries.size()) + 1;
        SyntheticCamera camera{"synthetic-" + std::to_string(number),
                               "Synthetic Camera " + std::to_string(number), number,
                               kPalette[(number - 1) % kPalette.size()]};
        r.entries.push_back(Entry{camera, true, Failure::none, std::nullopt});
        added.push_back(camera);
    }
    return added;
}

std::vector<SyntheticCamera> SyntheticCameras::list() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<SyntheticCamera> cameras;
    for (const auto& e : r.entries)
        if (e.present) cameras.push_back(e.camera);
    return cameras;
}

std::optional<SyntheticCamera> SyntheticCameras::find(const std::string& id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Entry* e = findEntry(r, id);
    if (!e || !e->present) return std::nullopt;
    return e->camera;
}

bool SyntheticCameras::isSyntheticId(const std::string& id) {
    return id.rfind("synthetic-", 0) == 0;
}

void SyntheticCameras::disconnect(const std::string& id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (Entry* e = findEntry(r, id)) e->present = false;
}

void SyntheticCameras::reconnect(const std::string& id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (Entry* e = findEntry(r, id)) e->present = true;
}

void SyntheticCameras::setFailure(const std::string& id, Failure failure) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (Entry* e = findEntry(r, id)) e->failure = failure;
}

SyntheticCameras::Failure SyntheticCameras::failure(const std::string& id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Entry* e = findEntry(r, id);
    return e ? e->failure : Failure::none;
}

void SyntheticCameras::reset() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries.clear();
}

void SyntheticCameras::flashAt(const std::string& id, double steadySeconds) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (Entry* e = findEntry(r, id)) e->flash = steadySeconds;
}

std::optional<double> SyntheticCameras::flashTime(const std::string& id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Entry* e = findEntry(r, id);
    return e ? e->flash : std::nullopt;
}

void SyntheticCameras::setTiming(Timing timing) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.timing = timing;
}

SyntheticCameras::Timing SyntheticCameras::timing() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.timing;
}

std::string SyntheticCameras::frameRate(const SyntheticCamera& camera, std::int64_t fps) {
    if (timing() == Timing::steady) return std::to_string(fps) + "/1";
    return std::to_string(fps * 1000) + "/" + std::to_string(999 + camera.number);
}

std::string SyntheticCameras::filterGraph(const SyntheticCamera& camera, std::int64_t fps) {
    // testsrc draws a running counter; laid over the camera's own colour it
    // makes every frame and every camera recognisable.
    char colour[16];
    std::snprintf(colour, sizeof colour, "0x%06X", camera.rgb & 0xFFFFFF);
    std::string rate = frameRate(camera, fps);
    const std::string size = std::to_string(MovieSettings::kCameraWidth) + "x" +
                             std::to_string(MovieSettings::kCameraHeight);
    return std::string("color=c=") + colour + ":s=" + size + ":r=" + rate +
           "[bg];testsrc=s=320x180:r=" + rate +
           "[fg];[bg][fg]overlay=x=40:y=40,format=yuv420p[out0]";
}

}  // namespace talvex
