#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "media/DualCameraWriter.h"
#include "media/MovieProbe.h"
#include "media/SingleCameraWriter.h"

namespace talvex {
namespace {

using test::makeFrame;
using test::TempDir;

std::vector<VideoFramePtr> cameraFrames(int count, std::int64_t start, std::int64_t step) {
    std::vector<VideoFramePtr> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(makeFrame(160, 90, {200, 40, 40}, i, start + i * step));
    return frames;
}

// Two capture threads keep feeding while the main thread stops the writer
// and, in the second round, drops its reference at once, so the writer dies
// wherever its last holder lets go. Every composite counted is in the movie.
TEST(DualWriterConcurrency, StopWhileBothCamerasDeliver) {
    const auto camera0 = cameraFrames(300, 1'000'000, 33'333);
    const auto camera1 = cameraFrames(300, 7'000'000, 33'000);
    for (bool dropAtOnce : {false, true}) {
        SCOPED_TRACE(dropAtOnce);
        TempDir dir;
        const std::string path = dir.file("recording.mp4");
        auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
        ASSERT_FALSE(writer->startWriting());
        // Each capture thread holds the writer, as a recorder does.
        auto feed = [](std::shared_ptr<DualCameraWriter> target,
                       const std::vector<VideoFramePtr>& frames, int index) {
            for (const auto& frame : frames) {
                target->appendFrame(frame, index);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        std::thread feeder0(feed, writer, std::cref(camera0), 0);
        std::thread feeder1(feed, writer, std::cref(camera1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        std::promise<void> done;
        std::atomic<int> calls{0};
        std::weak_ptr<DualCameraWriter> watch = writer;
        writer->stopWriting([&] {
            ++calls;
            done.set_value();
        });
        std::int64_t written = -1;
        if (dropAtOnce) writer.reset();
        done.get_future().wait();
        feeder0.join();
        feeder1.join();
        if (writer) {
            writer->waitUntilIdle();
            written = writer->compositesWritten();
            writer.reset();
        }
        for (int i = 0; i < 1000 && !watch.expired(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(watch.expired());
        EXPECT_EQ(calls, 1);

        auto info = test::probeMovie(path);
        EXPECT_EQ(info.exitCode, 0);
        EXPECT_GT(info.frameTimes.size(), 0u);
        if (written >= 0) {
            EXPECT_EQ(static_cast<std::int64_t>(info.frameTimes.size()), written);
        }
        for (std::size_t i = 1; i < info.frameTimes.size(); ++i)
            EXPECT_GT(info.frameTimes[i], info.frameTimes[i - 1]);
    }
}

// The main thread starts and stops the single-camera writer while the
// capture thread keeps appending.
TEST(SingleWriterConcurrency, StartAndStopWhileFramesArrive) {
    const auto frames = cameraFrames(300, 1'000'000, 33'333);
    TempDir dir;
    SingleCameraWriter writer("Cam A");
    std::atomic<bool> running{true};
    std::thread capture([&] {
        std::size_t i = 0;
        while (running) {
            writer.appendFrame(frames[i++ % frames.size()]);
            if (i % frames.size() == 0) writer.stopRecording();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        writer.stopRecording();
    });
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(writer.startRecording(dir.file("camera" + std::to_string(round) + ".mp4")));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    running = false;
    capture.join();
    EXPECT_FALSE(writer.isWriting());
}

}  // namespace
}  // namespace talvex
