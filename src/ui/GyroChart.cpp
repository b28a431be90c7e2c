#include "ui/GyroChart.h"

#include <QPainter>
#include <QPainterPath>

#include "core/GyroTrace.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

constexpr int kLegendHeight = 12;

double axisValue(const GyroSample& sample, int axis) {
    return axis == 0 ? sample.x : axis == 1 ? sample.y : sample.z;
}

}  // namespace

GyroChart::GyroChart(const GyroTrace& trace, QWidget* parent) : QWidget(parent), trace_(trace) {
    setMinimumHeight(sizeHint().height());
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QColor GyroChart::axisColor(int axis) {
    static const QColor colors[] = {QColor(240, 80, 70), QColor(70, 200, 110),
                                    QColor(80, 150, 255)};
    return colors[axis];
}

QRect GyroChart::plotRect() const {
    return rect().adjusted(0, kLegendHeight, 0, 0);
}

void GyroChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRect plot = plotRect();
    painter.setPen(ui::secondaryColor());
    painter.drawRect(plot.adjusted(0, 0, -1, -1));
    if (trace_.empty()) return;
    paintLegend(painter);
    paintTraces(painter);
}

// A short line in each axis' colour with the axis' name, and the scale.
void GyroChart::paintLegend(QPainter& painter) const {
    painter.setFont(ui::captionFont());
    QRect strip(0, 0, width(), kLegendHeight);
    int x = 0;
    for (int axis = 0; axis < 3; ++axis) {
        painter.setPen(QPen(axisColor(axis), 2));
        painter.drawLine(x, strip.center().y(), x + 10, strip.center().y());
        painter.setPen(ui::secondaryColor());
        QString name = QString(QChar('x' + axis));
        painter.drawText(strip.adjusted(x + 13, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, name);
        x += 13 + painter.fontMetrics().horizontalAdvance(name) + 10;
    }
    painter.drawText(strip, Qt::AlignRight | Qt::AlignVCenter,
                     QString("±%1 rad/s").arg(trace_.scale()));
}

// Time runs left to right over the window, ending at the newest sample at the
// right edge; +scale is the top of the plot, -scale its bottom.
void GyroChart::paintTraces(QPainter& painter) const {
    QRectF area = QRectF(plotRect()).adjusted(1, 2, -1, -2);
    double start = trace_.windowStart();
    double xPerSecond = area.width() / GyroTrace::kWindowSeconds;
    double yPerRate = area.height() / 2 / trace_.scale();
    double middle = area.center().y();
    QColor zero = ui::secondaryColor();
    zero.setAlphaF(0.25f);
    painter.setPen(zero);
    painter.drawLine(QPointF(area.left(), middle), QPointF(area.right(), middle));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(area);
    for (int axis = 0; axis < 3; ++axis) {
        QPainterPath path;
        for (const GyroSample& sample : trace_.samples()) {
            QPointF point(area.left() + (sample.timestamp - start) * xPerSecond,
                          middle - axisValue(sample, axis) * yPerRate);
            if (path.elementCount() == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        painter.strokePath(path, QPen(axisColor(axis), 2));
    }
}

}  // namespace talvex
