#include "ui/StatusRow.h"

#include <QHBoxLayout>
#include <QLabel>

#include "ui/StatusDot.h"
#include "ui/UiStyle.h"

namespace talvex {

StatusRow::StatusRow(const QString& label, QWidget* parent)
    : QWidget(parent),
      dot_(new StatusDot(12, this)),
      label_(new QLabel(label, this)),
      detail_(new QLabel(this)) {
    dot_->setObjectName("dot");
    label_->setObjectName("label");
    detail_->setObjectName("detail");
    label_->setFont(ui::monoFont(13, QFont::Medium));
    label_->setFixedWidth(120);
    detail_->setFont(ui::monoFont(12));
    ui::setTextColor(detail_, ui::secondaryColor());

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
    row->addWidget(label_, 0, Qt::AlignVCenter);
    row->addWidget(detail_, 1, Qt::AlignVCenter);
    setState(false, {});
}

void StatusRow::setState(bool active, const QString& detail, bool warning) {
    detail_->setText(detail);
    auto withAlpha = [](QColor color, float alpha) {
        color.setAlphaF(alpha);
        return color;
    };
    if (active)
        dot_->setColors(ui::activeGreen(), withAlpha(ui::activeGreen(), 0.6f));
    else if (warning)
        dot_->setColors(ui::warningOrange(), withAlpha(ui::warningOrange(), 0.5f));
    else
        dot_->setColors(withAlpha(Qt::gray, 0.4f), QColor());
}

QString StatusRow::detail() const {
    return detail_->text();
}

}  // namespace talvex
