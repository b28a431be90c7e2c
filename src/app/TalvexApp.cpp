#include "app/TalvexApp.h"

#include <algorithm>

#include "app/Paths.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/FfmpegPtr.h"
#include "media/FrameMemory.h"
#include "media/SyntheticCameras.h"

namespace talvex {

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace

TalvexApp::TalvexApp(const StationOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
    quietMediaLibraryLogs();
    keepFrameBuffersInHeap();
    SyntheticCameras::setTiming(options.freeRunningCameras ? SyntheticCameras::Timing::freeRunning
                                                           : SyntheticCameras::Timing::steady);
    if (options.virtualCameras > 0) SyntheticCameras::add(options.virtualCameras);
    cameras_ = std::make_shared<CameraManager>(paths::appDataDir());
    session_ = std::make_unique<SessionManager>(options.outputRoot);
    ipc_ = std::make_unique<IPCServer>();
    gyro_ = std::make_unique<GyroReceiver>(options.phyphox);
}

TalvexApp::~TalvexApp() {
    // The receiver's network thread may be delivering a sample into the session.
    gyro_.reset();
}

void TalvexApp::setupApp() {
    session_->setCameraManager(cameras_);
    ipc_->onCommand = [this](const IPCCommand& command) { handleCommand(command); };
    // Every session takes its own gyroscope time anchor, however it was started.
    session_->onSessionBegins = [this](double start) { gyro_->beginSession(start); };
    SessionManager* session = session_.get();
    gyro_->onSample = [session](double t, double x, double y, double z) {
        session->writeGyroSample(t, x, y, z);
    };
    ipc_->startListening(options_.ipcPort, QString::fromStdString(options_.ipcBind));
    gyro_->connectIfConfigured();
    if (options_.headless && !camerasRequested_) {
        camerasRequested_ = true;
        // Every scan (at the start, and whenever cameras come and go) may find
        // one asked for; one that appears during a session is opened after it.
        connect(cameras_.get(), &CameraManager::availableDevicesChanged, this,
                &TalvexApp::openRequestedCameras);
        connect(session_.get(), &SessionManager::recordingStateChanged, this,
                &TalvexApp::openRequestedCameras);
        connect(cameras_.get(), &CameraManager::openedRecordersChanged, this, [this] {
            logLine("Talvex: opened cameras: " + std::to_string(cameras_->openedRecorderCount()));
        });
    }
    cameras_->scan();
}

// Headless: the --cameras ids, each as soon as it is found, else the first
// two synthetic cameras when there are any (so a webcam never changes what a
// test records), else the first two found. Once open, a camera that goes
// away is the camera manager's to bring back.
void TalvexApp::openRequestedCameras() {
    std::vector<CameraDevice> chosen = options_.cameras.empty() ? firstFound() : requestedFound();
    if (chosen.size() > 2) chosen.resize(2);
    if (chosen.empty()) return logOnce("Talvex: no camera to open");
    if (chosen == cameras_->wantedCameras() || session_->isBusy()) return;
    cameras_->openCameras(chosen);
}

std::vector<CameraDevice> TalvexApp::firstFound() const {
    if (!cameras_->wantedCameras().empty()) return cameras_->wantedCameras();
    bool synthetic = options_.virtualCameras > 0;
    std::vector<CameraDevice> chosen;
    for (const auto& device : cameras_->availableDevices())
        if (!synthetic || SyntheticCameras::isSyntheticId(device.id)) chosen.push_back(device);
    return chosen;
}

// Each camera asked for, once it has been found, in the order asked.
std::vector<CameraDevice> TalvexApp::requestedFound() {
    const auto& devices = cameras_->availableDevices();
    requested_.resize(options_.cameras.size());
    std::vector<CameraDevice> chosen;
    for (std::size_t i = 0; i < requested_.size(); ++i) {
        const std::string& wanted = options_.cameras[i];
        if (!requested_[i]) {
            auto camera = CameraDiscovery::find(wanted);
            std::string id = camera ? camera->id : wanted;
            auto found = std::find_if(devices.begin(), devices.end(),
                                      [&](const auto& d) { return d.id == id; });
            if (found != devices.end()) requested_[i] = *found;
        }
        if (requested_[i])
            chosen.push_back(*requested_[i]);
        else
            logOnce("Talvex: camera not found: " + wanted);
    }
    return chosen;
}

void TalvexApp::logOnce(const std::string& line) {
    if (said_.insert(line).second) logLine(line);
}

void TalvexApp::handleCommand(const IPCCommand& command) {
    std::visit(
        Overloaded{
            [&](const StartCommand& start) {
                session_->startSession(start.sessionName, start.initiatedBy);
            },
            [&](const StopCommand&) { session_->stopSession(); },
            [&](const AnimationCommand& animation) { session_->recordAnimation(animation.name); },
            [&](const UnknownCommand& unknown) {
                logLine("Talvex: unknown IPC command: " + unknown.text);
            },
        },
        command);
}

void TalvexApp::finishAndThen(std::function<void()> done) {
    if (!session_->isBusy()) {
        done();
        return;
    }
    // No session begins after this one; a stop in the lead-in takes effect
    // as soon as the session records.
    session_->dropWaitingStarts();
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(session_.get(), &SessionManager::recordingStateChanged, this,
                          [this, connection, done] {
                              if (!session_->isBusy()) {
                                  disconnect(*connection);
                                  done();
                              }
                          });
    session_->stopSession();
}

}  // namespace talvex
