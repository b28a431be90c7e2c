#include "app/CameraManager.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "app/DeviceWatcher.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "core/SessionFiles.h"
#include "core/TakeReport.h"
#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/Compositor.h"

namespace talvex {

namespace {

constexpr auto kPauseAfterOpen = std::chrono::milliseconds(300);
constexpr auto kPauseStep = std::chrono::milliseconds(10);
// How often a wanted camera that is missing is looked for again.
constexpr int kRetryMs = 2000;

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

enum class Presence { away, held, free };

// Set-up thread: whether the camera is plugged in and free to open.
Presence presence(const std::string& id) {
    auto found = CameraDiscovery::findById(id);
    if (!found) return Presence::away;
    if (!found->synthetic && CameraDiscovery::isHeldElsewhere(found->devicePath))
        return Presence::held;
    return Presence::free;
}

}  // namespace

// What one set-up opened, and what became of the others.
struct CameraManager::Setup {
    Recorders recorders;
    std::vector<std::string> errors;
    std::vector<std::string> tried;    // ids
    std::vector<std::string> waitFor;  // away or held: worth another try
    std::vector<std::string> held;     // held by another program
};

CameraManager::CameraManager(const std::string& appDataDir, QObject* parent)
    : QObject(parent),
      registry_(appDataDir.empty() ? std::string() : joinPath(appDataDir, "camera_names.json")),
      generation_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      setupThread_(std::make_unique<SerialQueue>("talvex.setup")) {
    retryTimer_.setInterval(kRetryMs);
    connect(&retryTimer_, &QTimer::timeout, this, &CameraManager::reopenMissing);
}

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
    if (!watcher_) {
        watcher_ = std::make_unique<DeviceWatcher>();
        connect(watcher_.get(), &DeviceWatcher::camerasChanged, this,
                &CameraManager::camerasChanged);
        watcher_->start();
    }
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
        m.reopenMissing();
    });
}

// A plug or unplug: the list is new, and a wanted camera that failed for any
// reason gets another chance.
void CameraManager::camerasChanged() {
    for (const auto& device : wanted_)
        if (!isOpen(device.id)) waiting_.insert(device.id);
    updateRetry();
    scan();
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
    wanted_ = devices;
    waiting_.clear();
    busy_.clear();
    updateRetry();
    ++*generation_;
    runSetup(devices, false);
}

void CameraManager::runSetup(std::vector<CameraDevice> devices, bool reopening) {
    ++setupsRunning_;
    setupThread_->async([newest = generation_, generation = generation_->load(),
                         devices = std::move(devices), reopening, held = busy_, fps = targetFPS_,
                         manager = mailbox_.sender()] {
        auto current = [&] { return newest->load() == generation; };
        Setup setup;
        openEach(devices, fps, reopening, held, manager, current, setup);
        if (!current()) setup = {};  // an out-of-date set-up closes its cameras here
        manager.post([generation, reopening, setup = std::move(setup)](CameraManager& m) {
            --m.setupsRunning_;
            m.publishSetup(generation, reopening, setup);
        });
    });
}

// Set-up thread: opens each device in turn. A reopening passes over a camera
// that is away, or that another program still holds after that was said once.
void CameraManager::openEach(const std::vector<CameraDevice>& devices, std::int64_t fps,
                             bool reopening, const std::set<std::string>& knownHeld,
                             const Mailbox<CameraManager>::Sender& manager,
                             const std::function<bool()>& current, Setup& setup) {
    for (const auto& device : devices) {
        if (!current()) break;
        setup.tried.push_back(device.id);
        Presence before = reopening ? presence(device.id) : Presence::free;
        if (before == Presence::away || (before == Presence::held && knownHeld.count(device.id))) {
            setup.waitFor.push_back(device.id);
            if (before == Presence::held) setup.held.push_back(device.id);
            continue;
        }
        auto recorder = std::make_shared<CameraRecorder>(device, fps);
        recorder->setOnDisconnect(
            [manager, reporter = std::weak_ptr(recorder)](const CameraDevice& lost) {
                manager.post([reporter, lost](CameraManager& m) {
                    m.handleDisconnect(reporter.lock().get(), lost);
                });
            });
        if (auto error = recorder->setup()) {
            setup.errors.push_back(*error);
            Presence after = presence(device.id);
            if (after != Presence::free) setup.waitFor.push_back(device.id);
            if (after == Presence::held) setup.held.push_back(device.id);
            continue;
        }
        setup.recorders.push_back(std::move(recorder));
        for (auto slept = kPauseStep; slept <= kPauseAfterOpen && current(); slept += kPauseStep)
            std::this_thread::sleep_for(kPauseStep);
    }
}

void CameraManager::publishSetup(std::uint64_t generation, bool reopening, Setup setup) {
    // A newer openCameras started after this result was posted: its recorders
    // are dropped (and so closed) instead of published.
    if (generation != generation_->load()) return;
    for (const auto& id : setup.tried) {
        waiting_.erase(id);
        busy_.erase(id);
    }
    waiting_.insert(setup.waitFor.begin(), setup.waitFor.end());
    busy_.insert(setup.held.begin(), setup.held.end());
    updateRetry();
    if (reopening) return placeReopened(std::move(setup));
    setOpenedRecorders(std::move(setup.recorders));
    setErrorMessage(setup.errors.empty() ? std::nullopt : std::optional(joinLines(setup.errors)));
}

// Each camera that is back takes the slot its place among the wanted ones gives it.
void CameraManager::placeReopened(Setup setup) {
    if (!setup.errors.empty()) setErrorMessage(joinLines(setup.errors));
    if (setup.recorders.empty()) return;
    auto takeFrom = [](Recorders& from, const std::string& id) {
        auto found = std::find_if(from.begin(), from.end(),
                                  [&](const auto& r) { return r->device().id == id; });
        if (found == from.end()) return std::shared_ptr<CameraRecorder>();
        auto recorder = *found;
        from.erase(found);
        return recorder;
    };
    Recorders open = openedRecorders_, placed;
    for (const auto& device : wanted_) {
        if (auto recorder = takeFrom(open, device.id)) {
            placed.push_back(recorder);
        } else if (auto back = takeFrom(setup.recorders, device.id)) {
            logLine("Talvex: camera reopened: '" + back->device().name + "'");
            placed.push_back(back);
        }
    }
    placed.insert(placed.end(), open.begin(), open.end());
    setOpenedRecorders(std::move(placed));
    if (openedRecorders_.size() == wanted_.size()) setErrorMessage(std::nullopt);
}

// Between recordings only, so a take keeps the cameras it started with.
void CameraManager::reopenMissing() {
    if (setupsRunning_ > 0 || inTake_) return;
    std::vector<CameraDevice> missing;
    for (const auto& device : wanted_) {
        if (!waiting_.count(device.id) || isOpen(device.id)) continue;
        auto listed = std::find(availableDevices_.begin(), availableDevices_.end(), device);
        missing.push_back(listed == availableDevices_.end() ? device : *listed);  // its name now
    }
    if (!missing.empty()) runSetup(std::move(missing), true);
}

bool CameraManager::isOpen(const std::string& id) const {
    return std::any_of(openedRecorders_.begin(), openedRecorders_.end(),
                       [&](const auto& r) { return r->device().id == id; });
}

void CameraManager::updateRetry() {
    if (waiting_.empty())
        retryTimer_.stop();
    else if (!retryTimer_.isActive())
        retryTimer_.start();
}

std::vector<std::string> CameraManager::missingCameras() const {
    std::vector<std::string> missing;
    for (const auto& device : wanted_)
        if (!isOpen(device.id)) missing.push_back(device.name);
    return missing;
}

void CameraManager::closeAll() {
    for (const auto& recorder : openedRecorders_) retire(recorder);
    setOpenedRecorders({});
}

// A camera leaving during a recording ends its part of it now (its own movie
// is finished; side by side, its half goes dim and the movie goes on); the
// stop's report waits for that.
void CameraManager::retire(const std::shared_ptr<CameraRecorder>& recorder) {
    recorder->close();
    auto inTake = std::find(taking_.begin(), taking_.end(), recorder);
    if (inTake == taking_.end()) return;
    taking_.erase(inTake);
    loseHalf(*recorder);
    endPart(recorder);
}

void CameraManager::loseHalf(const CameraRecorder& recorder) {
    for (int camera : {0, 1})
        if (compositor_ && dualIds_[camera] == recorder.device().id)
            compositor_->cameraLost(camera, steadyNow());
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
    waiting_.insert(device.id);  // looked for again: back by itself, also when re-plugged
    updateRetry();
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
    takeOrder_.clear();
    if (openedRecorders_.size() == 2) {
        auto compositor = std::make_shared<Compositor>(camerasSwapped_);
        auto error =
            compositor->start(joinPath(folder, kDualVideoName), MovieSettings::sideBySide());
        if (error) return RecordingError{*error};
        compositor_ = compositor;
        for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
            dualIds_[i] = openedRecorders_[i]->device().id;
            openedRecorders_[i]->feed(compositor, static_cast<int>(i));
            taking_.push_back(openedRecorders_[i]);
        }
        takeOrder_ = {dualIds_[camerasSwapped_ ? 1 : 0], dualIds_[camerasSwapped_ ? 0 : 1]};
        inTake_ = true;
        return std::nullopt;
    }
    for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
        std::string file = joinPath(folder, cameraVideoName(i));
        if (auto error = openedRecorders_[i]->startRecording(file)) return RecordingError{*error};
        taking_.push_back(openedRecorders_[i]);
        takeOrder_.push_back(openedRecorders_[i]->device().id);
    }
    inTake_ = true;
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
        compositor->stop([manager = mailbox_.sender(),
                          counts = std::weak_ptr(compositor)](std::optional<MovieResult> movie) {
            std::array<std::int64_t, 2> shown{};
            if (auto c = counts.lock()) shown = {c->framesShown(0), c->framesShown(1)};
            manager.post([movie, shown](CameraManager& m) {
                m.dualShown_ = shown;
                m.partEnded(movie, std::nullopt);
            });
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
// a camera's frames written are those its half showed.
void CameraManager::finishStopIfDone() {
    if (!stopCompletion_ || partsEnding_ > 0) return;
    StopReport report = std::exchange(report_, {});
    std::sort(report.movies.begin(), report.movies.end(),
              [](const auto& a, const auto& b) { return a.file < b.file; });
    for (const auto& movie : report.movies) {
        if (!report.videoStartTime) report.videoStartTime = movie.firstFrameTime;
        if (movie.file != kDualVideoName) continue;
        for (auto& camera : report.cameras)
            for (int i : {0, 1})
                if (camera.id == dualIds_[i]) camera.framesWritten = dualShown_[i];
    }
    std::stable_sort(report.cameras.begin(), report.cameras.end(),
                     [this](const CameraTake& a, const CameraTake& b) {
                         return std::ranges::find(takeOrder_, a.id) <
                                std::ranges::find(takeOrder_, b.id);
                     });
    takeOrder_.clear();
    for (const auto& camera : report.cameras) logLine(takeLine(camera));
    // Data lost at the stop reaches the user, not only the log and the take report.
    for (const auto& movie : report.movies)
        if (movie.code == MovieResult::Code::failed) setErrorMessage(movieProblem(movie));
    inTake_ = false;
    // Cameras back during the take join now, unless the next one has begun.
    mailbox_.post([](CameraManager& m) { m.reopenMissing(); });
    std::exchange(stopCompletion_, nullptr)(report);
}

}  // namespace talvex
