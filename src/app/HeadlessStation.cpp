#include "app/HeadlessStation.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/TalvexApp.h"
#include "core/Log.h"

namespace talvex {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    [[maybe_unused]] auto ignored = ::write(signalPipe[1], &byte, 1);
}

void installSignalHandlers() {
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int runHeadlessStation(const StationOptions& options) {
    installSignalHandlers();
    TalvexApp app(options);
    // Without its port nobody can drive the station: say so and end with a failure.
    QObject::connect(&app.ipc(), &IPCServer::listenerFailed, [&] {
        logLine("Talvex: the command port cannot listen on port " +
                std::to_string(options.ipcPort) + ", the headless station stops");
        app.finishAndThen([] { QCoreApplication::exit(1); });
    });
    app.setupApp();

    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char byte;
        [[maybe_unused]] auto ignored = ::read(signalPipe[0], &byte, 1);
        notifier.setEnabled(false);
        logLine("Talvex: shutting down");
        app.finishAndThen([] { QCoreApplication::exit(0); });
    });
    return QCoreApplication::exec();
}

}  // namespace talvex
