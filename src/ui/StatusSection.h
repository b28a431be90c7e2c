#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace talvex {

class GyroMonitor;
class GyroReceiver;
class IPCServer;
class SessionManager;
class StatusRow;

// The command port's and the gyroscope's status with a live chart of the
// phone's rates, and the phone's address.
class StatusSection : public QWidget {
    Q_OBJECT
public:
    StatusSection(IPCServer& ipc, GyroReceiver& gyro, SessionManager& session,
                  QWidget* parent = nullptr);

private:
    void refreshListener();
    void refreshGyro();
    void addressEdited(const QString& text);

    IPCServer& ipc_;
    GyroReceiver& gyro_;
    StatusRow* lumetra_ = nullptr;
    StatusRow* gyroRow_ = nullptr;
    GyroMonitor* monitor_ = nullptr;
    QLabel* hint_ = nullptr;
    QLineEdit* address_ = nullptr;
    QPushButton* connect_ = nullptr;
};

}  // namespace talvex
