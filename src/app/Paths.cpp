#include "app/Paths.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <mutex>

#include "core/FileUtil.h"
#include "core/Log.h"

namespace talvex::paths {

namespace {

// The files QSettings reads for organisation and application "Talvex": its
// own and the organisation-wide one.
bool settingsFilesReadable() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    for (const QString& file : {base + "/Talvex/Talvex.conf", base + "/Talvex.conf"})
        if (readSmallFile(file.toStdString(), kSmallFileCap).status == SmallFile::Status::skipped)
            return false;
    return true;
}

}  // namespace

std::unique_ptr<QSettings> settings() {
    // Checked before Qt opens them, which would block on a FIFO and read a
    // device without end. Once one is skipped, this run keeps its settings in
    // a private folder and leaves the file alone.
    static std::mutex mutex;
    static std::unique_ptr<QTemporaryDir> standIn;
    std::lock_guard lock(mutex);
    if (!standIn && !settingsFilesReadable()) {
        standIn = std::make_unique<QTemporaryDir>();
        logLine("Talvex: settings are not read or kept for this run");
    }
    if (standIn)
        return std::make_unique<QSettings>(standIn->filePath("Talvex.conf"), QSettings::IniFormat);
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Talvex",
                                       "Talvex");
}

std::string appDataDir() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) return {};
    return (base + "/Talvex").toStdString();
}

std::string defaultOutputRoot() {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return (documents + "/TalvexRecordings").toStdString();
}

}  // namespace talvex::paths
