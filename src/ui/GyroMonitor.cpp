#include "ui/GyroMonitor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "ui/GyroChart.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

QLabel* captionLabel(const char* name, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(ui::captionFont());
    ui::setTextColor(label, color);
    // Wide enough for the longest text, so the chart keeps its width.
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance("gap 88.8 s"));
    return label;
}

}  // namespace

GyroMonitor::GyroMonitor(QWidget* parent)
    : QWidget(parent),
      chart_(new GyroChart(trace_, this)),
      rate_(captionLabel("gyroRateLabel", ui::secondaryColor(), this)),
      gap_(captionLabel("gyroGapLabel", ui::warningOrange(), this)),
      refreshTimer_(new QTimer(this)) {
    chart_->setObjectName("gyroChart");
    gap_->setToolTip("Longest pause between two gyroscope samples in this recording");
    gap_->hide();
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setInterval(kRefreshIntervalMs);
    connect(refreshTimer_, &QTimer::timeout, this, &GyroMonitor::refresh);

    auto* captions = new QVBoxLayout;
    captions->setSpacing(2);
    captions->addWidget(rate_);
    captions->addWidget(gap_);
    captions->addStretch();
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(chart_, 1);
    row->addLayout(captions);
}

void GyroMonitor::addSamples(const GyroSampleBatch& batch) {
    if (batch.empty()) return;
    trace_.add(batch);
    scheduleRefresh();
}

void GyroMonitor::clear() {
    if (trace_.empty()) return;
    trace_.clear();
    scheduleRefresh();
}

void GyroMonitor::setRecording(bool recording) {
    if (recording == trace_.isRecording()) return;
    if (recording)
        trace_.beginRecording();
    else
        trace_.endRecording();
    refresh();
}

// Batches arrive 20 times a second or faster; one timer turns any number of
// them into a single repaint.
void GyroMonitor::scheduleRefresh() {
    if (!refreshTimer_->isActive()) refreshTimer_->start();
}

void GyroMonitor::refresh() {
    double rate = trace_.sampleRate();
    rate_->setText(rate > 0 ? QString("%1 Hz").arg(std::lround(rate)) : QString());
    gap_->setText(QString("gap %1 s").arg(trace_.longestGap(), 0, 'f', 1));
    gap_->setVisible(trace_.gapWarning());
    chart_->update();
}

}  // namespace talvex
