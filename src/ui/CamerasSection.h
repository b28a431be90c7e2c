#pragma once

#include <QWidget>
#include <optional>
#include <vector>

#include "core/CameraDevice.h"

class QComboBox;
class QPushButton;

namespace talvex {

class CameraManager;
class SessionManager;

// The two camera pickers, Scan, Rename…, Apply and the swap button. The
// pickers keep the user's choice; they do not follow the open cameras.
class CamerasSection : public QWidget {
    Q_OBJECT
public:
    CamerasSection(CameraManager& cameras, SessionManager& session, QWidget* parent = nullptr);

    std::optional<CameraDevice> slot(int index) const;

signals:
    void renameRequested();

private:
    QComboBox* makePicker(int index);
    void fillPickers();
    void choose(int slotIndex, int pickerIndex);
    void apply();
    void refreshButtons();

    CameraManager& cameras_;
    SessionManager& session_;
    std::optional<CameraDevice> slots_[2];
    QComboBox* pickers_[2] = {nullptr, nullptr};
    QPushButton* apply_ = nullptr;
    QPushButton* swap_ = nullptr;
};

}  // namespace talvex
