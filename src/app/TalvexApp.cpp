#include "app/TalvexApp.h"

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
    session_->onSessionBegins = [this] { gyro_->beginSession(steadyNow()); };
    SessionManager* session = session_.get();
    gyro_->onSample = [session](double t, double x, double y, double z) {
        session->writeGyroSample(t, x, y, z);
    };
    ipc_->startListening(options_.ipcPort, QString::fromStdString(options_.ipcBind));
    gyro_->connectIfConfigured();
    if (options_.headless && !camerasRequested_) {
        camerasRequested_ = true;
        connect(cameras_.get(), &CameraManager::availableDevicesChanged, this,
                &TalvexApp::openRequestedCameras, Qt::SingleShotConnection);
        connect(cameras_.get(), &CameraManager::openedRecordersChanged, this, [this] {
            logLine("Talvex: opened cameras: " + std::to_string(cameras_->openedRecorderCount()));
        });
    }
    cameras_->scan();
}

// Headless: the --cameras ids, else the first two synthetic cameras when
// there are any (so a webcam never changes what a test records), else the
// first two found.
void TalvexApp::openRequestedCameras() {
    const auto& devices = cameras_->availableDevices();
    std::vector<CameraDevice> chosen;
    if (!options_.cameras.empty()) {
        for (const auto& wanted : options_.cameras) {
            auto camera = CameraDiscovery::find(wanted);
            std::string id = camera ? camera->id : wanted;
            auto found = std::find_if(devices.begin(), devices.end(),
                                      [&](const auto& d) { return d.id == id; });
            if (found == devices.end())
                logLine("Talvex: camera not found: " + wanted);
            else
                chosen.push_back(*found);
        }
    } else {
        bool synthetic = options_.virtualCameras > 0;
        for (const auto& device : devices)
            if (!synthetic || SyntheticCameras::isSyntheticId(device.id)) chosen.push_back(device);
    }
    if (chosen.size() > 2) chosen.resize(2);
    if (chosen.empty()) {
        logLine("Talvex: no camera to open");
        return;
    }
    cameras_->openCameras(chosen);
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
