#pragma once

#include <QWidget>

#include "core/GyroSample.h"
#include "core/GyroTrace.h"

class QLabel;
class QTimer;

namespace talvex {

class GyroChart;

// The live look at the phone: the strip chart of the last seconds and, beside
// it, the measured sample rate and, while a session records, the longest gap
// once it is worth a warning. Batches are taken as they come; the picture
// follows at most 30 times a second, and only after new samples.
class GyroMonitor : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshIntervalMs = 34;

    explicit GyroMonitor(QWidget* parent = nullptr);

    void addSamples(const GyroSampleBatch& batch);
    // The phone stopped measuring: the chart empties.
    void clear();
    void setRecording(bool recording);

    const GyroTrace& trace() const { return trace_; }
    GyroChart* chart() const { return chart_; }

private:
    void scheduleRefresh();
    void refresh();

    GyroTrace trace_;
    GyroChart* chart_ = nullptr;
    QLabel* rate_ = nullptr;
    QLabel* gap_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
};

}  // namespace talvex
