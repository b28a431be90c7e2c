#include "ui/OutputSection.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/SessionManager.h"
#include "ui/UiStyle.h"

namespace talvex {

OutputSection::OutputSection(SessionManager& session, QWidget* parent)
    : QWidget(parent), session_(session), path_(new QLabel(this)) {
    path_->setObjectName("outputPathLabel");
    path_->setFont(ui::monoFont(11));
    ui::limitLines(path_, 2);
    path_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui::setTextColor(path_, ui::secondaryColor());
    auto* browse = new QPushButton("Browse…", this);
    browse->setObjectName("browseButton");

    auto* column = ui::sectionColumn(
        this, "Output", ui::symbolIcon("folder-new", QStyle::SP_FileDialogNewFolder), 6);
    column->addWidget(path_);
    column->addWidget(browse, 0, Qt::AlignLeft);

    connect(browse, &QPushButton::clicked, this, &OutputSection::browse);
    connect(&session_, &SessionManager::outputRootChanged, this, &OutputSection::refresh);
    refresh();
}

void OutputSection::browse() {
    QFileDialog dialog(this, QString(), QString::fromStdString(session_.outputRoot()));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, "Select");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    session_.setOutputRoot(dialog.selectedFiles().first().toStdString());
}

void OutputSection::refresh() {
    path_->setText(QString::fromStdString(session_.outputRoot()));
}

}  // namespace talvex
