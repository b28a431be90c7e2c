#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QLabel;
class QPushButton;

namespace talvex {

class CameraManager;
class LumetraRow;
class SessionManager;
class TakeReportView;

// The bottom of the side panel: elapsed time, the record button, the hint
// when no camera is open, why the last start could not begin, the report of
// the last take, and the hand-off row after a finished session.
class RecordSection : public QWidget {
    Q_OBJECT
public:
    using NameSource = std::function<std::optional<std::string>()>;

    RecordSection(SessionManager& session, CameraManager& cameras, NameSource sessionName,
                  QWidget* parent = nullptr);

    LumetraRow* lumetraRow() const { return lumetra_; }
    TakeReportView* takeReport() const { return takeReport_; }

signals:
    void lumetraError(const QString& text);

private:
    void record();
    void refresh();

    SessionManager& session_;
    CameraManager& cameras_;
    NameSource sessionName_;
    QLabel* elapsed_ = nullptr;
    QPushButton* button_ = nullptr;
    QLabel* hint_ = nullptr;
    QLabel* notice_ = nullptr;
    TakeReportView* takeReport_ = nullptr;
    LumetraRow* lumetra_ = nullptr;
};

}  // namespace talvex
