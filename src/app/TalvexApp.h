#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "app/SessionManager.h"
#include "app/StationOptions.h"

namespace talvex {

// Owns the long-lived managers and joins them with callbacks when the station
// starts (the window's first show, or at once when headless).
class TalvexApp : public QObject {
    Q_OBJECT
public:
    explicit TalvexApp(const StationOptions& options, QObject* parent = nullptr);
    ~TalvexApp() override;

    void setupApp();
    // Stops a running session, waits until its files are finished, then runs done.
    void finishAndThen(std::function<void()> done);

    SessionManager& session() { return *session_; }

private:
    StationOptions options_;
    std::unique_ptr<SessionManager> session_;
};

}  // namespace talvex
