#pragma once

// State every process of one run shares through a mapped file: whether each
// camera is plugged and under which nodes, who holds it, the bandwidth it
// reserved, its current format and controls. Guarded by one robust
// process-shared mutex.

#include <pthread.h>

#include <cstdint>
#include <string>

#include "Config.h"
#include "Controls.h"

namespace webcam {

inline constexpr int kMaxCameras = 16;
inline constexpr int kPhantomPid = -1;  // "another program" holding or streaming the camera

struct CameraState {
    std::uint32_t generation;  // changes at every plug and unplug
    std::int32_t plugged;
    std::int32_t videoNumber, metaNumber, mediaNumber;
    // uvcvideo's privileges: the one file handle that may configure and stream.
    std::int32_t holderPid;  // 0 nobody, kPhantomPid another program
    std::uint64_t holderHandle;
    // Bandwidth reserved on the root port by the stream running now.
    std::int32_t streamerPid;
    std::uint32_t reservedPayload;
    // The current format, kept by the driver across opens.
    std::uint32_t fourcc;
    std::int32_t width, height;
    std::uint32_t interval;
    std::int32_t controls[kControlCount];
    std::int32_t lowLight;
    std::uint64_t counter;     // frames captured since the run began
    std::int64_t replugAtNs;   // CLOCK_MONOTONIC instant of a scheduled replug; 0 none
    std::int32_t unplugDone;   // the configured unplug has happened
    std::int32_t holdPending;  // another program takes the camera once it is free
    std::uint32_t streams;     // streams started, to vary the fault pattern
};

struct SharedData {
    std::uint32_t magic;
    pthread_mutex_t mutex;
    std::int64_t epochNs;  // CLOCK_MONOTONIC instant the run began
    std::int32_t cameraCount;
    CameraState cameras[kMaxCameras];
};

class SharedState {
public:
    // The runner makes the file; the preloaded library maps it.
    static SharedState* create(const std::string& path, const WebcamConfig& config);
    static SharedState* attach(const std::string& path);

    class Lock {
    public:
        explicit Lock(SharedState& state);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        SharedState& state_;
    };

    CameraState& camera(int index) { return data_->cameras[index]; }
    std::int64_t epochNs() const { return data_->epochNs; }

    // Forgets holders and streams of processes that are gone (callers hold the lock).
    void forgetDeadProcesses(CameraState& camera);
    // Payload reserved on a root port by other cameras (callers hold the lock).
    std::uint32_t reservedOnRootPort(const WebcamConfig& config, int rootPort, int except);

private:
    explicit SharedState(SharedData* data) : data_(data) {}
    SharedData* data_;
};

std::int64_t monotonicNs();
void resetCameraState(const CameraConfig& config, CameraState& state);

}  // namespace webcam
