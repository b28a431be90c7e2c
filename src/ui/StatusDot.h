#pragma once

#include <QColor>
#include <QWidget>

namespace talvex {

// A filled circle with an optional soft glow around it.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    explicit StatusDot(int diameter = 12, QWidget* parent = nullptr);

    // An invalid glow colour draws no glow.
    void setColors(const QColor& fill, const QColor& glow);
    QColor fill() const { return fill_; }
    QColor glow() const { return glow_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int diameter_ = 12;
    QColor fill_ = Qt::gray;
    QColor glow_;
};

}  // namespace talvex
