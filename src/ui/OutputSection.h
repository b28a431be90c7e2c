#pragma once

#include <QWidget>

class QLabel;

namespace talvex {

class SessionManager;

// Where sessions are written, and the folder chooser that changes it.
class OutputSection : public QWidget {
    Q_OBJECT
public:
    explicit OutputSection(SessionManager& session, QWidget* parent = nullptr);

private:
    void browse();
    void refresh();

    SessionManager& session_;
    QLabel* path_ = nullptr;
};

}  // namespace talvex
