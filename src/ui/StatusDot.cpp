#include "ui/StatusDot.h"

#include <QPainter>
#include <QRadialGradient>

namespace talvex {

namespace {
constexpr int kGlowRadius = 4;
}  // namespace

StatusDot::StatusDot(int diameter, QWidget* parent) : QWidget(parent), diameter_(diameter) {
    setFixedSize(diameter + 2 * kGlowRadius, diameter + 2 * kGlowRadius);
}

void StatusDot::setColors(const QColor& fill, const QColor& glow) {
    if (fill == fill_ && glow == glow_) return;
    fill_ = fill;
    glow_ = glow;
    update();
}

void StatusDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QPointF centre = rect().center() + QPointF(0.5, 0.5);
    if (glow_.isValid() && glow_.alpha() > 0) {
        QRadialGradient halo(centre, diameter_ / 2.0 + kGlowRadius);
        QColor outer = glow_;
        outer.setAlpha(0);
        halo.setColorAt(0.5, glow_);
        halo.setColorAt(1.0, outer);
        painter.setBrush(halo);
        painter.drawEllipse(centre, diameter_ / 2.0 + kGlowRadius, diameter_ / 2.0 + kGlowRadius);
    }
    painter.setBrush(fill_);
    painter.drawEllipse(centre, diameter_ / 2.0, diameter_ / 2.0);
}

}  // namespace talvex
