#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/CameraManager.h"
#include "app/GyroReceiver.h"
#include "app/IPCServer.h"
#include "app/SessionManager.h"
#include "app/StationOptions.h"
#include "core/IPCCommand.h"

namespace talvex {

// Owns the four long-lived managers, created once in this order, and joins
// them with callbacks when the station starts (the window's first show, or
// at once when headless).
class TalvexApp : public QObject {
    Q_OBJECT
public:
    explicit TalvexApp(const StationOptions& options, QObject* parent = nullptr);
    ~TalvexApp() override;

    void setupApp();
    // Stops a running session, waits until its files are finished, then runs done.
    void finishAndThen(std::function<void()> done);

    CameraManager& cameras() { return *cameras_; }
    SessionManager& session() { return *session_; }
    IPCServer& ipc() { return *ipc_; }
    GyroReceiver& gyro() { return *gyro_; }

private:
    void handleCommand(const IPCCommand& command);
    void openRequestedCameras();
    std::vector<CameraDevice> firstFound() const;
    std::vector<CameraDevice> requestedFound();
    void logOnce(const std::string& line);

    StationOptions options_;
    std::shared_ptr<CameraManager> cameras_;
    std::unique_ptr<SessionManager> session_;
    std::unique_ptr<IPCServer> ipc_;
    std::unique_ptr<GyroReceiver> gyro_;
    bool camerasRequested_ = false;
    std::vector<std::optional<CameraDevice>> requested_;  // each --cameras entry once found
    std::set<std::string> said_;                          // lines said once
};

}  // namespace talvex
