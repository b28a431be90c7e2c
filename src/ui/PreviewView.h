#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

class QTimer;

namespace talvex {

class FfmpegScaler;
class LatestFrameSlot;
class VideoFrame;

// Paints the newest frame of one camera, letterboxed with its aspect kept,
// with a red outline while recording and an optional corner badge. The capture
// thread only fills the slot; while the view is shown, a main-thread timer
// repaints when it changed, at most 30 times a second.
class PreviewView : public QWidget {
    Q_OBJECT
public:
    explicit PreviewView(QWidget* parent = nullptr);
    ~PreviewView() override;

    // owner keeps the slot alive as long as the view shows it.
    void setSource(const LatestFrameSlot* slot, std::shared_ptr<const void> owner);
    void setRecording(bool recording);
    void setBadge(const QString& badge);

    const LatestFrameSlot* source() const { return slot_; }
    bool isRecording() const { return recording_; }
    QString badge() const { return badge_; }
    // The rectangle the image fills for a frame of the given size.
    static QRect letterbox(const QSize& frame, const QRect& cell);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void poll();
    void paintBadge(QPainter& painter);
    const QImage& imageOf(const VideoFrame& frame, QSize size);

    const LatestFrameSlot* slot_ = nullptr;
    std::shared_ptr<const void> owner_;
    std::uint64_t paintedSequence_ = 0;
    bool recording_ = false;
    QString badge_;
    QTimer* timer_ = nullptr;
    std::unique_ptr<FfmpegScaler> converter_;
    QImage image_;  // the painted frame in RGB, at the size it is painted
    std::uint64_t convertedSequence_ = 0;
};

}  // namespace talvex
