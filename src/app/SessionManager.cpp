#include "app/SessionManager.h"

#include <QPointer>

#include "app/MainThread.h"
#include "app/Paths.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/InterruptedSessions.h"
#include "core/Log.h"
#include "core/NumberFormat.h"

namespace talvex {

namespace {

std::string resolveStoredRoot() {
    auto settings = paths::settings();
    QString stored = settings->value(settingsKeys::outputRoot).toString();
    if (!stored.isEmpty() && isDirectory(stored.toStdString())) return stored.toStdString();
    return paths::defaultOutputRoot();
}

}  // namespace

SessionManager::SessionManager(const std::string& overrideRoot, QObject* parent) : QObject(parent) {
    outputRoot_ = overrideRoot.empty() ? resolveStoredRoot() : overrideRoot;
    makeDirectories(outputRoot_);
    reportInterruptedSessions(outputRoot_);
}

SessionManager::~SessionManager() = default;

void SessionManager::setCameraManager(std::weak_ptr<RecordingOperations> cameras) {
    cameraManager_ = std::move(cameras);
}

RecordingState SessionManager::recordingState() const {
    std::lock_guard lock(mutex_);
    return recordingState_;
}

std::optional<SessionMetadata> SessionManager::metadata() const {
    std::lock_guard lock(mutex_);
    return metadata_;
}

std::optional<double> SessionManager::recordingStartTime() const {
    std::lock_guard lock(mutex_);
    return recordingStartTime_;
}

bool SessionManager::wouldAcceptStart() const {
    if (isBusy()) return false;
    auto cameras = cameraManager_.lock();
    return cameras && cameras->openedRecorderCount() > 0;
}

std::string SessionManager::makeSessionDirectory(const std::optional<std::string>& sessionName,
                                                 bool* usable) {
    std::string name = sessionFolderName(sessionName, static_cast<std::time_t>(wallNow()));
    *usable = isUsableFolderName(name);
    if (!*usable) return name;
    std::string folder = joinPath(outputRoot_, name);
    makeDirectories(folder);
    return folder;
}

void SessionManager::startSession(const std::optional<std::string>& sessionName,
                                  const std::string& initiatedBy) {
    if (isBusy()) return;
    auto cameras = cameraManager_.lock();
    if (!cameras || cameras->openedRecorderCount() == 0) return;

    bool usable = false;
    std::string folder = makeSessionDirectory(sessionName, &usable);
    if (!usable) {
        logLine("Talvex: start recording failed: the session name cannot be a folder name");
        return;
    }
    std::string sessionId = folder.substr(folder.rfind('/') + 1);
    double wallStart = wallNow();
    double steadyStart = steadyNow();
    {
        std::lock_guard lock(mutex_);
        metadata_ = SessionMetadata{sessionId, initiatedBy, {}, wallStart, std::nullopt,
                                    cameraLabels(cameras->openedRecorderCount()), false};
    }
    if (auto error = cameras->startRecording(folder)) {
        logLine("Talvex: start recording failed: " + error->message);
        return;
    }
    sessionFolder_ = folder;
    {
        std::lock_guard lock(mutex_);
        recordingStartTime_ = steadyStart;
        gyroFile_.open(folder);
        gyroStats_ = {};
    }
    writeMetadata();
    leadIn_ = true;
    postTo(this, [this, sessionId, steadyStart] { enterRecording(sessionId, steadyStart); });
}

void SessionManager::enterRecording(const std::string& sessionId, double startTime) {
    leadIn_ = false;
    {
        std::lock_guard lock(mutex_);
        recordingState_ = RecordingState{true, sessionId, startTime};
    }
    emit recordingStateChanged();
    setElapsedSeconds(0);
    delete elapsedTimer_;
    elapsedTimer_ = new QTimer(this);
    elapsedTimer_->setInterval(1000);
    connect(elapsedTimer_, &QTimer::timeout, this,
            [this] { postTo(this, [this] { setElapsedSeconds(elapsedSeconds_ + 1); }); });
    elapsedTimer_->start();
}

void SessionManager::setElapsedSeconds(int seconds) {
    elapsedSeconds_ = seconds;
    emit elapsedSecondsChanged();
}

void SessionManager::stopSession() {
    // A stop in the lead-in sees idle and is ignored; a second stop in the
    // tail-out must not finish the session twice.
    if (!recordingState().recording || tailOut_) return;
    delete elapsedTimer_;
    elapsedTimer_ = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (recordingStartTime_) logLine(gyroStats_.report(steadyNow() - *recordingStartTime_));
        recordingStartTime_.reset();
        if (metadata_) metadata_->recordingEnd = wallNow();
    }
    auto cameras = cameraManager_.lock();
    if (!cameras) return;
    tailOut_ = true;
    QPointer<SessionManager> self(this);
    cameras->stopRecording([self](std::optional<double> videoStartTime) {
        if (self) self->finishSession(videoStartTime);
    });
}

void SessionManager::finishSession(std::optional<double> videoStartTime) {
    {
        std::lock_guard lock(mutex_);
        gyroFile_.close();
        if (metadata_ && videoStartTime)
            metadata_->videoStartSeconds = *videoStartTime - recordingState_.startTime;
    }
    writeMetadata();
    postTo(this, [this] {
        bool haveRecord = metadata().has_value();
        lastSessionDir_ = haveRecord ? std::optional<std::string>(sessionFolder_) : std::nullopt;
        {
            std::lock_guard lock(mutex_);
            recordingState_ = RecordingState{};
        }
        tailOut_ = false;
        emit lastSessionDirChanged();
        emit recordingStateChanged();
    });
}

void SessionManager::writeMetadata() {
    std::string json;
    {
        std::lock_guard lock(mutex_);
        if (!metadata_) return;
        json = encodeSessionMetadata(*metadata_);
    }
    if (auto error = writeFileAtomically(joinPath(sessionFolder_, kMetadataFileName), json))
        logLine("Talvex: could not write session.json: " + *error);
}

void SessionManager::recordAnimation(const std::string& name) {
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        if (!metadata_) return;
        metadata_->animationsRun.push_back(name);
        running = recordingState_.recording || leadIn_;
    }
    // While the session runs, the folder always holds the record as known so far.
    if (running) writeMetadata();
}

void SessionManager::writeGyroSample(double sampleTime, double x, double y, double z) {
    std::lock_guard lock(mutex_);
    if (!recordingState_.recording) return;
    if (!recordingStartTime_) {
        logLine("Talvex Gyro: sample rejected — no start time");
        return;
    }
    double t = sampleTime - *recordingStartTime_;
    logLine("Talvex Gyro: writing sample at t=" + formatNumber(t));
    if (!(t >= 0)) {
        logLine("Talvex Gyro: sample rejected — negative time " + formatNumber(t));
        return;
    }
    gyroFile_.append(gyroCsvLine(t, x, y, z));
    gyroStats_.add(t);
    if (metadata_) metadata_->gyroscopeConnected = true;
}

std::string SessionManager::elapsedString() const { return formatElapsed(elapsedSeconds_); }

void SessionManager::setOutputRoot(const std::string& folder) {
    paths::settings()->setValue(settingsKeys::outputRoot, QString::fromStdString(folder));
    makeDirectories(folder);
    postTo(this, [this, folder] {
        outputRoot_ = folder;
        emit outputRootChanged();
    });
}

std::optional<std::string> SessionManager::lastSessionVideoURL() const {
    if (!lastSessionDir_) return std::nullopt;
    for (auto name : {kDualVideoName, kSingleVideoName}) {
        std::string path = joinPath(*lastSessionDir_, name);
        if (fileExists(path)) return path;
    }
    return std::nullopt;
}

std::optional<std::string> SessionManager::lastSessionGyroURL() const {
    if (!lastSessionDir_) return std::nullopt;
    std::string path = joinPath(*lastSessionDir_, kGyroFileName);
    auto size = fileSize(path);
    if (!size || *size < kGyroFileMinDataSize) return std::nullopt;
    return path;
}

}  // namespace talvex
