#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace talvex {

// Notices cameras coming and going: watches /dev for video nodes and
// /dev/v4l/by-id for the links udev makes a moment after a node. Main thread.
class DeviceWatcher : public QObject {
    Q_OBJECT
public:
    explicit DeviceWatcher(QObject* parent = nullptr);
    void start();

signals:
    // The set of video nodes or by-id links changed (once they have settled).
    void camerasChanged();

private:
    void settle();
    static QStringList cameraEntries();

    QFileSystemWatcher watcher_;
    QTimer settleTimer_;
    QStringList entries_;
    bool started_ = false;
};

}  // namespace talvex
