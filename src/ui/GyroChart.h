#pragma once

#include <QColor>
#include <QWidget>

namespace talvex {

class GyroTrace;

// Strip chart of a GyroTrace: the x, y and z rates of its window as three
// coloured lines on a shared ±scale, under a legend with the scale. Draws
// nothing but its frame while the trace is empty. Repaints only when asked.
class GyroChart : public QWidget {
    Q_OBJECT
public:
    explicit GyroChart(const GyroTrace& trace, QWidget* parent = nullptr);

    // The line colour of axis 0 (x), 1 (y) or 2 (z).
    static QColor axisColor(int axis);
    // Where the lines go, below the legend.
    QRect plotRect() const;

    // The legend and a plot tall enough to tell the three rates apart.
    QSize sizeHint() const override { return {200, 48}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintLegend(QPainter& painter) const;
    void paintTraces(QPainter& painter) const;

    const GyroTrace& trace_;
};

}  // namespace talvex
