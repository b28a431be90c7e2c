#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QTest>

#include "media/LatestFrameSlot.h"
#include "support/MovieProbe.h"
#include "ui/GyroChart.h"
#include "ui/GyroMonitor.h"
#include "ui/PreviewView.h"

using namespace talvex;

namespace {

// Samples at 100 Hz from start for the given seconds.
GyroSampleBatch steady(double start, double seconds, double x, double y, double z) {
    GyroSampleBatch batch;
    for (int i = 0; i < int(seconds * 100); ++i) batch.push_back({start + i / 100.0, x, y, z});
    return batch;
}

// The lowest and highest x of the area's pixels in the axis' colour ((-1, -1): none).
std::pair<int, int> columns(const QImage& image, QRect area, int axis) {
    const QColor c = GyroChart::axisColor(axis);
    std::pair<int, int> found{-1, -1};
    for (int x = area.left(); x <= area.right(); ++x)
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const QColor p = image.pixelColor(x, y);
            const int off = std::abs(p.red() - c.red()) + std::abs(p.green() - c.green());
            if (off + std::abs(p.blue() - c.blue()) < 40)
                found = {found.first < 0 ? x : found.first, x};
        }
    return found;
}

VideoFramePtr solidFrame(test::Rgb colour, AVPixelFormat format = AV_PIX_FMT_BGRA) {
    return test::paintFrame(160, 90, 0, format, [&](int, int) { return colour; });
}

}  // namespace

// Frames keep their aspect, centred; the view paints the newest in its own
// colours, letterboxed on black, with the red outline only while recording.
TEST(PreviewView, LetterboxesAndPaintsFramesAndTheRecordingBorder) {
    struct Case {
        QSize frame;
        QRect cell, expected;
    };
    for (const Case& c : {Case{{1280, 720}, {0, 0, 640, 720}, {0, 180, 640, 360}},
                          Case{{1280, 720}, {0, 0, 1280, 360}, {320, 0, 640, 360}},
                          Case{{640, 480}, {10, 10, 400, 300}, {10, 10, 400, 300}},
                          Case{{0, 0}, {0, 0, 100, 100}, {0, 0, 100, 100}}})
        EXPECT_EQ(PreviewView::letterbox(c.frame, c.cell), c.expected) << c.cell.width();
    auto slot = std::make_shared<LatestFrameSlot>();
    slot->offer(solidFrame({200, 40, 10}));
    PreviewView view;
    view.resize(320, 320);
    view.setSource(slot.get(), slot);

    QImage idle = view.grab().toImage();
    EXPECT_EQ(idle.pixel(160, 160), qRgb(200, 40, 10)) << "red stays red, not blue";
    EXPECT_EQ(idle.pixel(160, 20), qRgb(0, 0, 0)) << "band above the image";
    EXPECT_EQ(idle.pixel(0, 160), qRgb(200, 40, 10)) << "no outline while idle";

    view.setRecording(true);
    QImage recording = view.grab().toImage();
    for (QPoint edge : {QPoint(0, 160), QPoint(2, 160), QPoint(160, 0), QPoint(319, 160)})
        EXPECT_EQ(recording.pixel(edge), QColor(255, 59, 48).rgb()) << edge.x() << "," << edge.y();
    EXPECT_EQ(recording.pixel(3, 160), qRgb(200, 40, 10)) << "outline is 3 px";

    // The newest frame, as cameras deliver it: BT.601 YUV in the video range.
    slot->offer(solidFrame({20, 40, 250}, AV_PIX_FMT_YUV420P));
    const QColor shown = view.grab().toImage().pixelColor(160, 160);
    EXPECT_LE(test::distance({shown.red(), shown.green(), shown.blue()}, {20, 40, 250}), 6);
}

// 10 s across 300 px: 30 px a second, the newest sample at the right edge.
TEST(GyroChart, TracesScrollLeftAndFlipWithTheirSigns) {
    GyroTrace trace;
    GyroChart chart(trace);
    chart.resize(302, 70);
    QRect plot = chart.plotRect();
    QRect upper = plot.adjusted(0, 0, 0, -plot.height() / 2 - 4);
    QRect lower = plot.adjusted(0, plot.height() / 2 + 4, 0, 0);
    QImage empty = chart.grab().toImage();
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(columns(empty, empty.rect(), axis).first, -1) << "nothing without samples";

    trace.add(steady(50.0, 1.0, 0.15, 0.0, -0.15));  // x up, z down, y on the zero line
    QImage first = chart.grab().toImage();
    EXPECT_GE(columns(first, upper, 0).first, 268);
    EXPECT_EQ(columns(first, lower, 0).first, -1);
    EXPECT_GE(columns(first, lower, 2).first, 268);
    EXPECT_GE(columns(first, plot, 1).first, 268);
    EXPECT_EQ(columns(first, upper, 1).first + columns(first, lower, 1).first, -2);
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_NE(columns(first, QRect(0, 0, 302, plot.top()), axis).first, -1) << "legend";

    trace.add(steady(51.0, 1.0, -0.15, 0.0, 0.15));  // the signs flip
    QImage second = chart.grab().toImage();
    EXPECT_NEAR(columns(second, upper, 0).first, 241, 3) << "the first second moved 30 px left";
    EXPECT_NEAR(columns(second, upper, 0).second, 271, 3);
    EXPECT_NEAR(columns(second, lower, 0).first, 271, 3);
    EXPECT_NEAR(columns(second, upper, 2).first, 271, 3);
    EXPECT_NEAR(columns(second, lower, 2).second, 271, 3);
}

TEST(GyroMonitor, RateGapAndOneRepaintPerBurst) {
    GyroMonitor monitor;
    monitor.resize(300, 70);
    monitor.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&monitor));
    QTest::qWait(100);  // the first show's paints
    struct PaintCounter : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    monitor.chart()->installEventFilter(&paints);
    auto* rate = monitor.findChild<QLabel*>("gyroRateLabel");
    auto* gap = monitor.findChild<QLabel*>("gyroGapLabel");

    for (int batch = 0; batch < 40; ++batch)
        monitor.addSamples(steady(batch * 0.05, 0.05, 0.1, 0.2, 0.3));
    EXPECT_TRUE(QTest::qWaitFor([&] { return paints.count > 0; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(paints.count, 1) << "forty batches, one repaint, none without new samples";
    EXPECT_EQ(rate->text(), "100 Hz");
    EXPECT_FALSE(gap->isVisible());

    monitor.setRecording(true);
    monitor.addSamples(steady(2.79, 0.5, 0.1, 0.2, 0.3));  // 0.8 s after the last sample
    EXPECT_TRUE(QTest::qWaitFor([&] { return gap->isVisible(); }, 5000));
    EXPECT_EQ(gap->text(), "gap 0.8 s");
    EXPECT_EQ(gap->palette().color(QPalette::WindowText).rgb(), QColor(255, 149, 0).rgb());
    monitor.setRecording(false);
    EXPECT_FALSE(gap->isVisible()) << "only while a session records";
}
