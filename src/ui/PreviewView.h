#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

class QTimer;

namespace talvex {

class LatestFrameSlot;

// Paints the newest frame of one camera, letterboxed with its aspect kept,
// with a red outline while recording and an optional corner badge. The capture
// thread only fills the slot; a main-thread timer repaints when it changed.
class PreviewView : public QWidget {
    Q_OBJECT
public:
    explicit PreviewView(QWidget* parent = nullptr);

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

private:
    void poll();
    void paintBadge(QPainter& painter);

    const LatestFrameSlot* slot_ = nullptr;
    std::shared_ptr<const void> owner_;
    std::uint64_t paintedSequence_ = 0;
    bool recording_ = false;
    QString badge_;
    QTimer* timer_ = nullptr;
};

}  // namespace talvex
