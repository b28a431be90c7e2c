#pragma once

#include <QObject>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MainThread.h"
#include "core/CameraDevice.h"
#include "core/CameraNameRegistry.h"
#include "core/RecordingOperations.h"

namespace talvex {

class CameraRecorder;
class DualCameraWriter;
struct DiscoveredCamera;
class SerialQueue;

// The camera side of the station: discovery with display names, the open
// cameras in their two slots, the error text the user sees, and the video
// files of each session. Every published field changes on the main thread.
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
    // Closes the open cameras, then opens these in the background, one after another.
    void openCameras(const std::vector<CameraDevice>& devices);

    std::size_t openedRecorderCount() const override { return openedRecorders_.size(); }
    std::optional<RecordingError> startRecording(const std::string& folder) override;
    void stopRecording(StopCompletion completion) override;
    std::vector<std::string> missingCameras() const override;

    struct Relay;

signals:
    void availableDevicesChanged();
    void openedRecordersChanged();
    void errorMessageChanged();
    void camerasSwappedChanged();

private:
    using Recorders = std::vector<std::shared_ptr<CameraRecorder>>;
    void closeAll();
    std::string storedName(const DiscoveredCamera& camera) const;
    void handleDisconnect(const CameraRecorder* reporter, const CameraDevice& device,
                          double lostAt);
    void publishSetup(std::uint64_t generation, Recorders recorders,
                      std::vector<std::string> errors);
    void retire(const std::shared_ptr<CameraRecorder>& recorder);
    std::size_t takeIndex(const CameraRecorder* recorder) const;
    void setOpenedRecorders(Recorders recorders);

    std::vector<CameraDevice> availableDevices_;
    Recorders openedRecorders_;
    std::optional<std::string> errorMessage_;
    bool camerasSwapped_ = false;
    const std::int64_t targetFPS_ = 30;
    CameraNameRegistry registry_;
    std::shared_ptr<DualCameraWriter> activeDualWriter_;
    // The devices of the last openCameras, and the cameras of the recording
    // in progress in slot order, with what each gave it so far.
    std::vector<CameraDevice> requested_;
    struct TakeCamera {
        const CameraRecorder* recorder = nullptr;
        CameraTake figures;
    };
    std::vector<TakeCamera> take_;
    // Recorders closed or lost while their own movie was open; kept until that
    // movie is finished, and waited for by the next stopRecording.
    Recorders retiring_;
    // Movies those recorders ended, for the next stop's report.
    std::vector<MovieOutcome> endedMovies_;
    Mailbox<CameraManager> mailbox_{this};  // work posted after the manager is gone is dropped
    std::shared_ptr<Relay> relay_;
    std::vector<std::unique_ptr<SerialQueue>> setupQueues_;
};

}  // namespace talvex
