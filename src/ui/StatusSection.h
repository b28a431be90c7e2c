#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace talvex {

class GyroReceiver;
class IPCServer;
class StatusRow;

// The command port's and the gyroscope's status, and the phone's address.
class StatusSection : public QWidget {
    Q_OBJECT
public:
    StatusSection(IPCServer& ipc, GyroReceiver& gyro, QWidget* parent = nullptr);

private:
    void refreshListener();
    void refreshGyro();
    void addressEdited(const QString& text);

    IPCServer& ipc_;
    GyroReceiver& gyro_;
    StatusRow* lumetra_ = nullptr;
    StatusRow* gyroRow_ = nullptr;
    QLabel* hint_ = nullptr;
    QLineEdit* address_ = nullptr;
    QPushButton* connect_ = nullptr;
};

}  // namespace talvex
