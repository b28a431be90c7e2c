#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "core/FileUtil.h"
#include "media/SingleCameraWriter.h"
#include "support/MovieProbe.h"

namespace talvex {
namespace {

using namespace test;

constexpr Rgb kRed{255, 0, 0};

std::int64_t frameTime(int index) {
    return 5'000'000 + index * 33'333;
}

struct SingleWriter : testing::Test {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    SingleCameraWriter writer{"Cam A"};
};

struct CameraFormat {
    int width, height;
    AVPixelFormat format;
};

struct SingleWriterSizes : SingleWriter, testing::WithParamInterface<CameraFormat> {};

// Every frame appended comes back, in order, at its capture time minus the
// first one's, in a 1280x720 movie the camera image fills whatever its size
// and pixel format, colour bars in their own colours. The file that was
// there before is replaced.
TEST_P(SingleWriterSizes, WritesEveryFrameStretchedToHd) {
    const auto [width, height, format] = GetParam();
    ASSERT_FALSE(writeFile(path, "old recording"));
    ASSERT_FALSE(writer.startRecording(path));
    for (int i = 0; i < 20; ++i)
        writer.appendFrame(makeFrame(width, height, kRed, i, frameTime(i), format));
    writer.appendFrame(colourBarFrame(width, height, frameTime(20), format));
    writer.stopRecording();
    expectMovie(probeMovie(path), 1280, evenTimes(21));
    SmallFrames frames(path, 64);
    auto counters = sequence(0, 20);
    counters.push_back(-1);  // the bars
    EXPECT_EQ(frames.counters(0, 64, kRed), counters);
    EXPECT_LE(frames.colourBarError(20, 0, 64), 10);
}

INSTANTIATE_TEST_SUITE_P(CameraSizes, SingleWriterSizes,
                         testing::Values(CameraFormat{1280, 720, AV_PIX_FMT_YUV420P},
                                         CameraFormat{640, 480, AV_PIX_FMT_YUYV422},
                                         CameraFormat{1920, 1080, AV_PIX_FMT_YUVJ422P},
                                         CameraFormat{1279, 719, AV_PIX_FMT_BGRA}));

// A movie that cannot be created fails the start with the library's reason,
// leaves nothing behind and takes no frames.
TEST(SingleCameraWriter, StartFailsWhenTheFileCannotBeCreated) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain/camera1.mp4", "Not a directory"},
        {"gone/camera1.mp4", "No such file or directory"},
        {"folder/camera1.mp4", "Is a directory"}};
    for (const auto& [target, reason] : cases) {
        SCOPED_TRACE(reason);
        TempDir dir;
        ASSERT_FALSE(writeFile(dir.file("plain"), "x"));
        ASSERT_TRUE(makeDirectories(dir.file("folder/camera1.mp4/keep")));
        SingleCameraWriter writer("Cam A");
        testing::internal::CaptureStdout();
        auto error = writer.startRecording(dir.file(target));
        writer.appendFrame(makeFrame(1280, 720, kRed, 0, 0));
        writer.stopRecording();
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find(reason), std::string::npos) << error->message;
        EXPECT_FALSE(writer.isWriting());
        EXPECT_FALSE(fileExists(dir.file(target)) && !isDirectory(dir.file(target)));
        EXPECT_EQ(countOf(log, "Talvex: startWriting for Cam A: false, status: 3\n"), 1) << log;
        EXPECT_EQ(countOf(log, "Talvex: writer error on start: "), 1) << log;
    }
}

// Without a frame there is no movie to offer: the file goes.
TEST_F(SingleWriter, StopBeforeAnyFrameRemovesTheFile) {
    testing::internal::CaptureStdout();
    ASSERT_FALSE(writer.startRecording(path));
    EXPECT_TRUE(fileExists(path));
    writer.stopRecording();
    writer.stopRecording();  // not writing any more: silent
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Talvex: startWriting for Cam A: true, status: 1\n"
              "Talvex: no frames written for Cam A, cancelled\n");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(writer.status(), 4);
}

// Capture times are kept as they come, jitter and gaps included, across
// fragment boundaries. A frame whose time does not move forward is dropped
// with the append line; the movie goes on and keeps the frames around it.
TEST_F(SingleWriter, KeepsCaptureTimesAndDropsThoseNotMovingForward) {
    ASSERT_FALSE(writer.startRecording(path));
    testing::internal::CaptureStdout();
    std::vector<double> times;
    for (std::int64_t i = 0, time = 0; i < 70; ++i) {
        times.push_back(static_cast<double>(time) / 1e6);
        writer.appendFrame(makeFrame(320, 180, kRed, static_cast<int>(i), frameTime(0) + time));
        // After frames 2, 35 and 50: the same time, an earlier one, one before the first.
        if (i == 2 || i == 35 || i == 50)
            writer.appendFrame(
                makeFrame(320, 180, kRed, 255,
                          i == 50 ? frameTime(0) - 5 : frameTime(0) + time - (i == 35) * 1000));
        time += 28'000 + (i * 7919) % 11'000 + (i == 40 ? 250'000 : 0);
    }
    writer.stopRecording();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(log, "Talvex: session started for Cam A at 5.0\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: append failed for Cam A: frame time"), 3) << log;
    EXPECT_EQ(countOf(log, "Talvex: finishWriting OK for Cam A, status: 2\n"), 1) << log;
    expectMovie(probeMovie(path), 1280, times);
    EXPECT_EQ(SmallFrames(path, 64).counters(0, 64, kRed), sequence(0, 70));
}

// A process killed mid-recording leaves a movie that plays every finished
// fragment: frames from the start, in order, without a decoding error.
TEST_F(SingleWriter, KilledRecordingKeepsFinishedFragments) {
    constexpr int kAppended = 75;  // two and a half key-frame intervals at 30 fps
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (writer.startRecording(path)) _exit(1);
        for (int i = 0; i < kAppended; ++i)
            writer.appendFrame(makeFrame(1280, 720, kRed, i, frameTime(i)));
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto info = probeMovie(path);
    const int kept = static_cast<int>(info.frameTimes.size());
    EXPECT_GE(kept, 30);
    EXPECT_LT(kept, kAppended);
    expectMovie(info, 1280, evenTimes(kept));
    EXPECT_EQ(SmallFrames(path, 64).counters(0, 64, kRed), sequence(0, kept));
}

// A disk that fills up mid-movie (here the process's file-size limit): the
// movie is cut back to its last whole fragment, so it decodes without an
// error and keeps every frame up to there.
TEST_F(SingleWriter, FullDiskEndsOnTheLastWholeFragment) {
    constexpr int kAppended = 120;  // four key-frame intervals
    auto record = [&](SingleCameraWriter& into, const std::string& file) {
        ASSERT_FALSE(into.startRecording(file));
        for (int i = 0; i < kAppended; ++i)
            into.appendFrame(makeFrame(1280, 720, kRed, i, frameTime(i)));
    };
    SingleCameraWriter unlimited("Cam B");
    record(unlimited, dir.file("whole.mp4"));
    unlimited.stopRecording();
    const auto wholeSize = fileSize(dir.file("whole.mp4"));
    ASSERT_TRUE(wholeSize);

    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit half = previous;
    half.rlim_cur = *wholeSize / 2;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &half), 0);
    testing::internal::CaptureStdout();
    record(writer, path);
    writer.stopRecording();
    testing::internal::GetCapturedStdout();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);

    auto info = probeMovie(path);
    const int kept = static_cast<int>(info.frameTimes.size());
    EXPECT_GE(kept, 30);
    EXPECT_LT(kept, kAppended);
    expectMovie(info, 1280, evenTimes(kept));
    EXPECT_LE(*fileSize(path), half.rlim_cur);
}

}  // namespace
}  // namespace talvex
