#include "app/Paths.h"

#include <QStandardPaths>

namespace talvex::paths {

std::unique_ptr<QSettings> settings() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Talvex", "Talvex");
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
