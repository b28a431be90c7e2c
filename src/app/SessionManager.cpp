#include "app/SessionManager.h"

#include <sys/stat.h>

#include <QPointer>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "app/MainThread.h"
#include "app/Paths.h"
#include "core/Clock.h"
#include "core/DiskSpace.h"
#include "core/FileUtil.h"
#include "core/InterruptedSessions.h"
#include "core/Log.h"
#include "core/NumberFormat.h"
#include "core/TakeReport.h"

namespace talvex {

namespace {

std::string resolveStoredRoot() {
    auto settings = paths::settings();
    QString stored = settings->value(settingsKeys::kOutputRoot).toString();
    if (!stored.isEmpty() && isDirectory(stored.toStdString())) return stored.toStdString();
    return paths::defaultOutputRoot();
}

}  // namespace

SessionManager::SessionManager(const std::string& overrideRoot, QObject* parent) : QObject(parent) {
    outputRoot_ = absoluteFolderPath(overrideRoot.empty() ? resolveStoredRoot() : overrideRoot);
    makeDirectories(outputRoot_);
    reportInterruptedSessions(outputRoot_);
    // Each tick counts one second one main-loop turn later, so a busy loop
    // delays the count rather than skipping it.
    elapsedTimer_.setInterval(1000);
    connect(&elapsedTimer_, &QTimer::timeout, this, [this] {
        mailbox_.post(
            [](SessionManager& self) { self.setElapsedSeconds(self.elapsedSeconds_ + 1); });
    });
}

// Whatever the file queue still holds (the last record, a sync) is finished first.
SessionManager::~SessionManager() {
    {
        std::lock_guard lock(mutex_);
        gyroFile_.close();
    }
    files_.waitUntilDone();
}

void SessionManager::setCameraManager(std::weak_ptr<RecordingOperations> cameras) {
    cameraManager_ = std::move(cameras);
}

RecordingState SessionManager::recordingState() const {
    std::lock_guard lock(mutex_);
    if (!sequence_.showsRecording()) return {};
    return {true, sequence_.sessionId(), sequence_.startTime()};
}

std::optional<SessionMetadata> SessionManager::metadata() const {
    std::lock_guard lock(mutex_);
    return metadata_;
}

std::optional<double> SessionManager::recordingStartTime() const {
    std::lock_guard lock(mutex_);
    return sequence_.recordingStartTime();
}

// A folder of its own, never one that exists: a second session of the same
// name within the same second takes "<name>_<stamp>_2", and so on.
std::optional<std::string> SessionManager::makeSessionDirectory(
    const std::optional<std::string>& sessionName) {
    std::string name = sessionFolderName(sessionName, static_cast<std::time_t>(wallNow()));
    if (!isUsableFolderName(name)) {
        refuseStart("start recording failed: the session name cannot be a folder name");
        return std::nullopt;
    }
    if (!isDirectory(outputRoot_)) {
        if (!makeDirectories(outputRoot_)) {
            refuseStart("start recording failed: cannot create the output root " + outputRoot_);
            return std::nullopt;
        }
        logLine("Talvex: the output root was missing and was created again: " + outputRoot_);
    }
    if (auto free = availableBytes(outputRoot_); !hasRoomToStart(free)) {
        refuseStart("start refused: only " + std::to_string(*free / 1024) + " KB free in " +
                    outputRoot_ + ", at least " + std::to_string(kMinFreeBytesToStart >> 20) +
                    " MB are needed");
        return std::nullopt;
    }
    constexpr int kMaxAttempts = 1000;
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        std::string candidate = numberedFolderName(name, attempt);
        if (!isUsableFolderName(candidate)) break;
        std::string folder = joinPath(outputRoot_, candidate);
        if (::mkdir(folder.c_str(), 0755) == 0) {
            if (!makeReserveFile(folder)) logLine("Talvex: no room for the reserve in " + folder);
            return folder;
        }
        if (errno != EEXIST) {
            refuseStart("start recording failed: cannot create the session folder " + folder +
                        ": " + std::strerror(errno));
            return std::nullopt;
        }
    }
    refuseStart("start recording failed: no free session folder name for " + name);
    return std::nullopt;
}

void SessionManager::startSession(const std::optional<std::string>& sessionName,
                                  const std::string& initiatedBy) {
    clearStartProblem();
    StartRequest request{sessionName, initiatedBy};
    switch (sequence_.requestStart(request)) {
        case StartAction::begin:
            beginSession(request);
            break;
        case StartAction::wait:
            break;
        case StartAction::ignore:
            logLine("Talvex: start ignored, a session is already recording: " +
                    sessionName.value_or("(no name)"));
            break;
    }
}

void SessionManager::beginSession(const StartRequest& request, bool stopWhenRecording) {
    setLastTake(std::nullopt);
    auto cameras = cameraManager_.lock();
    if (!cameras || cameras->openedRecorderCount() == 0)
        return refuseStart("start refused: " + noCameraReason(cameras
                                                                  ? cameras->missingCameras()
                                                                  : std::vector<std::string>{}));
    if (onSessionBegins) onSessionBegins();
    std::optional<std::string> folder = makeSessionDirectory(request.sessionName);
    if (!folder || !startCameras(*folder, request.initiatedBy, stopWhenRecording)) return;
    mailbox_.post([](SessionManager& self) { self.enterRecording(); });
}

// The record, the cameras, gyro.csv and the lead-in; false when the cameras
// cannot start (the folder and the record stay).
bool SessionManager::startCameras(const std::string& folder, const std::string& initiatedBy,
                                  bool stopWhenRecording) {
    auto cameras = cameraManager_.lock();
    std::string sessionId = folder.substr(folder.rfind('/') + 1);
    double wallStart = wallNow();
    double steadyStart = steadyNow();
    {
        std::lock_guard lock(mutex_);
        metadata_ =
            SessionMetadata{sessionId, initiatedBy,  {},
                            wallStart, std::nullopt, cameraLabels(cameras->openedRecorderCount()),
                            false};
    }
    if (auto error = cameras->startRecording(folder)) {
        refuseStart("start recording failed: " + error->message);
        removeReserveFile(folder);
        return false;
    }
    sessionFolder_ = folder;
    recordFinal_ = false;
    {
        std::lock_guard lock(mutex_);
        sequence_.began(sessionId, steadyStart, stopWhenRecording);
        gyroFile_.open(folder);
        gyroStats_ = {};
    }
    writeMetadata();
    return true;
}

void SessionManager::enterRecording() {
    bool stopDue = false;
    {
        std::lock_guard lock(mutex_);
        stopDue = sequence_.enteredRecording();
    }
    emit recordingStateChanged();
    setElapsedSeconds(0);
    elapsedTimer_.start();
    if (stopDue) stopNow();
}

void SessionManager::setElapsedSeconds(int seconds) {
    elapsedSeconds_ = seconds;
    emit elapsedSecondsChanged();
}

void SessionManager::stopSession() {
    clearStartProblem();
    if (sequence_.requestStop() == StopAction::stop) stopNow();
}

// Said once in the log, and kept for the window until the next action.
void SessionManager::refuseStart(const std::string& why) {
    logLine("Talvex: " + why);
    std::string notice = why;
    if (!notice.empty()) notice[0] = static_cast<char>(std::toupper(notice[0]));
    setStartProblem(notice);
}

void SessionManager::setStartProblem(std::optional<std::string> problem) {
    if (problem == startProblem_) return;
    startProblem_ = std::move(problem);
    emit startProblemChanged();
}

void SessionManager::setLastTake(std::optional<TakeFigures> take) {
    if (!take && !lastTake_) return;
    lastTake_ = std::move(take);
    emit lastTakeChanged();
}

void SessionManager::stopNow() {
    elapsedTimer_.stop();
    std::string name;
    {
        std::lock_guard lock(mutex_);
        name = sequence_.sessionId();
        takeLength_ = sequence_.stopping(steadyNow());
        logLine(gyroStats_.report(takeLength_));
        if (metadata_) metadata_->recordingEnd = wallNow();
    }
    // Without the camera side there is nothing to wait for: the session's
    // own files are finished at once.
    auto cameras = cameraManager_.lock();
    if (!cameras) return finishSession({});
    // The completion runs on the main thread.
    QPointer<SessionManager> self(this);
    cameras->stopRecording([self, name](const StopReport& report) {
        logLine("Talvex: session " + name + " stopped: " + describeMovies(report.movies));
        if (self) self->finishSession(report);
    });
}

// The cameras are finished. gyro.csv is synced and closed, the reserve given
// back and the final session.json written on the file queue, after every
// write asked for before; only then is the session finished.
void SessionManager::finishSession(const StopReport& report) {
    recordFinal_ = true;
    std::string record;
    {
        std::lock_guard lock(mutex_);
        gyroFile_.close();
        finishedTake_ = takeFigures(report);
        if (metadata_) {
            if (report.videoStartTime)
                metadata_->videoStartSeconds = *report.videoStartTime - sequence_.startTime();
            metadata_->gyroSamples = finishedTake_->gyroSamples;
            metadata_->gyroLongestGapSeconds = finishedTake_->gyroLongestGap;
            metadata_->durationSeconds = finishedTake_->durationSeconds;
            metadata_->cameraDevices = report.cameras;
            for (CameraTake& camera : *metadata_->cameraDevices)
                if (camera.lostAt) camera.lostAt = *camera.lostAt - sequence_.startTime();
            record = encodeSessionMetadata(*metadata_);
        }
    }
    files_.async([self = mailbox_.sender(), folder = sessionFolder_, record] {
        writeFinalRecord(folder, record);
        self.post([](SessionManager& s) { s.sessionFinished(); });
    });
}

// Under the mutex: the session's figures once its files are finished.
TakeFigures SessionManager::takeFigures(const StopReport& report) const {
    return {sequence_.startTime(),
            takeLength_,
            report.cameras,
            report.movies,
            static_cast<std::int64_t>(gyroStats_.kept()),
            gyroStats_.longestGap(takeLength_)};
}

void SessionManager::writeFinalRecord(const std::string& folder, const std::string& record) {
    if (!isDirectory(folder)) {
        makeDirectories(folder);
        logLine("Talvex: the session folder had vanished and was created again: " + folder);
    }
    removeReserveFile(folder);
    if (record.empty()) return;
    if (auto error = writeFileAtomically(joinPath(folder, kMetadataFileName), record))
        logLine("Talvex: could not write session.json: " + *error);
}

void SessionManager::sessionFinished() {
    bool haveRecord = metadata().has_value();
    lastSessionDir_ = haveRecord ? std::optional<std::string>(sessionFolder_) : std::nullopt;
    {
        std::lock_guard lock(mutex_);
        sequence_.finished();
    }
    emit lastSessionDirChanged();
    setLastTake(std::exchange(finishedTake_, std::nullopt));
    emit recordingStateChanged();
    beginWaitingStarts();
}

// Starts that arrived while the previous session was finishing, in order.
void SessionManager::beginWaitingStarts() {
    while (auto waiting = sequence_.takeWaitingStart()) {
        logLine("Talvex: start waited for the previous session to finish: " +
                waiting->request.sessionName.value_or("(no name)"));
        beginSession(waiting->request, waiting->stopAfter);
        if (sequence_.phase() != SessionPhase::idle) break;  // else it could not start
    }
}

// Queued: the disk is never waited for here, and a later record never lands
// before an earlier one.
void SessionManager::writeMetadata() {
    std::string json;
    {
        std::lock_guard lock(mutex_);
        if (!metadata_) return;
        json = encodeSessionMetadata(*metadata_);
    }
    files_.writeAtomically(joinPath(sessionFolder_, kMetadataFileName), std::move(json),
                           [](const std::string& error) {
                               logLine("Talvex: could not write session.json: " + error);
                           });
}

void SessionManager::recordAnimation(const std::string& name) {
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        if (!metadata_) return;
        metadata_->animationsRun.push_back(name);
        running = sequence_.phase() != SessionPhase::idle && !recordFinal_;
    }
    // While the session runs, the folder always holds the record as known so
    // far; once the final record is written, a late name stays in memory.
    if (running) writeMetadata();
}

void SessionManager::writeGyroSample(double sampleTime, double x, double y, double z) {
    std::lock_guard lock(mutex_);
    if (!sequence_.showsRecording()) return;  // idle or the lead-in
    std::optional<double> start = sequence_.recordingStartTime();
    if (!start) {
        logLine("Talvex Gyro: sample rejected — no start time");  // the tail-out
        return;
    }
    double t = sampleTime - *start;
    // One line per sample is part of the station's documented output: keep it.
    logLine("Talvex Gyro: writing sample at t=" + formatNumber(t));
    if (!(t >= 0)) {
        logLine("Talvex Gyro: sample rejected — negative time " + formatNumber(t));
        return;
    }
    // Only rows that reached gyro.csv count as kept.
    if (gyroFile_.append(gyroCsvLine(t, x, y, z))) gyroStats_.add(t);
    if (metadata_) metadata_->gyroscopeConnected = true;
}

std::string SessionManager::elapsedString() const {
    return formatElapsed(elapsedSeconds_);
}

void SessionManager::setOutputRoot(const std::string& chosen) {
    std::string folder = absoluteFolderPath(chosen);
    paths::settings()->setValue(settingsKeys::kOutputRoot, QString::fromStdString(folder));
    makeDirectories(folder);
    mailbox_.post([folder](SessionManager& self) {
        self.outputRoot_ = folder;
        emit self.outputRootChanged();
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
