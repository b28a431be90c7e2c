#include "app/TalvexApp.h"

#include "app/MainThread.h"

namespace talvex {

TalvexApp::TalvexApp(const StationOptions& options, QObject* parent)
    : QObject(parent), options_(options), session_(std::make_unique<SessionManager>(options.outputRoot)) {}

TalvexApp::~TalvexApp() = default;

void TalvexApp::setupApp() {}

void TalvexApp::finishAndThen(std::function<void()> done) {
    if (!session_->isBusy()) {
        done();
        return;
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(session_.get(), &SessionManager::recordingStateChanged, this,
                          [this, connection, done] {
                              if (session_->recordingState().recording)
                                  session_->stopSession();
                              else if (!session_->isBusy()) {
                                  disconnect(*connection);
                                  done();
                              }
                          });
    session_->stopSession();
}

}  // namespace talvex
