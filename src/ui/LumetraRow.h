#pragma once

#include <QWidget>

class QPushButton;
class QToolButton;

namespace talvex {

class SessionManager;

// "Open in Lumetra" and the gear that locates Lumetra. Visible only while
// idle and the last finished session has a video file.
class LumetraRow : public QWidget {
    Q_OBJECT
public:
    explicit LumetraRow(SessionManager& session, QWidget* parent = nullptr);

    // Re-reads the session's files and the stored Lumetra path.
    void refresh();

signals:
    // A hand-off problem for the user.
    void lumetraError(const QString& text);

private:
    void open();
    void locate();

    SessionManager& session_;
    QPushButton* open_ = nullptr;
    QToolButton* gear_ = nullptr;
};

}  // namespace talvex
