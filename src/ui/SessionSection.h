#pragma once

#include <QWidget>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;

namespace talvex {

class SessionManager;

// The session name override and, while recording, the running session's id.
class SessionSection : public QWidget {
    Q_OBJECT
public:
    explicit SessionSection(SessionManager& session, QWidget* parent = nullptr);

    // The typed name as it stands (no trimming), or none when the field is empty.
    std::optional<std::string> sessionName() const;

private:
    void refresh();

    SessionManager& session_;
    QLineEdit* nameField_ = nullptr;
    QLabel* sessionId_ = nullptr;
};

}  // namespace talvex
