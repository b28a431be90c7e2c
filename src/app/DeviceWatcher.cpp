#include "app/DeviceWatcher.h"

#include <QDir>

namespace talvex {

namespace {

// udev makes the links and sets the node's rights after the node appears;
// a plug or unplug is a burst of changes.
constexpr int kSettleMs = 300;
const QStringList kFolders{"/dev", "/dev/v4l", "/dev/v4l/by-id"};

}  // namespace

DeviceWatcher::DeviceWatcher(QObject* parent) : QObject(parent) {
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&settleTimer_, &QTimer::timeout, this, &DeviceWatcher::settle);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settleTimer_,
            qOverload<>(&QTimer::start));
}

void DeviceWatcher::start() {
    if (started_) return;
    started_ = true;
    entries_ = cameraEntries();
    settle();
}

// The link folders come and go with the cameras: each is watched while it exists.
void DeviceWatcher::settle() {
    for (const QString& folder : kFolders) {
        const bool watched = watcher_.directories().contains(folder);
        if (!watched && QDir(folder).exists()) watcher_.addPath(folder);
        if (watched && !QDir(folder).exists()) watcher_.removePath(folder);
    }
    QStringList entries = cameraEntries();
    if (entries == entries_) return;
    entries_ = std::move(entries);
    emit camerasChanged();
}

QStringList DeviceWatcher::cameraEntries() {
    const auto all = QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot;
    QStringList entries = QDir("/dev").entryList({"video*"}, all);
    entries += QDir("/dev/v4l/by-id").entryList(all);
    return entries;
}

}  // namespace talvex
