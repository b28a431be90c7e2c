#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/MainThread.h"
#include "core/FileWriteQueue.h"
#include "core/RecordingOperations.h"
#include "core/RecordingSession.h"
#include "core/SessionFiles.h"
#include "core/SessionSequence.h"
#include "core/TakeReport.h"

namespace talvex {

struct RecordingState {
    bool recording = false;
    std::string sessionId;
    double startTime = 0;  // steady-clock seconds
    bool operator==(const RecordingState&) const = default;
};

// Sequences the recordings: makes each one's folder and RecordingSession,
// starts and stops its cameras, carries it through the lead-in and the
// tail-out, keeps the starts that wait for it, and publishes the state, the
// elapsed clock and the last take for the window. Main thread, except
// writeGyroSample, which the gyroscope receiver calls from its own thread.
class SessionManager : public QObject {
    Q_OBJECT
public:
    // Resolves the output root from the settings; overrideRoot (--output-root)
    // replaces it for this run without being stored.
    explicit SessionManager(const std::string& overrideRoot = {}, QObject* parent = nullptr);
    ~SessionManager() override;

    void setCameraManager(std::weak_ptr<RecordingOperations> cameras);

    // Called just before each session is carried out, also one that waited
    // for the previous session to finish, with the steady instant the
    // session's times count from (the gyroscope takes its anchor there).
    std::function<void(double start)> onSessionBegins;

    // A start while the previous session is finishing waits for it; a start
    // while a session records is ignored; a stop in the lead-in stops the
    // session as soon as it records.
    void startSession(const std::optional<std::string>& sessionName,
                      const std::string& initiatedBy);
    void stopSession();
    void recordAnimation(const std::string& name);
    void writeGyroSample(double sampleTime, double x, double y, double z);

    // Forgets the starts that wait for the running session (at shut-down).
    void dropWaitingStarts() { sequence_.dropWaitingStarts(); }

    RecordingState recordingState() const;
    const std::string& outputRoot() const { return outputRoot_; }
    int elapsedSeconds() const { return elapsedSeconds_; }
    std::string elapsedString() const;
    const std::optional<std::string>& lastSessionDir() const { return lastSessionDir_; }
    std::optional<SessionMetadata> metadata() const;
    std::optional<double> recordingStartTime() const;
    // True from a start's acceptance until the state returns to idle after its stop.
    bool isBusy() const {
        return sequence_.phase() != SessionPhase::idle || sequence_.hasWaitingStarts();
    }

    void setOutputRoot(const std::string& folder);
    // The movie the last finished session's stop kept, while its file is there.
    std::optional<std::string> lastSessionVideoURL() const;
    std::optional<std::string> lastSessionGyroURL() const;

    // Why the last start could not begin, for the window ("Start refused: no
    // camera is open"); kept until the next start or stop, or clearStartProblem.
    const std::optional<std::string>& startProblem() const { return startProblem_; }
    void clearStartProblem() { setStartProblem(std::nullopt); }
    // What the last stopped take kept; none from the next start on.
    const std::optional<TakeFigures>& lastTake() const { return lastTake_; }

signals:
    void recordingStateChanged();
    void outputRootChanged();
    void elapsedSecondsChanged();
    void lastSessionDirChanged();
    void startProblemChanged();
    void lastTakeChanged();

private:
    std::optional<std::string> makeSessionDirectory(const std::optional<std::string>& sessionName);
    void beginSession(const StartRequest& request, bool stopWhenRecording = false);
    bool startCameras(const std::string& folder, const std::string& initiatedBy, double start,
                      bool stopWhenRecording);
    void stopNow();
    void beginWaitingStarts();
    void enterRecording();
    void refuseStart(const std::string& why);
    void setStartProblem(std::optional<std::string> problem);
    void setLastTake(std::optional<TakeFigures> take);
    void finishSession(const StopReport& report);
    void sessionFinished();
    void setElapsedSeconds(int seconds);

    Mailbox<SessionManager> mailbox_{this};
    std::string outputRoot_;
    int elapsedSeconds_ = 0;
    std::weak_ptr<RecordingOperations> cameraManager_;
    std::optional<std::string> lastSessionDir_;
    std::optional<std::string> lastMovie_;  // its file name in lastSessionDir_
    QTimer elapsedTimer_;
    std::optional<std::string> startProblem_;
    std::optional<TakeFigures> lastTake_;
    std::optional<TakeFigures> finishedTake_;  // published once the session is finished

    // Every session's files, in order, off the main thread.
    FileWriteQueue files_{"talvex.session"};
    SessionSequence sequence_;
    // The running session, or the last one (its record stays in memory).
    std::shared_ptr<RecordingSession> current_;

    // The session that takes gyroscope samples, from its cameras' start until
    // it is finished; shared with writeGyroSample's thread.
    std::mutex mutex_;
    std::shared_ptr<RecordingSession> sampling_;
};

}  // namespace talvex
