#include "app/CameraManager.h"

#include <QPointer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "app/MainThread.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "core/SessionFiles.h"
#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/DualCameraWriter.h"

namespace talvex {

// What background threads may reach of the manager: a way to post work to it
// while it exists, and the number of the newest set-up.
struct CameraManager::Relay {
    explicit Relay(Mailbox<CameraManager>::Sender manager) : manager(std::move(manager)) {}
    void post(std::function<void(CameraManager&)> work) const { manager.post(std::move(work)); }

    Mailbox<CameraManager>::Sender manager;
    std::atomic<std::uint64_t> generation{0};
    std::shared_future<void> lastSetup;  // main thread only
};

namespace {

// Joins several asynchronous stops; the completion runs once on the main
// thread after the last one, or at once when there was none, with what they
// reported: the first frame's capture instant of the session's movie and
// how each movie ended.
class StopGroup {
public:
    StopGroup(StopCompletion completion, std::vector<CameraTake> cameras)
        : completion_(std::move(completion)) {
        report_.cameras = std::move(cameras);
    }
    void enter() { ++pending_; }
    // The frames camera index (in the take's order) wrote into its movie.
    void framesWritten(std::size_t index, std::int64_t frames) {
        std::lock_guard lock(mutex_);
        if (index < report_.cameras.size()) report_.cameras[index].framesWritten = frames;
    }
    void leave(std::optional<double> videoStartTime = std::nullopt,
               std::optional<MovieOutcome> outcome = std::nullopt) {
        {
            std::lock_guard lock(mutex_);
            if (videoStartTime) report_.videoStartTime = videoStartTime;
            if (outcome) report_.movies.push_back(std::move(*outcome));
        }
        if (pending_.fetch_sub(1) != 1) return;
        StopReport report;
        {
            std::lock_guard lock(mutex_);
            report = std::move(report_);
        }
        postToMain([completion = std::move(completion_), report = std::move(report)] {
            completion(report);
        });
    }

private:
    std::atomic<int> pending_{1};  // the caller's own share, left after every enter
    std::mutex mutex_;
    StopReport report_;
    StopCompletion completion_;
};

constexpr auto kPauseAfterOpen = std::chrono::milliseconds(300);

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

}  // namespace

CameraManager::CameraManager(const std::string& appDataDir, QObject* parent)
    : QObject(parent),
      registry_(appDataDir.empty() ? std::string() : joinPath(appDataDir, "camera_names.json")),
      relay_(std::make_shared<Relay>(mailbox_.sender())) {}

CameraManager::~CameraManager() {
    ++relay_->generation;  // running set-ups stop and close what they opened
    setupQueues_.clear();
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

void CameraManager::openCameras(const std::vector<CameraDevice>& devices) {
    closeAll();
    requested_ = devices;
    const std::uint64_t generation = ++relay_->generation;
    auto done = std::make_shared<std::promise<void>>();
    std::shared_future<void> previous =
        std::exchange(relay_->lastSetup, done->get_future().share());
    auto queue = std::make_unique<SerialQueue>("talvex.setup");
    queue->async([relay = relay_, generation, devices, fps = targetFPS_, previous, done] {
        auto current = [&] { return relay->generation.load() == generation; };
        // An earlier set-up still opening would hold devices this one needs;
        // it notices it is out of date and closes them.
        if (previous.valid()) previous.wait();
        Recorders recorders;
        std::vector<std::string> errors;
        for (const auto& device : devices) {
            if (!current()) break;
            auto recorder = std::make_shared<CameraRecorder>(device, fps);
            recorder->setOnDisconnect(
                [relay = std::weak_ptr(relay),
                 reporter = std::weak_ptr(recorder)](const CameraDevice& lost) {
                    if (auto r = relay.lock())
                        r->post([reporter, lost, at = steadyNow()](CameraManager& m) {
                            m.handleDisconnect(reporter.lock().get(), lost, at);
                        });
                });
            if (auto error = recorder->setup()) {
                errors.push_back(*error);
                continue;
            }
            recorders.push_back(std::move(recorder));
            for (auto slept = std::chrono::milliseconds(0); slept < kPauseAfterOpen && current();
                 slept += std::chrono::milliseconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (current())
            relay->post([generation, recorders = std::move(recorders), errors = std::move(errors)](
                            CameraManager& m) { m.publishSetup(generation, recorders, errors); });
        recorders.clear();  // an out-of-date set-up closes its cameras here
        done->set_value();
    });
    setupQueues_.push_back(std::move(queue));
}

void CameraManager::publishSetup(std::uint64_t generation, Recorders recorders,
                                 std::vector<std::string> errors) {
    // A newer openCameras started after this result was posted: its recorders
    // are dropped (and so closed) instead of published.
    if (generation != relay_->generation.load()) return;
    // Every earlier set-up has ended by now; their threads can go.
    if (setupQueues_.size() > 1) setupQueues_.erase(setupQueues_.begin(), setupQueues_.end() - 1);
    setOpenedRecorders(std::move(recorders));
    setErrorMessage(errors.empty() ? std::nullopt : std::optional(joinLines(errors)));
}

void CameraManager::closeAll() {
    for (const auto& recorder : openedRecorders_) retire(recorder);
    setOpenedRecorders({});
}

void CameraManager::retire(const std::shared_ptr<CameraRecorder>& recorder) {
    recorder->close();
    retiring_.push_back(recorder);
    // Finishes a movie the camera may still have open; the recorder is kept
    // until then so the next stopRecording can wait for it.
    recorder->stopRecording([relay = std::weak_ptr(relay_),
                             raw = recorder.get()](std::optional<MovieOutcome> outcome) {
        if (auto r = relay.lock())
            r->post([raw, outcome](CameraManager& m) {
                std::erase_if(m.retiring_, [raw](const auto& kept) { return kept.get() == raw; });
                if (outcome) m.endedMovies_.push_back(*outcome);
            });
    });
}

void CameraManager::handleDisconnect(const CameraRecorder* reporter, const CameraDevice& device,
                                     double lostAt) {
    // A report from a recorder that was closed in the meantime concerns nothing open now.
    bool open = std::any_of(openedRecorders_.begin(), openedRecorders_.end(),
                            [&](const auto& r) { return r.get() == reporter; });
    if (!reporter || !open) return;
    for (auto& camera : take_)
        if (camera.recorder == reporter) camera.figures.lostAt = lostAt;
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
    take_.clear();
    for (const auto& recorder : openedRecorders_) {
        TakeCamera camera{recorder.get(), {}};
        camera.figures.id = recorder->device().id;
        camera.figures.name = recorder->device().name;
        take_.push_back(std::move(camera));
    }
    if (openedRecorders_.size() == 2) {
        auto writer = std::make_shared<DualCameraWriter>(joinPath(folder, kDualVideoName),
                                                         camerasSwapped_, targetFPS_);
        if (auto error = writer->startWriting()) return error;
        activeDualWriter_ = writer;
        for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
            // Index first: a frame in between must not reach the writer as the other camera.
            openedRecorders_[i]->setDualCameraIndex(static_cast<std::int64_t>(i));
            openedRecorders_[i]->setDualWriter(writer);
        }
        return std::nullopt;
    }
    for (std::size_t i = 0; i < openedRecorders_.size(); ++i) {
        std::string file = joinPath(folder, cameraVideoName(i));
        if (auto error = openedRecorders_[i]->startRecording(file)) return error;
    }
    return std::nullopt;
}

void CameraManager::stopRecording(StopCompletion completion) {
    // Movies that a loss or an Apply ended during the recording are in the
    // report too: their retirement reaches the main thread before the stop's
    // completion does.
    std::vector<CameraTake> cameras;
    for (const auto& camera : take_) cameras.push_back(camera.figures);
    auto group = std::make_shared<StopGroup>(
        [self = QPointer<CameraManager>(this),
         completion = std::move(completion)](StopReport report) {
            if (self) {
                auto& ended = self->endedMovies_;
                report.movies.insert(report.movies.end(), ended.begin(), ended.end());
                ended.clear();
            }
            std::sort(report.movies.begin(), report.movies.end(),
                      [](const auto& a, const auto& b) { return a.file < b.file; });
            completion(report);
        },
        std::move(cameras));
    if (auto dual = std::exchange(activeDualWriter_, nullptr)) {
        for (const auto& recorder : openedRecorders_) recorder->setDualWriter(nullptr);
        logLine("Talvex: calling dual stopWriting");
        group->enter();
        // Each picture of the movie holds a frame of either camera.
        dual->stopWriting([group, dual, count = take_.size()](std::optional<MovieOutcome> outcome) {
            for (std::size_t i = 0; i < count; ++i)
                group->framesWritten(i, dual->compositesWritten());
            group->leave(dual->firstFrameTime(), std::move(outcome));
        });
    } else {
        for (const auto& recorder : openedRecorders_) {
            group->enter();
            // The session's movie is the first camera's.
            const bool first = recorder == openedRecorders_.front();
            recorder->stopRecording(
                [group, first, raw = recorder.get(),
                 index = takeIndex(recorder.get())](std::optional<MovieOutcome> outcome) {
                    group->framesWritten(index, raw->movieFramesWritten());
                    group->leave(first ? raw->movieStartTime() : std::nullopt, std::move(outcome));
                });
        }
    }
    // Cameras closed or lost during the recording finish their movies on
    // their own queues; the caller hears of the stop only after those too.
    for (const auto& recorder : retiring_) {
        group->enter();
        recorder->stopRecording([group, raw = recorder.get(), index = takeIndex(recorder.get())](
                                    std::optional<MovieOutcome> outcome) {
            if (outcome) group->framesWritten(index, raw->movieFramesWritten());
            group->leave({}, std::move(outcome));
        });
    }
    take_.clear();
    group->leave();
}

// Where the recorder stands in the recording's cameras; past the end when it
// joined later.
std::size_t CameraManager::takeIndex(const CameraRecorder* recorder) const {
    std::size_t index = 0;
    while (index < take_.size() && take_[index].recorder != recorder) ++index;
    return index;
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
