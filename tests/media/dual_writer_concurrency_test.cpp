#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "media/Compositor.h"
#include "support/MovieProbe.h"

using namespace talvex;
using namespace talvex::test;
using namespace std::chrono_literals;

// Two capture threads holding the compositor keep feeding while the main
// thread stops it and (second round) drops it, so it dies wherever its last
// holder lets go; every composite counted is in the movie.
TEST(CompositorConcurrency, StopWhileFramesArrive) {
    std::vector<VideoFramePtr> frames;  // the dual writer times the movie by camera 0 alone
    for (int i = 0; i < 300; ++i)
        frames.push_back(makeFrame(160, 90, {200, 40, 40}, i, 1'000'000 + i * 33'333));
    TempDir dir;
    for (bool dropAtOnce : {false, true}) {
        SCOPED_TRACE(dropAtOnce);
        const std::string path = dir.file(dropAtOnce ? "dropped.mp4" : "kept.mp4");
        auto writer = std::make_shared<Compositor>(false);
        ASSERT_FALSE(writer->start(path, MovieSettings::sideBySide()));
        std::vector<std::thread> feeders;
        for (int index : {0, 1})
            feeders.emplace_back([target = writer, &frames, index] {
                for (const auto& frame : frames)
                    target->offer(index, frame), std::this_thread::sleep_for(1ms);
            });
        EXPECT_TRUE(waitUntil([&] { return writer->framesWritten() > 2; }));
        std::promise<void> done;  // a second completion would throw
        std::weak_ptr<Compositor> watch = writer;
        writer->stop([&](std::optional<MovieResult>) { done.set_value(); });
        if (dropAtOnce) writer.reset();
        done.get_future().wait();
        for (auto& feeder : feeders) feeder.join();
        const std::int64_t written = writer ? writer->framesWritten() : -1;
        writer.reset();
        EXPECT_TRUE(waitUntil([&] { return watch.expired(); }));
        auto info = probeMovie(path);
        expectPlayable(info, 2560);
        EXPECT_GT(info.frames(), 0u);
        EXPECT_TRUE(written < 0 || static_cast<std::int64_t>(info.frames()) == written) << written;
        for (std::size_t i = 1; i < info.frameTimes.size(); ++i)
            EXPECT_GT(info.frameTimes[i], info.frameTimes[i - 1]);
    }
}
