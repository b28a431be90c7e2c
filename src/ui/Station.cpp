#include "ui/Station.h"

#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/HeadlessStation.h"
#include "app/StationOptions.h"
#include "core/Log.h"
#include "ui/MainWindow.h"

namespace talvex {

namespace {

void nameApplication() {
    QCoreApplication::setOrganizationName("Talvex");
    QCoreApplication::setApplicationName("Talvex");
    QCoreApplication::setApplicationVersion(TALVEX_VERSION);
}

}  // namespace

int runStation(int argc, char** argv) {
    // A peer that vanished must cost a failed write, never the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<QCoreApplication> app;
    if (wantsNoWindow(argc, argv))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    nameApplication();

    ParsedOptions parsed = parseStationOptions(app->arguments());
    if (parsed.error) {
        std::fprintf(stderr, "talvex: %s\n", parsed.error->c_str());
        return 2;
    }
    if (parsed.exitNow) return 0;
    // From here on a standard output nobody reads cannot hold up recording.
    startLogWriter();
    if (parsed.options.headless) return runHeadlessStation(parsed.options);
    return runWindowStation(parsed.options);
}

}  // namespace talvex
