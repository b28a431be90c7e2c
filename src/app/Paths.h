#pragma once

#include <QSettings>
#include <memory>
#include <string>

namespace talvex {

// Every place on disk the station uses. Tests isolate themselves through
// HOME and the XDG_* variables.
namespace paths {

// QSettings of organisation and application "Talvex" ($XDG_CONFIG_HOME/Talvex/).
std::unique_ptr<QSettings> settings();

// $XDG_DATA_HOME/Talvex: camera names and the Lumetra hand-off record.
std::string appDataDir();

// The documents folder + "TalvexRecordings".
std::string defaultOutputRoot();

}  // namespace paths

namespace settingsKeys {
inline constexpr const char* kOutputRoot = "outputRootBookmark";
inline constexpr const char* kPhyphoxIP = "phyphoxIP";
inline constexpr const char* kLumetraAppPath = "lumetraAppPath";
}  // namespace settingsKeys

}  // namespace talvex
