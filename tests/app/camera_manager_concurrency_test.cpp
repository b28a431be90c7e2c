#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "app/CameraManager.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/TestSupport.h"

using namespace talvex;
using namespace std::chrono_literals;
using talvex::test::runCommand;
using talvex::test::TempDir;

namespace {

template <typename Predicate>
bool pumpUntil(Predicate predicate, std::chrono::milliseconds limit = 15000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    auto end = std::chrono::steady_clock::now() + duration;
    pumpUntil([&] { return std::chrono::steady_clock::now() > end; }, duration + 1s);
}

CameraDevice device(int number) {
    std::string name = "Synthetic Camera " + std::to_string(number);
    return {"synthetic-" + std::to_string(number), name, name};
}

bool playable(const std::string& path) {
    int exit = 1;
    std::string out = runCommand(
        "ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" + path +
            "' 2>&1",
        &exit);
    return exit == 0 && std::atoi(out.c_str()) > 0;
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
        ASSERT_TRUE(pumpUntil([&] { return manager->openedRecorders().size() == devices.size(); }));
    }
    int stopAndCount() {
        int completions = 0;
        manager->stopRecording([&] { ++completions; });
        EXPECT_TRUE(pumpUntil([&] { return completions > 0; }));
        pumpFor(20ms);
        return completions;
    }
};

}  // namespace

TEST_F(Concurrency, RapidStartStopCyclesFinishEveryMovie) {
    for (std::size_t cameras : {2u, 1u}) {
        std::vector<CameraDevice> devices = {device(1), device(2)};
        devices.resize(cameras);
        open(devices);
        for (int cycle = 0; cycle < 4; ++cycle) {
            TempDir folder;
            ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
            pumpFor(std::chrono::milliseconds(cycle * 150));
            EXPECT_EQ(stopAndCount(), 1);
            std::string movie = folder.file(cameras == 2 ? "recording.mp4" : "camera1.mp4");
            // A stop before the first frame leaves no file; otherwise it must play.
            if (cycle >= 2) {
                EXPECT_TRUE(playable(movie)) << movie;
            }
        }
    }
}

TEST_F(Concurrency, DisconnectDuringRecordingsStillCompletesOnce) {
    TempDir dual, single;
    open({device(1), device(2)});
    ASSERT_EQ(manager->startRecording(dual.path()), std::nullopt);
    pumpFor(500ms);
    SyntheticCameras::disconnect("synthetic-2");
    ASSERT_TRUE(pumpUntil([&] { return manager->openedRecorders().size() == 1; }));
    EXPECT_EQ(stopAndCount(), 1);
    EXPECT_TRUE(playable(dual.file("recording.mp4")));

    ASSERT_EQ(manager->startRecording(single.path()), std::nullopt);
    pumpFor(500ms);
    SyntheticCameras::disconnect("synthetic-1");
    // The stop is asked while the loss is still on its way to the main thread.
    EXPECT_EQ(stopAndCount(), 1);
    EXPECT_TRUE(playable(single.file("camera1.mp4")));
    ASSERT_TRUE(pumpUntil([&] { return manager->openedRecorders().empty(); }));
}

TEST_F(Concurrency, OverlappingApplyLeavesOnlyTheLastSetOpen) {
    const std::vector<std::vector<CameraDevice>> choices = {
        {device(1), device(2)}, {device(3)}, {device(2), device(1)}, {}, {device(2), device(3)}};
    for (const auto& devices : choices) {
        manager->openCameras(devices);
        pumpFor(40ms);
    }
    ASSERT_TRUE(pumpUntil([&] { return manager->openedRecorders().size() == 2; }));
    pumpFor(1000ms);
    ASSERT_EQ(manager->openedRecorders().size(), 2u);
    EXPECT_EQ(manager->openedRecorders()[0]->device().id, "synthetic-2");
    EXPECT_EQ(manager->openedRecorders()[1]->device().id, "synthetic-3");
    EXPECT_EQ(CameraRecorder::runningCaptures(), 2);
    manager.reset();
    EXPECT_EQ(CameraRecorder::runningCaptures(), 0);
}
