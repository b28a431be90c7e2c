#include "ui/LumetraRow.h"

#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>

#include "app/LumetraHandoff.h"
#include "app/SessionManager.h"
#include "ui/LumetraLocator.h"
#include "ui/UiStyle.h"

namespace talvex {

LumetraRow::LumetraRow(SessionManager& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      open_(new QPushButton(ui::symbolIcon("view-visible", QStyle::SP_FileDialogContentsView),
                            "Open in Lumetra", this)),
      gear_(new QToolButton(this)) {
    open_->setObjectName("openInLumetraButton");
    gear_->setObjectName("lumetraGearButton");
    gear_->setIcon(ui::symbolIcon("preferences-system", QStyle::SP_FileDialogDetailedView));
    gear_->setAutoRaise(false);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(open_, 1);
    row->addWidget(gear_);

    connect(open_, &QPushButton::clicked, this, &LumetraRow::open);
    connect(gear_, &QToolButton::clicked, this, &LumetraRow::locate);
    connect(&session_, &SessionManager::recordingStateChanged, this, &LumetraRow::refresh);
    connect(&session_, &SessionManager::lastSessionDirChanged, this, &LumetraRow::refresh);
    refresh();
}

void LumetraRow::refresh() {
    bool idle = !session_.recordingState().recording;
    setVisible(idle && session_.lastSessionVideoURL().has_value());
    bool configured = isLumetraConfigured();
    open_->setEnabled(configured);
    gear_->setToolTip(configured ? "Lumetra: " + QString::fromStdString(lumetraAppPath())
                                 : QString("Locate Lumetra…"));
}

void LumetraRow::open() {
    std::optional<std::string> video = session_.lastSessionVideoURL();
    if (!video) return;
    openInLumetra(*video, session_.lastSessionGyroURL(),
                  [row = QPointer<LumetraRow>(this)](const std::optional<std::string>& error) {
                      if (row && error) emit row->lumetraError(QString::fromStdString(*error));
                  });
}

void LumetraRow::locate() {
    locateLumetra(window(), [row = QPointer<LumetraRow>(this)](bool stored) {
        if (!row) return;
        row->refresh();
        if (!stored) emit row->lumetraError("Lumetra was not selected.");
    });
}

}  // namespace talvex
