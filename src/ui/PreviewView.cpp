#include "ui/PreviewView.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include "media/LatestFrameSlot.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {
constexpr int repaintIntervalMs = 33;
constexpr int borderWidth = 3;
}  // namespace

PreviewView::PreviewView(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(80, 60);
    timer_->setInterval(repaintIntervalMs);
    connect(timer_, &QTimer::timeout, this, &PreviewView::poll);
    timer_->start();
}

void PreviewView::setSource(const LatestFrameSlot* slot, std::shared_ptr<const void> owner) {
    slot_ = slot;
    owner_ = std::move(owner);
    paintedSequence_ = 0;
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
            // Wraps the frame's pixels without a copy; frame outlives the image.
            QImage image(frame->pixels.data(), frame->width, frame->height, frame->stride,
                         QImage::Format_RGB32);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(letterbox(image.size(), rect()), image);
        }
    }
    if (recording_) {
        QPen pen(ui::recordRed(), borderWidth);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        qreal inset = borderWidth / 2.0;
        painter.drawRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset));
    }
    if (!badge_.isEmpty()) paintBadge(painter);
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
