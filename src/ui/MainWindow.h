#pragma once

#include <QWidget>

#include "app/StationOptions.h"

class QMessageBox;

namespace talvex {

class CamerasSection;
class PreviewArea;
class RecordSection;
class SessionSection;
class TalvexApp;

// The station's one window: previews on the left, the side panel with the
// cameras, session, output, status and record sections on the right.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(TalvexApp& app, QWidget* parent = nullptr);

    // True once a close has been asked for while a session was still running.
    bool isFinishing() const { return finishing_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildSidePanel();
    void cameraErrorChanged();
    void showLumetraError(const QString& text);
    void openRenameSheet();

    TalvexApp& app_;
    PreviewArea* previews_ = nullptr;
    CamerasSection* cameras_ = nullptr;
    SessionSection* session_ = nullptr;
    RecordSection* record_ = nullptr;
    QMessageBox* cameraAlert_ = nullptr;
    QMessageBox* lumetraAlert_ = nullptr;
    bool finishing_ = false;
};

// Builds the one window and runs the event loop.
int runWindowStation(const StationOptions& options);

}  // namespace talvex
