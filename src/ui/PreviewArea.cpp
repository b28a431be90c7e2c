#include "ui/PreviewArea.h"

#include <QLabel>
#include <algorithm>

#include "app/CameraManager.h"
#include "app/SessionManager.h"
#include "media/CameraRecorder.h"
#include "ui/PreviewView.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {
constexpr int kCellGap = 2;
}  // namespace

PreviewArea::PreviewArea(CameraManager& cameras, SessionManager& session, QWidget* parent)
    : QWidget(parent), cameras_(cameras), session_(session), placeholder_(new QLabel(this)) {
    setObjectName("previewArea");
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    placeholder_->setObjectName("previewPlaceholder");
    placeholder_->setText("No cameras open\nSelect cameras and click Apply");
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setFont(ui::monoFont(15));
    placeholder_->setAutoFillBackground(true);
    QPalette dark = placeholder_->palette();
    dark.setColor(QPalette::Window, QColor::fromRgbF(0.08f, 0.08f, 0.08f));
    dark.setColor(QPalette::WindowText, Qt::gray);
    placeholder_->setPalette(dark);

    connect(&cameras_, &CameraManager::openedRecordersChanged, this, &PreviewArea::rebuild);
    connect(&cameras_, &CameraManager::camerasSwappedChanged, this, &PreviewArea::rebuild);
    connect(&session_, &SessionManager::recordingStateChanged, this,
            &PreviewArea::refreshRecording);
    rebuild();
}

void PreviewArea::rebuild() {
    for (PreviewView* view : views_) delete view;
    views_.clear();
    std::vector<std::shared_ptr<CameraRecorder>> recorders = cameras_.openedRecorders();
    bool two = recorders.size() == 2;
    if (two && cameras_.camerasSwapped()) std::reverse(recorders.begin(), recorders.end());
    for (const auto& recorder : recorders) {
        auto* view = new PreviewView(this);
        view->setObjectName(QString("preview%1").arg(views_.size()));
        view->setSource(&recorder->frameSlot(), recorder);
        if (two) view->setBadge(views_.empty() ? "L" : "R");
        view->show();
        views_.push_back(view);
    }
    placeholder_->setVisible(views_.empty());
    refreshRecording();
    placeViews();
}

void PreviewArea::refreshRecording() {
    bool recording = session_.recordingState().recording;
    for (PreviewView* view : views_) view->setRecording(recording);
}

void PreviewArea::resizeEvent(QResizeEvent*) {
    placeViews();
}

void PreviewArea::placeViews() {
    placeholder_->setGeometry(rect());
    if (views_.size() == 2) {
        int cellWidth = (width() - kCellGap) / 2;
        views_[0]->setGeometry(0, 0, cellWidth, height());
        views_[1]->setGeometry(width() - cellWidth, 0, cellWidth, height());
        return;
    }
    // One camera fills the area; so would each of any other count.
    for (PreviewView* view : views_) view->setGeometry(rect());
}

}  // namespace talvex
