#include <gtest/gtest.h>

#include <QImage>

#include "media/LatestFrameSlot.h"
#include "support/MovieProbe.h"
#include "ui/PreviewView.h"

using namespace talvex;

namespace {

// A frame of one colour in the given format.
VideoFramePtr solidFrame(QRgb colour, AVPixelFormat format = AV_PIX_FMT_BGRA) {
    return test::paintFrame(160, 90, 0, format, [&](int, int) {
        return test::Rgb{qRed(colour), qGreen(colour), qBlue(colour)};
    });
}

QRgb pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

}  // namespace

TEST(PreviewView, LetterboxKeepsAspectCentred) {
    struct Case {
        QSize frame;
        QRect cell, expected;
    };
    for (const Case& c : {Case{{1280, 720}, {0, 0, 640, 720}, {0, 180, 640, 360}},
                          Case{{1280, 720}, {0, 0, 1280, 360}, {320, 0, 640, 360}},
                          Case{{640, 480}, {10, 10, 400, 300}, {10, 10, 400, 300}},
                          Case{{0, 0}, {0, 0, 100, 100}, {0, 0, 100, 100}}})
        EXPECT_EQ(PreviewView::letterbox(c.frame, c.cell), c.expected) << c.cell.width();
}

// Paints the newest frame in its own colours, letterboxed on black, with the
// red outline only while recording.
TEST(PreviewView, PaintsFrameBandsAndRecordingBorder) {
    auto slot = std::make_shared<LatestFrameSlot>();
    slot->offer(solidFrame(qRgb(200, 40, 10)));
    PreviewView view;
    view.resize(320, 320);
    view.setSource(slot.get(), slot);

    QImage idle = view.grab().toImage();
    EXPECT_EQ(pixel(idle, 160, 160), qRgb(200, 40, 10) & 0xFFFFFF) << "red stays red, not blue";
    EXPECT_EQ(pixel(idle, 160, 20), 0u) << "band above the image";
    EXPECT_EQ(pixel(idle, 0, 160), qRgb(200, 40, 10) & 0xFFFFFF) << "no outline while idle";

    view.setRecording(true);
    QImage recording = view.grab().toImage();
    for (QPoint edge : {QPoint(0, 160), QPoint(2, 160), QPoint(160, 0), QPoint(319, 160)})
        EXPECT_EQ(pixel(recording, edge.x(), edge.y()), QColor(255, 59, 48).rgb() & 0xFFFFFF)
            << edge.x() << "," << edge.y();
    EXPECT_EQ(pixel(recording, 3, 160), qRgb(200, 40, 10) & 0xFFFFFF) << "outline is 3 px";

    // The newest frame, as cameras deliver it: BT.601 YUV in the video range.
    slot->offer(solidFrame(qRgb(20, 40, 250), AV_PIX_FMT_YUV420P));
    QColor shown = QColor(view.grab().toImage().pixel(160, 160));
    EXPECT_NEAR(shown.red(), 20, 6);
    EXPECT_NEAR(shown.green(), 40, 6);
    EXPECT_NEAR(shown.blue(), 250, 6);
}
