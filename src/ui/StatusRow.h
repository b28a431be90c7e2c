#pragma once

#include <QWidget>

class QLabel;

namespace talvex {

class StatusDot;

// One status line: a coloured dot, a label and a detail text. Green when
// active, else orange when warning, else a faint gray; active wins.
class StatusRow : public QWidget {
    Q_OBJECT
public:
    explicit StatusRow(const QString& label, QWidget* parent = nullptr);

    void setState(bool active, const QString& detail, bool warning = false);

    QString detail() const;
    const StatusDot* dot() const { return dot_; }

private:
    StatusDot* dot_ = nullptr;
    QLabel* label_ = nullptr;
    QLabel* detail_ = nullptr;
};

}  // namespace talvex
