#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "core/FileUtil.h"
#include "media/DualCameraWriter.h"
#include "media/MovieProbe.h"

namespace talvex {
namespace {

using test::makeFrame;
using test::probeMovie;
using test::Rgb;
using test::SmallFrames;
using test::TempDir;

constexpr Rgb kRed{255, 0, 0};   // camera 0
constexpr Rgb kBlue{0, 0, 255};  // camera 1
constexpr std::int64_t kFrameMicros = 33'333;

std::int64_t camera0Time(int index) {
    return 3'000'000 + index * kFrameMicros;
}
// Camera 1 runs on its own clock and slightly faster; its times are never used.
std::int64_t camera1Time(int index) {
    return 9'000'000 + index * 33'000;
}

int countOf(const std::string& log, const std::string& line) {
    int count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
}

// Runs the stop and waits for its completion, which comes on the writer queue.
void stopAndWait(DualCameraWriter& writer) {
    std::promise<std::thread::id> done;
    std::atomic<int> calls{0};
    writer.stopWriting([&] {
        if (calls++ == 0) done.set_value(std::this_thread::get_id());
    });
    EXPECT_NE(done.get_future().get(), std::this_thread::get_id());
    writer.waitUntilIdle();
    EXPECT_EQ(calls, 1);
}

struct LayoutCase {
    bool swapped;
    int width0, height0;
    int width1, height1;
};

class DualWriterLayouts : public testing::TestWithParam<LayoutCase> {};

// Each pair becomes one 2560x720 frame at camera 0's time minus the first
// pair's; each camera fills its half whatever its size; swap moves them.
TEST_P(DualWriterLayouts, CompositesEveryPairIntoItsHalves) {
    const auto layout = GetParam();
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    auto writer = std::make_shared<DualCameraWriter>(path, layout.swapped, 30);
    ASSERT_FALSE(writer->startWriting());
    constexpr int kPairs = 20;
    for (int i = 0; i < kPairs; ++i) {
        writer->appendFrame(makeFrame(layout.width0, layout.height0, kRed, i, camera0Time(i)), 0);
        writer->appendFrame(
            makeFrame(layout.width1, layout.height1, kBlue, 100 + i, camera1Time(i)), 1);
        writer->waitUntilIdle();
    }
    stopAndWait(*writer);
    EXPECT_EQ(writer->compositesWritten(), kPairs);
    EXPECT_EQ(writer->status(), 2);

    auto info = probeMovie(path);
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_EQ(info.errors, "");
    EXPECT_NE(info.formatName.find("mp4"), std::string::npos);
    EXPECT_EQ(info.streams, 1);
    EXPECT_EQ(info.codec, "h264");
    EXPECT_EQ(info.profile, "High");
    EXPECT_EQ(info.pixelFormat, "yuv420p");
    EXPECT_EQ(info.width, 2560);
    EXPECT_EQ(info.height, 720);
    ASSERT_EQ(info.frameTimes.size(), static_cast<std::size_t>(kPairs));
    for (int i = 0; i < kPairs; ++i) EXPECT_NEAR(info.frameTimes[i], i * kFrameMicros / 1e6, 1e-6);

    SmallFrames frames(path, 128, 36);
    ASSERT_EQ(frames.count(), kPairs);
    const Rgb leftColour = layout.swapped ? kBlue : kRed;
    const Rgb rightColour = layout.swapped ? kRed : kBlue;
    for (int i = 0; i < kPairs; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames.counter(i, 0, 64), layout.swapped ? 100 + i : i);
        EXPECT_EQ(frames.counter(i, 64, 64), layout.swapped ? i : 100 + i);
        for (bool right : {false, true})
            for (bool bottom : {false, true}) {
                EXPECT_TRUE(test::near(frames.corner(i, 0, 64, right, bottom), leftColour));
                EXPECT_TRUE(test::near(frames.corner(i, 64, 64, right, bottom), rightColour));
            }
    }
}

INSTANTIATE_TEST_SUITE_P(CameraSizes, DualWriterLayouts,
                         testing::Values(LayoutCase{false, 1280, 720, 1280, 720},
                                         LayoutCase{true, 1280, 720, 1280, 720},
                                         LayoutCase{true, 640, 480, 1920, 1080},
                                         LayoutCase{false, 1279, 719, 640, 480}));

// Camera 0 delivers three frames before camera 1's first: only its newest
// is paired, and that pair is movie time 0.
TEST(DualCameraWriter, PairsTheNewestFrameOfEachCamera) {
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
    ASSERT_FALSE(writer->startWriting());
    for (int i = 0; i < 3; ++i)
        writer->appendFrame(makeFrame(320, 180, kRed, i, camera0Time(i)), 0);
    writer->appendFrame(makeFrame(320, 180, kBlue, 100, camera1Time(0)), 1);
    writer->waitUntilIdle();
    writer->appendFrame(makeFrame(320, 180, kBlue, 101, camera1Time(1)), 1);
    writer->appendFrame(makeFrame(320, 180, kRed, 3, camera0Time(3)), 0);
    writer->waitUntilIdle();
    stopAndWait(*writer);

    auto info = probeMovie(path);
    ASSERT_EQ(info.frameTimes.size(), 2u);
    EXPECT_EQ(info.frameTimes[0], 0.0);
    EXPECT_NEAR(info.frameTimes[1], kFrameMicros / 1e6, 1e-6);
    SmallFrames frames(path, 128, 36);
    ASSERT_EQ(frames.count(), 2);
    EXPECT_EQ(frames.counter(0, 0, 64), 2);
    EXPECT_EQ(frames.counter(0, 64, 64), 100);
    EXPECT_EQ(frames.counter(1, 0, 64), 3);
    EXPECT_EQ(frames.counter(1, 64, 64), 101);
}

// A camera-0 time that does not move forward drops the pair with the append
// line and the movie goes on; a time before the first pair's is dropped
// silently.
TEST(DualCameraWriter, DropsPairsWhoseTimeDoesNotMoveForward) {
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
    ASSERT_FALSE(writer->startWriting());
    testing::internal::CaptureStdout();
    const std::int64_t times[] = {camera0Time(1), camera0Time(2), camera0Time(2), camera0Time(0),
                                  camera0Time(3)};
    for (int i = 0; i < 5; ++i) {
        writer->appendFrame(makeFrame(320, 180, kRed, i, times[i]), 0);
        writer->appendFrame(makeFrame(320, 180, kBlue, i, camera1Time(i)), 1);
        writer->waitUntilIdle();
    }
    stopAndWait(*writer);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(writer->compositesWritten(), 3);
    EXPECT_EQ(countOf(log, "Talvex: append failed status=1 error=frame time"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: dual session started, basePTS=3.033333\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: drainAndComposite enter\n"), 5);
    EXPECT_EQ(countOf(log, "Talvex: drainAndComposite done\n"), 5);
    EXPECT_EQ(countOf(log, "Talvex: DualCameraWriter finishWriting OK\n"), 1);

    SmallFrames frames(path, 128, 36);
    ASSERT_EQ(frames.count(), 3);
    const int kept[] = {0, 1, 4};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(frames.counter(i, 0, 64), kept[i]);
}

// Only camera 0 delivers: no pair is ever complete, and the empty movie is
// removed at the stop with the error line.
TEST(DualCameraWriter, StopBeforeAnyPairRemovesTheFile) {
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
    ASSERT_FALSE(writer->startWriting());
    EXPECT_TRUE(fileExists(path));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i)
        writer->appendFrame(makeFrame(320, 180, kRed, i, camera0Time(i)), 0);
    stopAndWait(*writer);
    writer->appendFrame(makeFrame(320, 180, kBlue, 0, camera1Time(0)),
                        1);  // after the stop: dropped
    writer->waitUntilIdle();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(writer->status(), 4);
    EXPECT_EQ(log,
              "Talvex: DualCameraWriter stopWriting called\n"
              "Talvex: stopWriting block executing on writerQueue\n"
              "Talvex: writer status on stop: 1\n"
              "Talvex: DualCameraWriter error: no frame pair was written, movie cancelled\n");
}

// A movie that cannot be created fails the start with the library's reason;
// frames are then dropped and the stop finds no writer.
TEST(DualCameraWriter, StartFailsWhenTheFileCannotBeCreated) {
    TempDir dir;
    ASSERT_FALSE(writeFile(dir.file("plain"), "x"));
    const std::string path = dir.file("plain/recording.mp4");
    auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
    testing::internal::CaptureStdout();
    auto error = writer->startWriting();
    writer->appendFrame(makeFrame(320, 180, kRed, 0, camera0Time(0)), 0);
    writer->appendFrame(makeFrame(320, 180, kBlue, 0, camera1Time(0)), 1);
    stopAndWait(*writer);
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("Not a directory"), std::string::npos) << error->message;
    EXPECT_EQ(writer->status(), 0);
    EXPECT_EQ(countOf(log, "Talvex: DualCameraWriter startWriting: false, status: 3\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: writer is nil\n"), 1) << log;
    EXPECT_EQ(countOf(log, "drainAndComposite"), 0) << log;
}

TEST(DualCameraWriter, ReplacesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("recording.mp4");
    ASSERT_FALSE(writeFile(path, "old recording"));
    auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
    ASSERT_FALSE(writer->startWriting());
    writer->appendFrame(makeFrame(320, 180, kRed, 0, camera0Time(0)), 0);
    writer->appendFrame(makeFrame(320, 180, kBlue, 0, camera1Time(0)), 1);
    writer->waitUntilIdle();
    stopAndWait(*writer);
    EXPECT_EQ(test::readText(path).find("old recording"), std::string::npos);
    EXPECT_EQ(probeMovie(path).frameTimes.size(), 1u);
}

}  // namespace
}  // namespace talvex
