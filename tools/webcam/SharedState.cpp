#include "SharedState.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace webcam {
namespace {

constexpr std::uint32_t kMagic = 0x57454243;  // "WEBC"

bool processAlive(int pid) {
    return pid == kPhantomPid || pid == 0 || ::kill(pid, 0) == 0 || errno != ESRCH;
}

SharedData* mapFile(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if ((flags & O_CREAT) && ::ftruncate(fd, sizeof(SharedData)) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* memory = ::mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return memory == MAP_FAILED ? nullptr : static_cast<SharedData*>(memory);
}

}  // namespace

std::int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void resetCameraState(const CameraConfig& config, CameraState& state) {
    const Format& format = config.formats.front();
    state.fourcc = format.fourcc;
    state.width = format.sizes.front().width;
    state.height = format.sizes.front().height;
    state.interval = format.sizes.front().intervals.front();
    for (int i = 0; i < kControlCount; ++i) state.controls[i] = kControls[i].defaultValue;
    state.controls[controlIndex(V4L2_CID_EXPOSURE_AUTO)] =
        config.exposureAuto ? kExposureAperturePriority : kExposureManual;
    state.controls[controlIndex(V4L2_CID_EXPOSURE_AUTO_PRIORITY)] = config.exposureAutoPriority;
    state.holderPid = 0;
    state.holderHandle = 0;
    state.streamerPid = 0;
    state.reservedPayload = 0;
}

SharedState* SharedState::create(const std::string& path, const WebcamConfig& config) {
    SharedData* data = mapFile(path, O_CREAT | O_EXCL);
    if (!data) return nullptr;
    std::memset(static_cast<void*>(data), 0, sizeof *data);
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&data->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    data->epochNs = monotonicNs();
    data->cameraCount = static_cast<std::int32_t>(config.cameras.size());
    for (std::size_t i = 0; i < config.cameras.size(); ++i) {
        CameraState& state = data->cameras[i];
        resetCameraState(config.cameras[i], state);
        state.videoNumber = state.metaNumber = state.mediaNumber = -1;
        state.lowLight = config.cameras[i].lowLight;
    }
    data->magic = kMagic;
    return new SharedState(data);
}

SharedState* SharedState::attach(const std::string& path) {
    SharedData* data = mapFile(path, 0);
    if (!data || data->magic != kMagic) return nullptr;
    return new SharedState(data);
}

SharedState::Lock::Lock(SharedState& state) : state_(state) {
    if (pthread_mutex_lock(&state_.data_->mutex) == EOWNERDEAD)
        pthread_mutex_consistent(&state_.data_->mutex);
}

SharedState::Lock::~Lock() {
    pthread_mutex_unlock(&state_.data_->mutex);
}

void SharedState::forgetDeadProcesses(CameraState& camera) {
    if (!processAlive(camera.holderPid)) {
        camera.holderPid = 0;
        camera.holderHandle = 0;
    }
    if (!processAlive(camera.streamerPid)) {
        camera.streamerPid = 0;
        camera.reservedPayload = 0;
    }
}

std::uint32_t SharedState::reservedOnRootPort(const WebcamConfig& config, int rootPort,
                                              int except) {
    std::uint32_t total = 0;
    for (int i = 0; i < data_->cameraCount; ++i) {
        CameraState& other = data_->cameras[i];
        forgetDeadProcesses(other);
        if (i != except && other.plugged && other.streamerPid != 0 &&
            config.cameras[i].rootPort() == rootPort)
            total += other.reservedPayload;
    }
    return total;
}

}  // namespace webcam
