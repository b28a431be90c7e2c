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
    // The timer runs on the main thread: a busy loop delays a tick rather
    // than skipping it.
    elapsedTimer_.setInterval(1000);
    connect(&elapsedTimer_, &QTimer::timeout, this,
            [this] { setElapsedSeconds(elapsedSeconds_ + 1); });
}

// Whatever the file queue still holds (the last record, a sync) is finished first.
SessionManager::~SessionManager() {
    {
        std::lock_guard lock(mutex_);
        sampling_.reset();
    }
    current_.reset();
    files_.waitUntilDone();
}

void SessionManager::setCameraManager(std::weak_ptr<RecordingOperations> cameras) {
    cameraManager_ = std::move(cameras);
}

RecordingState SessionManager::recordingState() const {
    if (!sequence_.showsRecording()) return {};
    return {true, sequence_.sessionId(), sequence_.startTime()};
}

std::optional<SessionMetadata> SessionManager::metadata() const {
    return current_ ? std::optional(current_->record()) : std::nullopt;
}

std::optional<double> SessionManager::recordingStartTime() const {
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
    // One instant for the gyroscope's anchor and every time in the session's files.
    const double start = steadyNow();
    if (onSessionBegins) onSessionBegins(start);
    std::optional<std::string> folder = makeSessionDirectory(request.sessionName);
    if (!folder || !startCameras(*folder, request.initiatedBy, start, stopWhenRecording)) return;
    mailbox_.post([](SessionManager& self) { self.enterRecording(); });
}

// The record, the cameras, gyro.csv and the lead-in; false when the cameras
// cannot start (the folder and the record stay).
bool SessionManager::startCameras(const std::string& folder, const std::string& initiatedBy,
                                  double start, bool stopWhenRecording) {
    auto cameras = cameraManager_.lock();
    std::string sessionId = folder.substr(folder.rfind('/') + 1);
    current_ = std::make_shared<RecordingSession>(
        folder,
        SessionMetadata{sessionId,
                        initiatedBy,
                        {},
                        wallNow(),
                        std::nullopt,
                        cameraLabels(cameras->openedRecorderCount()),
                        false},
        start, files_);
    if (auto error = cameras->startRecording(folder)) {
        refuseStart("start recording failed: " + error->message);
        removeReserveFile(folder);
        return false;
    }
    sequence_.began(sessionId, start, stopWhenRecording);
    current_->camerasStarted();
    std::lock_guard lock(mutex_);
    sampling_ = current_;
    return true;
}

void SessionManager::enterRecording() {
    const bool stopDue = sequence_.enteredRecording();
    current_->takeSamples();
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
    const std::string name = sequence_.sessionId();
    const double now = steadyNow();
    sequence_.stopping(now);
    current_->stop(now);
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

// The cameras are finished. The session's files are finished on the file
// queue, after every write asked for before; only then is the session finished.
void SessionManager::finishSession(const StopReport& report) {
    finishedTake_ = current_->finish(report, [self = mailbox_.sender()] {
        self.post([](SessionManager& s) { s.sessionFinished(); });
    });
}

void SessionManager::sessionFinished() {
    lastSessionDir_ = current_->folder();
    lastMovie_.reset();  // the movie the stop kept, if any
    for (const auto& movie : finishedTake_->movies)
        if (!lastMovie_ && movie.code != MovieResult::Code::cancelled) lastMovie_ = movie.file;
    {
        std::lock_guard lock(mutex_);
        sampling_.reset();
    }
    sequence_.finished();
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

void SessionManager::recordAnimation(const std::string& name) {
    if (current_) current_->recordAnimation(name);
}

void SessionManager::writeGyroSample(double sampleTime, double x, double y, double z) {
    std::lock_guard lock(mutex_);
    if (sampling_) sampling_->writeGyroSample(sampleTime, x, y, z);
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
    if (!lastSessionDir_ || !lastMovie_) return std::nullopt;
    std::string path = joinPath(*lastSessionDir_, *lastMovie_);
    return fileExists(path) ? std::optional(path) : std::nullopt;
}

std::optional<std::string> SessionManager::lastSessionGyroURL() const {
    if (!lastSessionDir_) return std::nullopt;
    std::string path = joinPath(*lastSessionDir_, kGyroFileName);
    auto size = fileSize(path);
    if (!size || *size < kGyroFileMinDataSize) return std::nullopt;
    return path;
}

}  // namespace talvex
