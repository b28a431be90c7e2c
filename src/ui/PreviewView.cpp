#include "ui/PreviewView.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include "media/FfmpegScaler.h"
#include "media/LatestFrameSlot.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {
constexpr int kRepaintIntervalMs = 33;
constexpr int kBorderWidth = 3;
}  // namespace

PreviewView::PreviewView(QWidget* parent)
    : QWidget(parent),
      timer_(new QTimer(this)),
      converter_(std::make_unique<FfmpegScaler>(0, 0, AV_PIX_FMT_BGRA)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(80, 60);
    timer_->setInterval(kRepaintIntervalMs);
    connect(timer_, &QTimer::timeout, this, &PreviewView::poll);
}

PreviewView::~PreviewView() = default;

// Frames are looked at only while the view is on screen.
void PreviewView::showEvent(QShowEvent*) {
    timer_->start();
}

void PreviewView::hideEvent(QHideEvent*) {
    timer_->stop();
}

void PreviewView::setSource(const LatestFrameSlot* slot, std::shared_ptr<const void> owner) {
    slot_ = slot;
    owner_ = std::move(owner);
    paintedSequence_ = 0;
    convertedSequence_ = 0;
    update();
}

void PreviewView::setRecording(bool recording) {
    if (recording == recording_) return;
    recording_ = recording;
    update();
}

void PreviewView::setBadge(const QString& badge) {
    badge_ = badge;
    update();
}

QRect PreviewView::letterbox(const QSize& frame, const QRect& cell) {
    if (frame.isEmpty() || cell.isEmpty()) return cell;
    QSize fitted = frame.scaled(cell.size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), fitted);
    target.moveCenter(cell.center());
    return target;
}

void PreviewView::poll() {
    if (slot_ && slot_->sequence() != paintedSequence_) update();
}

void PreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (slot_) {
        paintedSequence_ = slot_->sequence();
        if (VideoFramePtr frame = slot_->latest()) {
            QRect target = letterbox(QSize(frame->width(), frame->height()), rect());
            painter.drawImage(target, imageOf(*frame, target.size() * devicePixelRatioF()));
        }
    }
    if (recording_) {
        QPen pen(ui::recordRed(), kBorderWidth);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        qreal inset = kBorderWidth / 2.0;
        painter.drawRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset));
    }
    if (!badge_.isEmpty()) paintBadge(painter);
}

// Only the frame that is painted is turned into RGB, once, straight at the
// size it is shown.
const QImage& PreviewView::imageOf(const VideoFrame& frame, QSize size) {
    if (convertedSequence_ == paintedSequence_ && image_.size() == size) return image_;
    if (image_.size() != size) image_ = QImage(size, QImage::Format_RGB32);
    converter_->setOutputSize(size.width(), size.height());
    std::uint8_t* planes[4] = {image_.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(image_.bytesPerLine()), 0, 0, 0};
    if (!converter_->scale(frame, planes, strides)) image_.fill(Qt::black);
    convertedSequence_ = paintedSequence_;
    return image_;
}

void PreviewView::paintBadge(QPainter& painter) {
    QFont font = ui::monoFont(10, QFont::Bold);
    QFontMetrics metrics(font);
    QRect text = metrics.boundingRect(badge_);
    QRectF box(6, 6, text.width() + 8, metrics.height() + 8);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(box, 4, 4);
    painter.fillPath(path, QColor(0, 0, 0, 128));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, badge_);
}

}  // namespace talvex
