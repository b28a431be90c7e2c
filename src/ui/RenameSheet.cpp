#include "ui/RenameSheet.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/CameraManager.h"
#include "ui/StatusDot.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(ui::captionFont());
    ui::setTextColor(label, ui::secondaryColor());
    return label;
}

}  // namespace

RenameSheet::RenameSheet(CameraManager& cameras, QWidget* parent)
    : QDialog(parent), cameras_(cameras), rows_(new QWidget(this)) {
    setObjectName("renameSheet");
    setWindowTitle("Rename Cameras");
    setFixedSize(600, 300);
    setModal(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    auto* title = new QLabel("Rename Cameras", this);
    QFont titleFont = QApplication::font();
    titleFont.setPixelSize(17);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    column->addWidget(title);
    column->addWidget(
        secondaryLabel("Names are saved permanently and shown in the camera dropdowns.", this));
    column->addWidget(ui::divider(this));
    rowsLayout_ = new QVBoxLayout(rows_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    column->addWidget(rows_);
    column->addStretch();

    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    auto* done = new QPushButton("Done", this);
    done->setObjectName("renameDoneButton");
    done->setDefault(true);
    bottom->addWidget(done);
    column->addLayout(bottom);

    for (const CameraDevice& device : cameras_.availableDevices()) names_[device.id] = device.name;
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    connect(&cameras_, &CameraManager::availableDevicesChanged, this, &RenameSheet::rebuildRows);
    rebuildRows();
}

void RenameSheet::rebuildRows() {
    for (QWidget* old : rows_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        old->hide();
        old->deleteLater();
    }
    const std::vector<CameraDevice>& devices = cameras_.availableDevices();
    if (devices.empty()) {
        auto* empty = new QLabel("No cameras found — click Scan first.", rows_);
        empty->setObjectName("renameEmptyLabel");
        empty->setAlignment(Qt::AlignCenter);
        empty->setMargin(8);
        ui::setTextColor(empty, ui::secondaryColor());
        rowsLayout_->addWidget(empty);
        return;
    }
    for (std::size_t i = 0; i < devices.size(); ++i)
        rowsLayout_->addWidget(makeRow(static_cast<int>(i), devices[i]));
}

QWidget* RenameSheet::makeRow(int index, const CameraDevice& device) {
    auto* row = new QWidget(rows_);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    auto* dot = new StatusDot(8, row);
    dot->setColors(ui::activeGreen(), QColor());
    auto* systemName = secondaryLabel(QString::fromStdString(device.systemName), row);
    systemName->setFixedWidth(170);
    auto* arrow = secondaryLabel("→", row);
    auto* field = new QLineEdit(row);
    field->setObjectName(QString("renameField%1").arg(index));
    field->setPlaceholderText("Name");
    field->setFixedWidth(160);
    auto known = names_.find(device.id);
    field->setText(QString::fromStdString(known != names_.end() ? known->second : device.name));
    auto* saveButton = new QPushButton("Save", row);
    saveButton->setObjectName(QString("renameSave%1").arg(index));

    layout->addWidget(dot, 0, Qt::AlignVCenter);
    layout->addWidget(systemName);
    layout->addWidget(arrow);
    layout->addWidget(field);
    layout->addWidget(saveButton);
    layout->addStretch();

    connect(field, &QLineEdit::textEdited, this,
            [this, id = device.id](const QString& text) { names_[id] = text.toStdString(); });
    connect(saveButton, &QPushButton::clicked, this, [this, device] { save(device); });
    return row;
}

void RenameSheet::save(const CameraDevice& device) {
    auto known = names_.find(device.id);
    std::string name = known != names_.end() ? known->second : device.name;
    if (name.empty()) return;
    cameras_.registry().setName(name, device.id);
    cameras_.scan();
}

}  // namespace talvex
