#include <gtest/gtest.h>

#include <QTest>

#include "app/CameraManager.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"

using namespace talvex;
using talvex::test::TempDir;

namespace {

constexpr int waitMs = 15000;

CameraDevice device(int number) {
    std::string name = "Synthetic Camera " + std::to_string(number);
    return {"synthetic-" + std::to_string(number), name, name};
}

bool playable(const std::string& path) {
    return test::probeMovie(path).frames() > 0;
}

struct Concurrency : ::testing::Test {
    TempDir data;
    std::unique_ptr<CameraManager> manager;
    Concurrency() {
        SyntheticCameras::reset();
        SyntheticCameras::add(3);
        manager = std::make_unique<CameraManager>(data.path());
    }
    ~Concurrency() override {
        manager.reset();
        SyntheticCameras::reset();
    }
    void open(const std::vector<CameraDevice>& devices) {
        manager->openCameras(devices);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return manager->openedRecorders().size() == devices.size(); }, waitMs));
    }
    int stopAndCount() {
        int completions = 0;
        manager->stopRecording([&](const StopReport&) { ++completions; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return completions > 0; }, waitMs));
        QTest::qWait(20);
        return completions;
    }
};

}  // namespace

TEST_F(Concurrency, RapidStartStopCyclesFinishEveryMovie) {
    for (std::string movie : {"recording.mp4", "camera1.mp4"}) {
        open(movie == "camera1.mp4" ? std::vector{device(1)} : std::vector{device(1), device(2)});
        for (int cycle = 0; cycle < 4; ++cycle) {
            TempDir folder;
            ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
            QTest::qWait(cycle * 150);
            EXPECT_EQ(stopAndCount(), 1);
            // A stop before the first frame leaves no file; otherwise it must play.
            if (cycle >= 2) {
                EXPECT_TRUE(playable(folder.file(movie))) << movie << cycle;
            }
        }
    }
}

TEST_F(Concurrency, DisconnectDuringRecordingsStillCompletesOnce) {
    TempDir dual, single;
    open({device(1), device(2)});
    ASSERT_EQ(manager->startRecording(dual.path()), std::nullopt);
    QTest::qWait(500);
    SyntheticCameras::disconnect("synthetic-2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().size() == 1; }, waitMs));
    EXPECT_EQ(stopAndCount(), 1);
    EXPECT_TRUE(playable(dual.file("recording.mp4")));

    ASSERT_EQ(manager->startRecording(single.path()), std::nullopt);
    QTest::qWait(500);
    SyntheticCameras::disconnect("synthetic-1");
    // The stop is asked while the loss is still on its way to the main thread.
    EXPECT_EQ(stopAndCount(), 1);
    EXPECT_TRUE(playable(single.file("camera1.mp4")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().empty(); }, waitMs));
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().size() == 2; }, waitMs));
    QTest::qWait(1000);  // an earlier set-up would have published by now
    ASSERT_EQ(manager->openedRecorders().size(), 2u);
    EXPECT_EQ(manager->openedRecorders()[0]->device().id, "synthetic-2");
    EXPECT_EQ(manager->openedRecorders()[1]->device().id, "synthetic-3");
    EXPECT_EQ(CameraRecorder::runningCaptures(), 2);
    manager.reset();
    EXPECT_EQ(CameraRecorder::runningCaptures(), 0);
}
