#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "core/FileUtil.h"
#include "media/MovieProbe.h"
#include "media/SingleCameraWriter.h"

namespace talvex {
namespace {

using test::makeFrame;
using test::probeMovie;
using test::Rgb;
using test::SmallFrames;
using test::TempDir;

constexpr Rgb kRed{255, 0, 0};
constexpr std::int64_t kFrameMicros = 33'333;
constexpr std::int64_t kCaptureStart = 5'000'000;

std::int64_t frameTime(int index) {
    return kCaptureStart + index * kFrameMicros;
}

struct SizeCase {
    int width;
    int height;
};

class SingleWriterSizes : public testing::TestWithParam<SizeCase> {};

// Every frame appended comes back, in order, at its capture time minus the
// first one's, in a 1280x720 High profile movie whatever the camera size.
TEST_P(SingleWriterSizes, WritesEveryFrameStretchedToHd) {
    const auto [width, height] = GetParam();
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    SingleCameraWriter writer("Cam A");
    ASSERT_FALSE(writer.startRecording(path));
    constexpr int kFrames = 20;
    for (int i = 0; i < kFrames; ++i)
        writer.appendFrame(makeFrame(width, height, kRed, i, frameTime(i)));
    writer.stopRecording();
    EXPECT_EQ(writer.status(), 2);

    auto info = probeMovie(path);
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_EQ(info.errors, "");
    EXPECT_NE(info.formatName.find("mp4"), std::string::npos);
    EXPECT_EQ(info.streams, 1);
    EXPECT_EQ(info.codec, "h264");
    EXPECT_EQ(info.profile, "High");
    EXPECT_EQ(info.pixelFormat, "yuv420p");
    EXPECT_EQ(info.width, 1280);
    EXPECT_EQ(info.height, 720);
    ASSERT_EQ(info.frameTimes.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) EXPECT_NEAR(info.frameTimes[i], i * kFrameMicros / 1e6, 1e-6);
    EXPECT_NEAR(info.duration, kFrames * kFrameMicros / 1e6, 0.002);

    SmallFrames frames(path, 64, 36);
    ASSERT_EQ(frames.count(), kFrames);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(frames.counter(i, 0, 64), i);
        for (bool right : {false, true})
            for (bool bottom : {false, true})
                EXPECT_TRUE(test::near(frames.corner(i, 0, 64, right, bottom), kRed))
                    << "frame " << i << " right " << right << " bottom " << bottom;
    }
}

INSTANTIATE_TEST_SUITE_P(CameraSizes, SingleWriterSizes,
                         testing::Values(SizeCase{1280, 720}, SizeCase{640, 480},
                                         SizeCase{1920, 1080}, SizeCase{1279, 719}));

// Capture times are kept as they come, jitter and gaps included, across
// fragment boundaries: nothing is derived from the frame rate.
TEST(SingleCameraWriter, KeepsIrregularCaptureTimes) {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    SingleCameraWriter writer("Cam A");
    ASSERT_FALSE(writer.startRecording(path));
    std::vector<std::int64_t> times;
    std::int64_t time = kCaptureStart;
    for (int i = 0; i < 70; ++i) {
        times.push_back(time);
        writer.appendFrame(makeFrame(320, 180, kRed, i, time));
        time += 28'000 + (i * 7919) % 11'000 + (i == 40 ? 250'000 : 0);
    }
    writer.stopRecording();
    auto info = probeMovie(path);
    ASSERT_EQ(info.frameTimes.size(), times.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(info.frameTimes[i], (times[i] - kCaptureStart) / 1e6, 1e-6) << i;
}

struct StartFailure {
    const char* name;
    std::string (*prepare)(const std::string& folder);  // returns the target path
    const char* reason;
};

const StartFailure kStartFailures[] = {
    {"parent is a file",
     [](const std::string& folder) {
         writeFile(folder + "/plain", "x");
         return folder + "/plain/camera1.mp4";
     },
     "Not a directory"},
    {"missing folder", [](const std::string& folder) { return folder + "/gone/camera1.mp4"; },
     "No such file or directory"},
    {"folder in the way",
     [](const std::string& folder) {
         makeDirectories(folder + "/camera1.mp4/keep");
         return folder + "/camera1.mp4";
     },
     "Is a directory"},
};

// A movie that cannot be created fails the start with the library's reason,
// leaves nothing behind and takes no frames.
TEST(SingleCameraWriter, StartFailsWhenTheFileCannotBeCreated) {
    for (const auto& failure : kStartFailures) {
        SCOPED_TRACE(failure.name);
        TempDir dir;
        const std::string path = failure.prepare(dir.path());
        SingleCameraWriter writer("Cam A");
        testing::internal::CaptureStdout();
        auto error = writer.startRecording(path);
        writer.appendFrame(makeFrame(1280, 720, kRed, 0, 0));
        writer.stopRecording();
        std::string log = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find(failure.reason), std::string::npos) << error->message;
        EXPECT_FALSE(writer.isWriting());
        EXPECT_FALSE(fileExists(path) && !isDirectory(path));
        EXPECT_NE(log.find("Talvex: startWriting for Cam A: false, status: 3\n"),
                  std::string::npos);
        EXPECT_NE(log.find("Talvex: writer error on start: "), std::string::npos);
        EXPECT_EQ(log.find("session started"), std::string::npos) << log;
    }
}

TEST(SingleCameraWriter, ReplacesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    ASSERT_FALSE(writeFile(path, "old recording"));
    SingleCameraWriter writer("Cam A");
    ASSERT_FALSE(writer.startRecording(path));
    for (int i = 0; i < 5; ++i) writer.appendFrame(makeFrame(1280, 720, kRed, i, frameTime(i)));
    writer.stopRecording();
    EXPECT_EQ(test::readText(path).find("old recording"), std::string::npos);
    EXPECT_EQ(probeMovie(path).frameTimes.size(), 5u);
}

// Without a frame there is no movie to offer: the file goes.
TEST(SingleCameraWriter, StopBeforeAnyFrameRemovesTheFile) {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    SingleCameraWriter writer("Cam A");
    testing::internal::CaptureStdout();
    ASSERT_FALSE(writer.startRecording(path));
    EXPECT_TRUE(fileExists(path));
    writer.stopRecording();
    writer.stopRecording();  // not writing any more: silent
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(writer.status(), 4);
    EXPECT_EQ(log,
              "Talvex: startWriting for Cam A: true, status: 1\n"
              "Talvex: no frames written for Cam A, cancelled\n");
}

// A frame whose time does not move forward is dropped with the append line;
// the movie goes on and keeps the frames around it.
TEST(SingleCameraWriter, DropsFramesWhoseTimeDoesNotMoveForward) {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    SingleCameraWriter writer("Cam A");
    ASSERT_FALSE(writer.startRecording(path));
    testing::internal::CaptureStdout();
    const std::int64_t times[] = {frameTime(0), frameTime(1),     frameTime(1), frameTime(0) + 10,
                                  frameTime(2), frameTime(0) - 5, frameTime(3)};
    int counter = 0;
    for (auto time : times) writer.appendFrame(makeFrame(640, 480, kRed, counter++, time));
    writer.stopRecording();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(writer.status(), 2);
    EXPECT_EQ(writer.framesWritten(), 4);
    EXPECT_NE(log.find("Talvex: session started for Cam A at 5.0\n"), std::string::npos) << log;
    std::size_t failures = 0;
    for (auto at = log.find("Talvex: append failed for Cam A: frame time"); at != std::string::npos;
         at = log.find("Talvex: append failed for Cam A: frame time", at + 1))
        ++failures;
    EXPECT_EQ(failures, 3u) << log;
    EXPECT_NE(log.find("Talvex: finishWriting OK for Cam A, status: 2\n"), std::string::npos);

    SmallFrames frames(path, 64, 36);
    ASSERT_EQ(frames.count(), 4);
    const int kept[] = {0, 1, 4, 6};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(frames.counter(i, 0, 64), kept[i]);
}

// A process killed mid-recording leaves a movie that plays every finished
// fragment: frames from the start, in order, without a decoding error.
TEST(SingleCameraWriter, KilledRecordingKeepsFinishedFragments) {
    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    constexpr int kAppended = 75;  // two and a half key-frame intervals at 30 fps
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleCameraWriter writer("Cam A");
        if (writer.startRecording(path)) _exit(1);
        for (int i = 0; i < kAppended; ++i)
            writer.appendFrame(makeFrame(1280, 720, kRed, i, frameTime(i)));
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto info = probeMovie(path);
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_EQ(info.errors, "");
    EXPECT_EQ(info.codec, "h264");
    const int kept = static_cast<int>(info.frameTimes.size());
    EXPECT_GE(kept, 30);
    EXPECT_LT(kept, kAppended);
    SmallFrames frames(path, 64, 36);
    ASSERT_EQ(frames.count(), kept);
    for (int i = 0; i < kept; ++i) {
        EXPECT_NEAR(info.frameTimes[i], i * kFrameMicros / 1e6, 1e-6);
        EXPECT_EQ(frames.counter(i, 0, 64), i);
    }
}

}  // namespace
}  // namespace talvex
