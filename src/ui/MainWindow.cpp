#include "ui/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/TalvexApp.h"
#include "ui/CamerasSection.h"
#include "ui/LumetraRow.h"
#include "ui/OutputSection.h"
#include "ui/PreviewArea.h"
#include "ui/RecordSection.h"
#include "ui/RenameSheet.h"
#include "ui/SessionSection.h"
#include "ui/StatusSection.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

constexpr int kSidePanelWidth = 320;
constexpr int kPanelMargin = 14;

QMessageBox* makeAlert(const QString& title, const char* name, QWidget* parent) {
    auto* alert = new QMessageBox(QMessageBox::Warning, title, QString(), QMessageBox::Ok, parent);
    alert->setObjectName(name);
    alert->setWindowModality(Qt::WindowModal);
    return alert;
}

}  // namespace

MainWindow::MainWindow(TalvexApp& app, QWidget* parent)
    : QWidget(parent),
      app_(app),
      previews_(new PreviewArea(app.cameras(), app.session(), this)),
      cameraAlert_(makeAlert("Camera Error", "cameraErrorAlert", this)),
      lumetraAlert_(makeAlert("Lumetra", "lumetraAlert", this)) {
    setObjectName("mainWindow");
    setWindowTitle("Talvex");
    setMinimumSize(960, 620);
    resize(1200, 720);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(previews_, 1);
    row->addWidget(buildSidePanel());

    connect(&app_.cameras(), &CameraManager::errorMessageChanged, this,
            &MainWindow::cameraErrorChanged);
    connect(cameraAlert_, &QMessageBox::finished, this,
            [this] { app_.cameras().setErrorMessage(std::nullopt); });
    connect(lumetraAlert_, &QMessageBox::finished, this, [this] { lumetraAlert_->setText({}); });
    cameraErrorChanged();
}

QWidget* MainWindow::buildSidePanel() {
    auto* panel = new QWidget(this);
    panel->setObjectName("sidePanel");
    panel->setFixedWidth(kSidePanelWidth);
    panel->setAutoFillBackground(true);

    auto* title = new QLabel("Talvex", panel);
    title->setObjectName("titleLabel");
    title->setFont(ui::monoFont(20, QFont::Bold));
    title->setContentsMargins(0, 8, 0, 0);

    cameras_ = new CamerasSection(app_.cameras(), app_.session(), panel);
    session_ = new SessionSection(app_.session(), panel);
    auto* output = new OutputSection(app_.session(), panel);
    auto* status = new StatusSection(app_.ipc(), app_.gyro(), app_.session(), panel);
    record_ = new RecordSection(
        app_.session(), app_.cameras(), [this] { return session_->sessionName(); }, panel);

    // Everything above the record section scrolls when the window is too low
    // for all of it; the record section, with the take report, stays in view.
    auto* upper = new QWidget;
    upper->setObjectName("sidePanelSections");
    auto* sections = new QVBoxLayout(upper);
    sections->setContentsMargins(0, 0, 0, 0);
    sections->setSpacing(kPanelMargin);
    const std::initializer_list<QWidget*> items = {
        title,  ui::divider(panel), cameras_, ui::divider(panel), session_, ui::divider(panel),
        output, ui::divider(panel), status};
    for (QWidget* item : items) sections->addWidget(item);
    sections->addStretch(1);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(kPanelMargin, kPanelMargin, kPanelMargin, kPanelMargin);
    column->setSpacing(kPanelMargin);
    column->addWidget(ui::verticalScroller(upper, panel), 1);
    column->addWidget(record_);

    connect(cameras_, &CamerasSection::renameRequested, this, &MainWindow::openRenameSheet);
    connect(record_, &RecordSection::lumetraError, this, &MainWindow::showLumetraError);
    return panel;
}

// Restoring a minimised window is a spontaneous show; only a real show (the
// first, or after the window was closed) sets the station up, so Lumetra's
// connection survives a minimise.
void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) app_.setupApp();
}

// A running session is stopped and its files finished before the window may
// close; otherwise the movie would be left without its index.
void MainWindow::closeEvent(QCloseEvent* event) {
    if (!app_.session().isBusy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (finishing_) return;
    finishing_ = true;
    setEnabled(false);
    setWindowTitle("Talvex — finishing recording…");
    app_.finishAndThen([window = QPointer<MainWindow>(this)] {
        if (window) window->close();
    });
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The Lumetra row depends on files and settings that change behind our back.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        record_->lumetraRow()->refresh();
}

void MainWindow::cameraErrorChanged() {
    const std::optional<std::string>& message = app_.cameras().errorMessage();
    if (!message) {
        if (cameraAlert_->isVisible()) cameraAlert_->hide();
        return;
    }
    cameraAlert_->setText(QString::fromStdString(*message));
    if (!cameraAlert_->isVisible()) cameraAlert_->open();
}

void MainWindow::showLumetraError(const QString& text) {
    lumetraAlert_->setText(text);
    if (!lumetraAlert_->isVisible()) lumetraAlert_->open();
}

void MainWindow::openRenameSheet() {
    auto* sheet = new RenameSheet(app_.cameras(), this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
}

int runWindowStation(const StationOptions& options) {
    TalvexApp app(options);
    MainWindow window(app);
    window.show();
    return QApplication::exec();
}

}  // namespace talvex
