#pragma once

#include <QWidget>
#include <vector>

#include "core/TakeReport.h"

class QVBoxLayout;

namespace talvex {

// The take report under the record button: one small line per entry of the
// report, warnings in the orange of the hints, figures in the secondary colour.
class TakeReportView : public QWidget {
    Q_OBJECT
public:
    explicit TakeReportView(QWidget* parent = nullptr);

    void setLines(const std::vector<TakeLine>& lines);
    // The lines shown, and whether each is a warning.
    const std::vector<TakeLine>& lines() const { return lines_; }

private:
    QVBoxLayout* column_ = nullptr;
    std::vector<TakeLine> lines_;
};

}  // namespace talvex
