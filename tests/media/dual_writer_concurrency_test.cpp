#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "media/DualCameraWriter.h"
#include "media/SingleCameraWriter.h"
#include "support/MovieProbe.h"

using namespace talvex;
using namespace talvex::test;
using namespace std::chrono_literals;

// Two capture threads holding the dual writer keep feeding while the main
// thread stops it and (second round) drops it, so it dies wherever its last
// holder lets go; every composite counted is in the movie. Then the single
// writer is started while a capture thread appends and stops it.
TEST(WriterConcurrency, StopAndStartWhileFramesArrive) {
    std::vector<VideoFramePtr> frames;  // the dual writer times the movie by camera 0 alone
    for (int i = 0; i < 300; ++i)
        frames.push_back(makeFrame(160, 90, {200, 40, 40}, i, 1'000'000 + i * 33'333));
    TempDir dir;
    for (bool dropAtOnce : {false, true}) {
        SCOPED_TRACE(dropAtOnce);
        const std::string path = dir.file(dropAtOnce ? "dropped.mp4" : "kept.mp4");
        auto writer = std::make_shared<DualCameraWriter>(path, false, 30);
        ASSERT_FALSE(writer->startWriting());
        std::vector<std::thread> feeders;
        for (int index : {0, 1})
            feeders.emplace_back([target = writer, &frames, index] {
                for (const auto& frame : frames)
                    target->appendFrame(frame, index), std::this_thread::sleep_for(1ms);
            });
        EXPECT_TRUE(waitUntil([&] { return writer->compositesWritten() > 2; }));
        std::promise<void> done;  // a second completion would throw
        std::weak_ptr<DualCameraWriter> watch = writer;
        writer->stopWriting([&](std::optional<MovieOutcome>) { done.set_value(); });
        if (dropAtOnce) writer.reset();
        done.get_future().wait();
        for (auto& feeder : feeders) feeder.join();
        if (writer) writer->waitUntilIdle();
        const std::int64_t written = writer ? writer->compositesWritten() : -1;
        writer.reset();
        EXPECT_TRUE(waitUntil([&] { return watch.expired(); }));
        auto info = probeMovie(path);
        expectPlayable(info, 2560);
        EXPECT_GT(info.frames(), 0u);
        EXPECT_TRUE(written < 0 || static_cast<std::int64_t>(info.frames()) == written) << written;
        for (std::size_t i = 1; i < info.frameTimes.size(); ++i)
            EXPECT_GT(info.frameTimes[i], info.frameTimes[i - 1]);
    }

    SingleCameraWriter single("Cam A");
    std::atomic<bool> running{true};
    std::thread capture([&] {
        for (std::size_t i = 0; running; std::this_thread::sleep_for(1ms)) {
            single.appendFrame(frames[i++ % frames.size()]);
            if (i % frames.size() == 0) single.stopRecording();
        }
        single.stopRecording();
    });
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(single.startRecording(dir.file("camera" + std::to_string(round) + ".mp4")));
        EXPECT_TRUE(waitUntil([&] { return single.framesWritten() > 1; }));
    }
    running = false;
    capture.join();
    EXPECT_FALSE(single.isWriting());
    for (int round = 0; round < 3; ++round) {
        auto info = probeMovie(dir.file("camera" + std::to_string(round) + ".mp4"));
        expectPlayable(info, 1280);
        EXPECT_GT(info.frames(), 1u) << round;
    }
}
