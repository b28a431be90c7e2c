#include "ui/CamerasSection.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/CameraManager.h"
#include "app/SessionManager.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

const char* const kNoDevice = "— none —";

QPushButton* captionButton(const QIcon& icon, const QString& text, const char* name,
                           QWidget* parent) {
    auto* button = new QPushButton(icon, text, parent);
    button->setObjectName(name);
    button->setFont(ui::captionFont());
    return button;
}

}  // namespace

CamerasSection::CamerasSection(CameraManager& cameras, SessionManager& session, QWidget* parent)
    : QWidget(parent), cameras_(cameras), session_(session) {
    auto* column = ui::sectionColumn(this, "Cameras",
                                     ui::symbolIcon("camera-photo", QStyle::SP_ComputerIcon), 8);

    for (int index = 0; index < 2; ++index) {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        auto* label = new QLabel(QString("Cam %1:").arg(index + 1), this);
        label->setFont(ui::monoFont(13));
        label->setFixedWidth(52);
        row->addWidget(label);
        row->addWidget(makePicker(index), 1);
        column->addLayout(row);
    }

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    auto* scan = captionButton(ui::symbolIcon("view-refresh", QStyle::SP_BrowserReload), "Scan",
                               "scanButton", this);
    auto* rename = captionButton(ui::symbolIcon("document-edit", QStyle::SP_FileDialogDetailedView),
                                 "Rename…", "renameButton", this);
    apply_ = new QPushButton("Apply", this);
    apply_->setObjectName("applyButton");
    apply_->setDefault(true);
    buttons->addWidget(scan);
    buttons->addWidget(rename);
    buttons->addStretch();
    buttons->addWidget(apply_);
    column->addLayout(buttons);

    swap_ = captionButton(ui::symbolIcon("object-flip-horizontal", QStyle::SP_BrowserReload),
                          QString(), "swapButton", this);
    column->addWidget(swap_, 0, Qt::AlignLeft);

    connect(scan, &QPushButton::clicked, &cameras_, &CameraManager::scan);
    connect(rename, &QPushButton::clicked, this, &CamerasSection::renameRequested);
    connect(apply_, &QPushButton::clicked, this, &CamerasSection::apply);
    connect(swap_, &QPushButton::clicked, this,
            [this] { cameras_.setCamerasSwapped(!cameras_.camerasSwapped()); });
    connect(&cameras_, &CameraManager::availableDevicesChanged, this, &CamerasSection::fillPickers);
    connect(&cameras_, &CameraManager::openedRecordersChanged, this,
            &CamerasSection::refreshButtons);
    connect(&cameras_, &CameraManager::camerasSwappedChanged, this,
            &CamerasSection::refreshButtons);
    connect(&session_, &SessionManager::recordingStateChanged, this,
            &CamerasSection::refreshButtons);
    fillPickers();
    refreshButtons();
}

std::optional<CameraDevice> CamerasSection::slot(int index) const {
    return slots_[index];
}

QComboBox* CamerasSection::makePicker(int index) {
    auto* picker = new QComboBox(this);
    picker->setObjectName(index == 0 ? "cam1Picker" : "cam2Picker");
    picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker->setMinimumContentsLength(10);
    connect(picker, &QComboBox::activated, this,
            [this, index](int pickerIndex) { choose(index, pickerIndex); });
    pickers_[index] = picker;
    return picker;
}

// Rebuilds the entries from the device list; the chosen device stays chosen
// (under its new name) even when a scan no longer lists it.
void CamerasSection::fillPickers() {
    std::vector<CameraDevice> devices = cameras_.availableDevices();
    for (int index = 0; index < 2; ++index) {
        QComboBox* picker = pickers_[index];
        QSignalBlocker blocker(picker);
        picker->clear();
        picker->addItem(kNoDevice, QString());
        int selected = 0;
        for (const CameraDevice& device : devices) {
            picker->addItem(QString::fromStdString(device.name), QString::fromStdString(device.id));
            if (slots_[index] && *slots_[index] == device) {
                selected = picker->count() - 1;
                slots_[index] = device;
            }
        }
        if (slots_[index] && selected == 0) {
            picker->addItem(QString::fromStdString(slots_[index]->name),
                            QString::fromStdString(slots_[index]->id));
            selected = picker->count() - 1;
        }
        picker->setCurrentIndex(selected);
    }
    refreshButtons();
}

void CamerasSection::choose(int slotIndex, int pickerIndex) {
    std::string id = pickers_[slotIndex]->itemData(pickerIndex).toString().toStdString();
    slots_[slotIndex].reset();
    for (const CameraDevice& device : cameras_.availableDevices())
        if (!id.empty() && device.id == id) slots_[slotIndex] = device;
    refreshButtons();
}

void CamerasSection::apply() {
    if (!slots_[0]) return;
    std::vector<CameraDevice> chosen{*slots_[0]};
    if (slots_[1]) chosen.push_back(*slots_[1]);
    cameras_.openCameras(chosen);
}

void CamerasSection::refreshButtons() {
    apply_->setEnabled(slots_[0].has_value());
    bool two = cameras_.openedRecorders().size() == 2;
    swap_->setVisible(two);
    swap_->setText(cameras_.camerasSwapped() ? "Swap: R→L" : "Swap: L→R");
    swap_->setEnabled(!session_.recordingState().recording);
}

}  // namespace talvex
