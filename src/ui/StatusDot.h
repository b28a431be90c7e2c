#pragma once

#include <QColor>
#include <QWidget>

namespace talvex {

// A filled 12 px circle with an optional soft glow around it.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    explicit StatusDot(QWidget* parent = nullptr);

    // An invalid glow colour draws no glow.
    void setColors(const QColor& fill, const QColor& glow);
    QColor fill() const { return fill_; }
    QColor glow() const { return glow_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_ = Qt::gray;
    QColor glow_;
};

}  // namespace talvex
