#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/MainThread.h"
#include "core/CameraDevice.h"
#include "core/CameraNameRegistry.h"
#include "core/RecordingOperations.h"
#include "media/MovieSettings.h"

namespace talvex {

class CameraRecorder;
class Compositor;
class DeviceWatcher;
struct DiscoveredCamera;
class SerialQueue;

// The camera side of the station: discovery with display names, the open
// cameras in their two slots, the error text the user sees, and the video
// files of each session. Every method runs on the main thread, and every
// result of the set-up thread and of the cameras reaches it through the
// manager's mailbox. A wanted camera that is missing (unplugged, lost, held
// by another program) is opened again by itself once it is back, between
// recordings.
class CameraManager : public QObject, public RecordingOperations {
    Q_OBJECT
public:
    // Names are kept in appDataDir/camera_names.json; an empty dir keeps them in memory.
    explicit CameraManager(const std::string& appDataDir, QObject* parent = nullptr);
    ~CameraManager() override;

    const std::vector<CameraDevice>& availableDevices() const { return availableDevices_; }
    const std::vector<std::shared_ptr<CameraRecorder>>& openedRecorders() const {
        return openedRecorders_;
    }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    void setErrorMessage(std::optional<std::string> message);
    bool camerasSwapped() const { return camerasSwapped_; }
    void setCamerasSwapped(bool swapped);
    std::int64_t targetFPS() const { return targetFPS_; }
    CameraNameRegistry& registry() { return registry_; }

    // Discovers now; the list is published one event-loop turn later.
    void scan();
    // Closes the open cameras, then opens these in the background, one after
    // another. They stay wanted in their slots until the next call.
    void openCameras(const std::vector<CameraDevice>& devices);
    const std::vector<CameraDevice>& wantedCameras() const { return wanted_; }

    std::size_t openedRecorderCount() const override { return openedRecorders_.size(); }
    std::optional<RecordingError> startRecording(const std::string& folder) override;
    void stopRecording(StopCompletion completion) override;
    std::vector<std::string> missingCameras() const override;

signals:
    void availableDevicesChanged();
    void openedRecordersChanged();
    void errorMessageChanged();
    void camerasSwappedChanged();

private:
    using Recorders = std::vector<std::shared_ptr<CameraRecorder>>;
    struct Setup;
    void closeAll();
    std::string storedName(const DiscoveredCamera& camera) const;
    void handleDisconnect(const CameraRecorder* reporter, const CameraDevice& device);
    void runSetup(std::vector<CameraDevice> devices, bool reopening);
    static void openEach(const std::vector<CameraDevice>& devices, std::int64_t fps, bool reopening,
                         const std::set<std::string>& knownHeld,
                         const Mailbox<CameraManager>::Sender& manager,
                         const std::function<bool()>& current, Setup& setup);
    void publishSetup(std::uint64_t generation, bool reopening, Setup setup);
    void placeReopened(Setup setup);
    void camerasChanged();
    void reopenMissing();
    bool isOpen(const std::string& id) const;
    void updateRetry();
    void retire(const std::shared_ptr<CameraRecorder>& recorder);
    void endPart(const std::shared_ptr<CameraRecorder>& recorder);
    void partEnded(std::optional<MovieResult> movie, std::optional<CameraTake> camera);
    void loseHalf(const CameraRecorder& recorder);
    void finishStopIfDone();
    void setOpenedRecorders(Recorders recorders);

    std::vector<CameraDevice> availableDevices_;
    Recorders openedRecorders_;
    std::optional<std::string> errorMessage_;
    bool camerasSwapped_ = false;
    const std::int64_t targetFPS_ = MovieSettings::kCameraFps;
    CameraNameRegistry registry_;
    // The parts of the recording running: its cameras and, side by side, its compositor.
    Recorders taking_;
    std::shared_ptr<Compositor> compositor_;
    // Side by side: the device id in each camera index, and the frames of
    // each the movie showed (known once the compositor has ended).
    std::array<std::string, 2> dualIds_;
    // The take's cameras in the order of the movie's halves (or files).
    std::vector<std::string> takeOrder_;
    std::array<std::int64_t, 2> dualShown_{};
    // Cameras closed or lost during a recording; kept until they have ended
    // their part of it.
    Recorders retiring_;
    // Parts of the recording (a camera, the compositor) still ending, what
    // the ended ones reported, and the stop waiting for them.
    int partsEnding_ = 0;
    StopReport report_;
    StopCompletion stopCompletion_;
    // The cameras of the last Apply in slot order; of those, the ones to try
    // again now and then (away, lost or held), and the ones held by another
    // program at the last try (tried again quietly).
    std::vector<CameraDevice> wanted_;
    std::set<std::string> waiting_;
    std::set<std::string> busy_;
    QTimer retryTimer_;
    std::unique_ptr<DeviceWatcher> watcher_;  // from the first scan on
    int setupsRunning_ = 0;
    bool inTake_ = false;                   // from a start until its stop has ended every part
    Mailbox<CameraManager> mailbox_{this};  // work posted after the manager is gone is dropped
    // The newest Apply; an older set-up still opening notices and closes its cameras.
    std::shared_ptr<std::atomic<std::uint64_t>> generation_;
    std::unique_ptr<SerialQueue> setupThread_;  // "talvex.setup", the last member: joined first
};

}  // namespace talvex
