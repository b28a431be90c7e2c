#include "ui/LumetraLocator.h"

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QSortFilterProxyModel>

#include "app/LumetraHandoff.h"

namespace talvex {

namespace {

const char* const kApplicationsFolder = "/usr/share/applications";

// Shows folders, desktop entries and programs only.
class ApplicationFilter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
        if (!files) return true;
        QFileInfo info = files->fileInfo(files->index(row, 0, parent));
        return info.isDir() || info.suffix() == "desktop" || info.isExecutable();
    }
};

void addMessage(QFileDialog* dialog, const QString& message) {
    auto* grid = qobject_cast<QGridLayout*>(dialog->layout());
    if (!grid) return;
    auto* label = new QLabel(message, dialog);
    label->setObjectName("locateMessage");
    grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

void locateLumetra(QWidget* parent, std::function<void(bool)> completion) {
    QString start = QDir(kApplicationsFolder).exists() ? kApplicationsFolder : QDir::homePath();
    auto* dialog = new QFileDialog(parent, "Locate Lumetra", start);
    dialog->setObjectName("locateLumetraDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The Qt dialog, so the message and the filter can be added to it.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setLabelText(QFileDialog::Accept, "Select");
    dialog->setNameFilter("Applications (*)");
    dialog->setProxyModel(new ApplicationFilter(dialog));
    addMessage(dialog, "Select the Lumetra application");
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, completion](int result) {
        QStringList chosen = dialog->selectedFiles();
        bool stored = result == QDialog::Accepted && !chosen.isEmpty() && !chosen.first().isEmpty();
        if (stored) setLumetraAppPath(chosen.first().toStdString());
        completion(stored);
    });
    dialog->open();
}

}  // namespace talvex
