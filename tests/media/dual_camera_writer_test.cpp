#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "core/FileUtil.h"
#include "media/DualCameraWriter.h"
#include "support/MovieProbe.h"

namespace talvex {
namespace {

using namespace test;

constexpr Rgb kRed{255, 0, 0};   // camera 0
constexpr Rgb kBlue{0, 0, 255};  // camera 1

std::int64_t camera0Time(int index) {
    return 3'000'000 + index * 33'333;
}
// Camera 1 runs on its own clock and slightly faster; its times are never used.
std::int64_t camera1Time(int index) {
    return 9'000'000 + index * 33'000;
}

struct LayoutCase {
    bool swapped;
    int width0, height0, width1, height1;
    AVPixelFormat format0 = AV_PIX_FMT_YUV420P, format1 = AV_PIX_FMT_YUV420P;
};

struct DualWriter : testing::Test {
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    std::shared_ptr<DualCameraWriter> writer = std::make_shared<DualCameraWriter>(path, false, 30);

    // Camera 0's frame (red, counter `counter`) then camera 1's (blue, 100 + counter).
    void appendPair(int counter, std::int64_t time0, LayoutCase c = {false, 320, 180, 320, 180}) {
        writer->appendFrame(makeFrame(c.width0, c.height0, kRed, counter, time0, c.format0), 0);
        writer->appendFrame(
            makeFrame(c.width1, c.height1, kBlue, 100 + counter, camera1Time(counter), c.format1),
            1);
        writer->waitUntilIdle();
    }
    void appendColourBars(std::int64_t time0, const LayoutCase& c) {
        writer->appendFrame(colourBarFrame(c.width0, c.height0, time0, c.format0), 0);
        writer->appendFrame(colourBarFrame(c.width1, c.height1, camera1Time(20), c.format1), 1);
        writer->waitUntilIdle();
    }
    // Stops and waits for the completion, which comes once, on the writer queue.
    void stopAndWait() {
        std::promise<std::thread::id> done;
        std::atomic<int> calls{0};
        writer->stopWriting([&](std::optional<MovieOutcome>) {
            if (calls++ == 0) done.set_value(std::this_thread::get_id());
        });
        EXPECT_NE(done.get_future().get(), std::this_thread::get_id());
        writer->waitUntilIdle();
        EXPECT_EQ(calls, 1);
    }
};

struct DualWriterLayouts : DualWriter, testing::WithParamInterface<LayoutCase> {};

// Each pair becomes one 2560x720 frame at camera 0's time minus the first
// pair's; each camera fills its half whatever its size and pixel format, and
// colour bars keep their colours; swap moves them. The file that was there
// before is replaced.
TEST_P(DualWriterLayouts, CompositesEveryPairIntoItsHalves) {
    const auto c = GetParam();
    ASSERT_FALSE(writeFile(path, "old recording"));
    writer = std::make_shared<DualCameraWriter>(path, c.swapped, 30);
    ASSERT_FALSE(writer->startWriting());
    for (int i = 0; i < 20; ++i) appendPair(i, camera0Time(i), c);
    appendColourBars(camera0Time(20), c);
    stopAndWait();
    EXPECT_EQ(writer->compositesWritten(), 21);
    expectMovie(probeMovie(path), 2560, evenTimes(21));

    SmallFrames frames(path, 128);
    auto counters = [](int first) {
        auto values = sequence(first, 20);
        values.push_back(-1);  // the bars
        return values;
    };
    EXPECT_EQ(frames.counters(0, 64, c.swapped ? kBlue : kRed), counters(c.swapped ? 100 : 0));
    EXPECT_EQ(frames.counters(64, 64, c.swapped ? kRed : kBlue), counters(c.swapped ? 0 : 100));
    EXPECT_LE(frames.colourBarError(20, 0, 64), 10);
    EXPECT_LE(frames.colourBarError(20, 64, 64), 10);
}

INSTANTIATE_TEST_SUITE_P(
    CameraSizes, DualWriterLayouts,
    testing::Values(LayoutCase{false, 1280, 720, 1280, 720},
                    LayoutCase{true, 1280, 720, 1280, 720, AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA},
                    LayoutCase{true, 640, 480, 1920, 1080, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUVJ422P},
                    LayoutCase{false, 1279, 719, 640, 480, AV_PIX_FMT_BGRA, AV_PIX_FMT_YUVJ420P}));

// Camera 0 delivers three frames before camera 1's first: only its newest
// is paired, and that pair is movie time 0. A camera-0 time that does not
// move forward (the same, or before the first pair's) drops the pair with the
// append line and the movie goes on.
TEST_F(DualWriter, PairsNewestFramesAndDropsThoseNotMovingForward) {
    ASSERT_FALSE(writer->startWriting());
    testing::internal::CaptureStdout();
    for (int i = 0; i < 2; ++i)
        writer->appendFrame(makeFrame(320, 180, kRed, 7, camera0Time(i)), 0);
    const int times[] = {1, 2, 2, 0, 3};
    for (int i = 0; i < 5; ++i) appendPair(i, camera0Time(times[i]));
    stopAndWait();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(writer->compositesWritten(), 3);
    EXPECT_EQ(countOf(log, "Talvex: append failed status=1 error=frame time"), 2) << log;
    EXPECT_EQ(countOf(log, "Talvex: dual session started, basePTS=3.033333\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: DualCameraWriter finishWriting OK\n"), 1) << log;
    expectMovie(probeMovie(path), 2560, {0, 0.033333, 0.066666});
    SmallFrames frames(path, 128);
    EXPECT_EQ(frames.counters(0, 64, kRed), (std::vector<int>{0, 1, 4}));
    EXPECT_EQ(frames.counters(64, 64, kBlue), (std::vector<int>{100, 101, 104}));
}

// Only camera 0 delivers: no pair is ever complete, and the empty movie is
// removed at the stop with the error line. A frame after the stop is dropped.
TEST_F(DualWriter, StopBeforeAnyPairRemovesTheFile) {
    ASSERT_FALSE(writer->startWriting());
    EXPECT_TRUE(fileExists(path));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i)
        writer->appendFrame(makeFrame(320, 180, kRed, i, camera0Time(i)), 0);
    stopAndWait();
    writer->appendFrame(makeFrame(320, 180, kBlue, 0, camera1Time(0)), 1);
    writer->waitUntilIdle();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Talvex: DualCameraWriter stopWriting called\n"
              "Talvex: stopWriting block executing on writerQueue\n"
              "Talvex: writer status on stop: 1\n"
              "Talvex: DualCameraWriter error: no frame pair was written, movie cancelled\n");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(writer->status(), 4);
}

// A movie that cannot be created fails the start with the library's reason;
// frames are then dropped and the stop finds no writer.
TEST_F(DualWriter, StartFailsWhenTheFileCannotBeCreated) {
    ASSERT_FALSE(writeFile(dir.file("plain"), "x"));
    writer = std::make_shared<DualCameraWriter>(dir.file("plain/recording.mp4"), false, 30);
    testing::internal::CaptureStdout();
    auto error = writer->startWriting();
    appendPair(0, camera0Time(0));
    stopAndWait();
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("Not a directory"), std::string::npos) << error->message;
    EXPECT_EQ(countOf(log, "Talvex: DualCameraWriter startWriting: false, status: 3\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: writer is nil\n"), 1) << log;
    EXPECT_EQ(countOf(log, "drainAndComposite"), 0) << log;
}

}  // namespace
}  // namespace talvex
