#pragma once

#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

struct StationOptions {
    bool headless = false;
    std::string outputRoot;  // this run only, never stored
    quint16 ipcPort = 8765;
    std::string ipcBind;  // empty: every interface
    std::optional<std::string> phyphox;
    int virtualCameras = 0;
    bool freeRunningCameras = false;   // synthetic cameras on clocks of their own
    std::vector<std::string> cameras;  // device ids for slots 0 and 1
};

struct ParsedOptions {
    StationOptions options;
    std::optional<std::string> error;  // a message for the user, exit code 2
    bool exitNow = false;              // --help or --version was answered
};

// Parses the command line; --help and --version print and set exitNow.
// Needs a QCoreApplication (any kind) to exist.
ParsedOptions parseStationOptions(const QStringList& arguments);

// Whether the arguments ask for a run without any window (headless, help, version),
// decided before an application object exists.
bool wantsNoWindow(int argc, char** argv);

}  // namespace talvex
