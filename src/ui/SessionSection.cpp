#include "ui/SessionSection.h"

#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/SessionManager.h"
#include "ui/UiStyle.h"

namespace talvex {

SessionSection::SessionSection(SessionManager& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      nameField_(new QLineEdit(this)),
      sessionId_(new QLabel(this)) {
    nameField_->setObjectName("sessionNameField");
    nameField_->setPlaceholderText("Name override (optional)");
    nameField_->setFont(ui::monoFont(13));
    sessionId_->setObjectName("sessionIdLabel");
    sessionId_->setFont(ui::monoFont(11));
    ui::limitLines(sessionId_, 2);
    ui::setTextColor(sessionId_, ui::secondaryColor());

    auto* column =
        ui::sectionColumn(this, "Session", ui::symbolIcon("folder", QStyle::SP_DirIcon), 6);
    column->addWidget(nameField_);
    column->addWidget(sessionId_);

    connect(&session_, &SessionManager::recordingStateChanged, this, &SessionSection::refresh);
    refresh();
}

std::optional<std::string> SessionSection::sessionName() const {
    if (nameField_->text().isEmpty()) return std::nullopt;
    return nameField_->text().toStdString();
}

void SessionSection::refresh() {
    RecordingState state = session_.recordingState();
    sessionId_->setText(QString::fromStdString(state.sessionId));
    sessionId_->setVisible(state.recording);
}

}  // namespace talvex
