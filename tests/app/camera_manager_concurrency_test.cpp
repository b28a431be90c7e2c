#include <gtest/gtest.h>

#include "CameraManagerFixture.h"

using namespace talvex;
using namespace talvex::test;

namespace {
using Concurrency = CameraManagerFixture;
}  // namespace

TEST_F(Concurrency, RapidStartStopCyclesFinishEveryMovie) {
    for (std::string movie : {"recording.mp4", "camera1.mp4"}) {
        open(movie == "camera1.mp4" ? std::vector{device(1)} : std::vector{device(1), device(2)});
        for (int cycle = 0; cycle < 4; ++cycle) {
            TempDir folder;
            const auto first = manager->openedRecorders()[0];
            const auto captured = first->framesCaptured();
            ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
            QTest::qWait(cycle * 150);
            // From the third cycle on frames must have come, however slow the machine is.
            if (cycle >= 2) waitUntil([&] { return first->framesCaptured() > captured + 3; });
            const std::string outcome = stop();
            // Only a stop before the first frame cancels the movie; a finished one plays.
            if (cycle < 2 && outcome == movie + " cancelled (no frames)") continue;
            EXPECT_EQ(outcome, movie + " finished");
            EXPECT_GT(probeMovie(folder.file(movie)).frames(), 0u) << movie << cycle;
        }
    }
}

// A lost camera gives its slot to the other and its movie still plays, also
// when the stop is asked while the loss is on its way to the main thread.
TEST_F(Concurrency, DisconnectDuringRecordingsStillCompletesOnce) {
    TempDir dual, single;
    open({device(1), device(2)});
    ASSERT_EQ(manager->startRecording(dual.path()), std::nullopt);
    QTest::qWait(500);
    SyntheticCameras::disconnect("synthetic-1");
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 1; }));
    EXPECT_EQ(openIds(), std::vector<std::string>{"synthetic-2"});
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 1' was disconnected.");
    EXPECT_EQ(CameraRecorder::runningCaptures(), 1);
    EXPECT_EQ(stop(), "recording.mp4 finished");
    EXPECT_GT(probeMovie(dual.file("recording.mp4")).frames(), 0u);

    ASSERT_EQ(manager->startRecording(single.path()), std::nullopt);
    QTest::qWait(500);
    SyntheticCameras::disconnect("synthetic-2");
    EXPECT_EQ(stop(), "camera1.mp4 finished");
    EXPECT_GT(probeMovie(single.file("camera1.mp4")).frames(), 0u);
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().empty(); }));
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 2' was disconnected.");
}

// Each Apply supersedes the ones still opening; none of theirs may leak.
TEST_F(Concurrency, OverlappingApplyLeavesOnlyTheLastSetOpen) {
    for (const auto& devices : std::vector<std::vector<CameraDevice>>{{device(1), device(2)},
                                                                      {device(3)},
                                                                      {device(2), device(1)},
                                                                      {},
                                                                      {device(2), device(3)}}) {
        manager->openCameras(devices);
        QTest::qWait(40);
    }
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 2; }));
    QTest::qWait(1000);  // an earlier set-up would have published by now
    EXPECT_EQ(openIds(), (std::vector<std::string>{"synthetic-2", "synthetic-3"}));
    EXPECT_EQ(CameraRecorder::runningCaptures(), 2);
    manager.reset();
    EXPECT_EQ(CameraRecorder::runningCaptures(), 0);
}
