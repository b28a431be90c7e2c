#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/GyroCsvFile.h"
#include "core/GyroSessionStats.h"
#include "core/RecordingOperations.h"
#include "core/SessionFiles.h"

namespace talvex {

struct RecordingState {
    bool recording = false;
    std::string sessionId;
    double startTime = 0;  // steady-clock seconds
    bool operator==(const RecordingState&) const = default;
};

// The single owner of the recording state: session folder, metadata record,
// camera writers, gyro.csv and the elapsed clock. Main thread, except
// writeGyroSample, which the gyroscope receiver calls from its own thread.
class SessionManager : public QObject {
    Q_OBJECT
public:
    // Resolves the output root from the settings; overrideRoot (--output-root)
    // replaces it for this run without being stored.
    explicit SessionManager(const std::string& overrideRoot = {}, QObject* parent = nullptr);
    ~SessionManager() override;

    void setCameraManager(std::weak_ptr<RecordingOperations> cameras);

    void startSession(const std::optional<std::string>& sessionName,
                      const std::string& initiatedBy);
    void stopSession();
    void recordAnimation(const std::string& name);
    void writeGyroSample(double sampleTime, double x, double y, double z);

    // Idle, no lead-in or tail-out, and at least one camera open.
    bool wouldAcceptStart() const;

    RecordingState recordingState() const;
    const std::string& outputRoot() const { return outputRoot_; }
    int elapsedSeconds() const { return elapsedSeconds_; }
    std::string elapsedString() const;
    const std::optional<std::string>& lastSessionDir() const { return lastSessionDir_; }
    std::optional<SessionMetadata> metadata() const;
    std::optional<double> recordingStartTime() const;
    // True from a start's acceptance until the state returns to idle after its stop.
    bool isBusy() const { return leadIn_ || tailOut_ || recordingState().recording; }

    void setOutputRoot(const std::string& folder);
    std::optional<std::string> lastSessionVideoURL() const;
    std::optional<std::string> lastSessionGyroURL() const;

signals:
    void recordingStateChanged();
    void outputRootChanged();
    void elapsedSecondsChanged();
    void lastSessionDirChanged();

private:
    std::string makeSessionDirectory(const std::optional<std::string>& sessionName, bool* usable);
    void enterRecording(const std::string& sessionId, double startTime);
    void finishSession(std::optional<double> videoStartTime);
    void writeMetadata();
    void setElapsedSeconds(int seconds);

    std::string outputRoot_;
    int elapsedSeconds_ = 0;
    std::weak_ptr<RecordingOperations> cameraManager_;
    std::optional<std::string> lastSessionDir_;
    QTimer* elapsedTimer_ = nullptr;
    bool leadIn_ = false;
    bool tailOut_ = false;
    std::string sessionFolder_;  // the folder made at the start, kept to the end

    // Shared with writeGyroSample's thread.
    mutable std::mutex mutex_;
    RecordingState recordingState_;
    std::optional<double> recordingStartTime_;
    std::optional<SessionMetadata> metadata_;
    GyroCsvFile gyroFile_;
    GyroSessionStats gyroStats_;
};

}  // namespace talvex
