#include "ui/TakeReportView.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/UiStyle.h"

namespace talvex {

TakeReportView::TakeReportView(QWidget* parent) : QWidget(parent), column_(new QVBoxLayout(this)) {
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(1);
}

void TakeReportView::setLines(const std::vector<TakeLine>& lines) {
    if (lines == lines_) return;
    lines_ = lines;
    while (QLayoutItem* item = column_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        auto* label = new QLabel(QString::fromStdString(lines_[i].text), this);
        label->setObjectName(QString("takeLine%1").arg(i));
        label->setFont(ui::monoFont(11));
        label->setWordWrap(true);
        ui::setTextColor(label, lines_[i].warning ? ui::warningOrange() : ui::secondaryColor());
        column_->addWidget(label);
    }
}

}  // namespace talvex
