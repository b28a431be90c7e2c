#include "app/CameraManager.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "core/SessionFiles.h"
#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/Compositor.h"

namespace talvex {

namespace {

constexpr auto kPauseAfterOpen = std::chrono::milliseconds(300);
constexpr auto kPauseStep = std::chrono::milliseconds(10);

// "Talvex: camera 'Cam': 1800 frames captured, 1798 written, 2 lost, 1 damaged".
std::string takeLine(const CameraTake& take) {
    return "Talvex: camera '" + take.name + "': " + std::to_string(take.framesCaptured) +
           " frames captured, " + std::to_string(take.framesWritten) + " written, " +
           std::to_string(take.framesLost) + " lost, " + std::to_string(take.framesDamaged) +
           " damaged";
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

}  // namespace

CameraManager::CameraManager(const std::string& appDataDir, QObject* parent)
    : QObject(parent),
      registry_(appDataDir.empty() ? std::string() : joinPath(appDataDir, "camera_names.json")),
      generation_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      setupThread_(std::make_unique<SerialQueue>("talvex.setup")) {}

CameraManager::~CameraManager() {
    ++*generation_;  // a running set-up stops and closes what it opened
    setupThread_.reset();
    for (auto& recorder : openedRecorders_) recorder->close();
}

void CameraManager::setErrorMessage(std::optional<std::string> message) {
    if (message == errorMessage_) return;
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

void CameraManager::setCamerasSwapped(bool swapped) {
    if (swapped == camerasSwapped_) return;
    camerasSwapped_ = swapped;
    emit camerasSwappedChanged();
}

void CameraManager::scan() {
    auto found = CameraDiscovery::devices();
    mailbox_.post([found = std::move(found)](CameraManager& m) {
        std::vector<CameraDevice> devices;
        for (const auto& camera : found) {
            CameraDevice device{camera.id, m.registry_.displayName(camera.id, m.storedName(camera)),
                                camera.systemName};
            // Headless users name cameras by these ids (--cameras).
            logLine("Talvex: camera found: " + device.id + " (" + device.name + ")" +
                    (camera.devicePath.empty() ? "" : " at " + camera.devicePath));
            devices.push_back(std::move(device));
        }
        m.availableDevices_ = std::move(devices);
        emit m.availableDevicesChanged();
    });
}

// A name the user gave this camera under an id an earlier version stored,
// else its system name: what a first sighting of its id is named.
std::string CameraManager::storedName(const DiscoveredCamera& camera) const {
    for (const auto& old : camera.legacyIds)
        if (auto found = registry_.store().find(old); found != registry_.store().end())
            return found->second;
    return camera.systemName;
}

// The set-up thread is serial, so an earlier Apply has let go of its devices
// before this one opens them.
void CameraManager::openCameras(const std::vector<CameraDevice>& devices) {
    closeAll();
    requested_ = devices;
    const std::uint64_t generation = ++*generation_;
    setupThread_->async([newest = generation_, generation, devices, fps = targetFPS_,
                         manager = mailbox_.sender()] {
        auto current = [&] { return newest->load() == generation; };
        Recorders recorders;
        std::vector<std::string> errors;
        for (const auto& device : devices) {
            if (!current()) break;
            auto recorder = std::make_shared<CameraRecorder>(device, fps);
            recorder->setOnDisconnect(
                [manager, reporter = std::weak_ptr(recorder)](const CameraDevice& lost) {
                    manager.post([reporter, lost](CameraManager& m) {
                        m.handleDisconnect(reporter.lock().get(), lost);
                    });
                });
            if (auto error = recorder->setup()) {
                errors.push_back(*error);
                continue;
            }
            recorders.push_back(std::move(recorder));
            for (auto slept = kPauseStep; slept <= kPauseAfterOpen && current();
                 slept += kPauseStep)
                std::this_thread::sleep_for(kPauseStep);
        }
        if (current())
            manager.post([generation, recorders = std::move(recorders), errors = std::move(errors)](
                             CameraManager& m) { m.publishSetup(generation, recorders, errors); });
        recorders.clear();  // an out-of-date set-up closes its cameras here
    });
}

void CameraManager::publishSetup(std::uint64_t generation, Recorders recorders,
                                 std::vector<std::string> errors) {
    // A newer openCameras started after this result was posted: its recorders
    // are dropped (and so closed) instead of published.
    if (generation != generation_->load()) return;
    setOpenedRecorders(std::move(recorders));
    setErrorMessage(errors.empty() ? std::nullopt : std::optional(joinLines(errors)));
}

void CameraManager::closeAll() {
    for (const auto& recorder : openedRecorders_) retire(recorder);
    setOpenedRecorders({});
}

// A camera leaving during a recording ends its part of it now (its own movie
// is finished); the stop's report waits for that.
void CameraManager::retire(const std::shared_ptr<CameraRecorder>& recorder) {
    recorder->close();
    auto inTake = std::find(taking_.begin(), taking_.end(), recorder);
    if (inTake == taking_.end()) return;
    taking_.erase(inTake);
    endPart(recorder);
}

void CameraManager::endPart(const std::shared_ptr<CameraRecorder>& recorder) {
    ++partsEnding_;
    retiring_.push_back(recorder);
    recorder->stopRecording(
        [manager = mailbox_.sender(), raw = recorder.get()](CameraRecorder::Stopped stopped) {
            manager.post([raw, stopped = std::move(stopped)](CameraManager& m) {
                auto kept = std::find_if(m.retiring_.begin(), m.retiring_.end(),
                                         [raw](const auto& r) { return r.get() == raw; });
                if (kept != m.retiring_.end()) m.retiring_.erase(kept);
                m.partEnded(stopped.movie, stopped.take);
            });
        });
}

void CameraManager::handleDisconnect(const CameraRecorder* reporter, const CameraDevice& device) {
    // A report from a recorder that was closed in the meantime concerns nothing open now.
    bool open = std::any_of(openedRecorders_.begin(), openedRecorders_.end(),
                            [&](const auto& r) { return r.get() == reporter; });
    if (!reporter || !open) return;
    Recorders kept;
    for (const auto& recorder : openedRecorders_) {
        if (recorder->device().id == device.id)
            retire(recorder);
        else
            kept.push_back(recorder);
    }
    setOpenedRecorders(std::move(kept));
    std::string text = "Camera '" + device.name + "' was disconnected.";
    if (errorMessage_ == text)
        emit errorMessageChanged();  // a second loss is news even with the same text
    else
        setErrorMessage(text);
}

void CameraManager::setOpenedRecorders(Recorders recorders) {
    if (recorders.empty() && openedRecorders_.empty()) return;
    openedRecorders_ = std::move(recorders);
    emit openedRecordersChanged();
}

std::optional<RecordingError> CameraManager::startRecording(const std::string& folder) {
    if (openedRecorders_.size() == 2) {
        auto compositor = std::make_shared<Compositor>(camerasSwapped_);
        auto error =
            compositor->start(joinPath(folder, kDualVideoName), MovieSettings::sideBySide());
        if (error) return RecordingError{*error};
        compositor_ = compositor;
        for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
            openedRecorders_[i]->feed(compositor, static_cast<int>(i));
            taking_.push_back(openedRecorders_[i]);
        }
        return std::nullopt;
    }
    for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
        std::string file = joinPath(folder, cameraVideoName(i));
        if (auto error = openedRecorders_[i]->startRecording(file)) return RecordingError{*error};
        taking_.push_back(openedRecorders_[i]);
    }
    return std::nullopt;
}

void CameraManager::stopRecording(StopCompletion completion) {
    if (stopCompletion_)  // a stop still ending: both hear of the same report
        completion = [first = std::move(stopCompletion_), second = std::move(completion)](
                         const StopReport& report) { first(report), second(report); };
    stopCompletion_ = std::move(completion);
    for (const auto& recorder : std::exchange(taking_, {})) endPart(recorder);
    if (auto compositor = std::exchange(compositor_, nullptr)) {
        ++partsEnding_;
        MovieLines::step(MovieLines::Step::callingStop);
        compositor->stop([manager = mailbox_.sender()](std::optional<MovieResult> movie) {
            manager.post([movie](CameraManager& m) { m.partEnded(movie, std::nullopt); });
        });
    }
    // With nothing to wait for, the completion still comes a turn later.
    mailbox_.post([](CameraManager& m) { m.finishStopIfDone(); });
}

void CameraManager::partEnded(std::optional<MovieResult> movie, std::optional<CameraTake> camera) {
    --partsEnding_;
    if (movie) report_.movies.push_back(std::move(*movie));
    if (camera) report_.cameras.push_back(std::move(*camera));
    finishStopIfDone();
}

// The session's movie is the one that took the first frame; side by side,
// every pair holds one frame of each camera.
void CameraManager::finishStopIfDone() {
    if (!stopCompletion_ || partsEnding_ > 0) return;
    StopReport report = std::exchange(report_, {});
    std::sort(report.movies.begin(), report.movies.end(),
              [](const auto& a, const auto& b) { return a.file < b.file; });
    for (const auto& movie : report.movies) {
        if (!report.videoStartTime) report.videoStartTime = movie.firstFrameTime;
        if (movie.file != kDualVideoName) continue;
        for (auto& camera : report.cameras) camera.framesWritten = movie.framesWritten;
    }
    for (const auto& camera : report.cameras) logLine(takeLine(camera));
    std::exchange(stopCompletion_, nullptr)(report);
}

std::vector<std::string> CameraManager::missingCameras() const {
    std::vector<std::string> missing;
    for (const auto& device : requested_)
        if (std::none_of(openedRecorders_.begin(), openedRecorders_.end(),
                         [&](const auto& open) { return open->device().id == device.id; }))
            missing.push_back(device.name);
    return missing;
}

}  // namespace talvex
