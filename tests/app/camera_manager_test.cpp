#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CameraManagerFixture.h"
#include "core/FileUtil.h"

using namespace talvex;
using namespace talvex::test;

namespace {
using Manager = CameraManagerFixture;
}  // namespace

TEST_F(Manager, ScanNamesDevicesThroughTheRegistryAndNamesSurvive) {
    manager->registry().setName("Bench left", "synthetic-2");
    manager->scan();
    ASSERT_TRUE(waitUntil([&] { return manager->availableDevices().size() == 3; }));
    EXPECT_EQ(manager->availableDevices()[0].name, "Synthetic Camera 1");
    EXPECT_EQ(manager->availableDevices()[1].name, "Bench left");
    manager->registry().waitUntilSaved();
    auto stored = nlohmann::json::parse(readText(data.file("camera_names.json")));
    EXPECT_EQ(stored["synthetic-3"], "Synthetic Camera 3");
    EXPECT_EQ(CameraManager(data.path()).registry().displayName("synthetic-2", "x"), "Bench left");
}

TEST_F(Manager, OpenErrorsKeepDeviceOrderAndLeaveNoGaps) {
    SyntheticCameras::setFailure("synthetic-1", SyntheticCameras::Failure::openInput);
    SyntheticCameras::disconnect("synthetic-3");
    struct Case {
        std::vector<CameraDevice> devices;
        std::vector<std::string> openIds;
        std::optional<std::string> error;
    };
    for (const Case& c :
         {Case{{device(1, "Left"), device(2)}, {"synthetic-2"}, "Cannot open input for 'Left'"},
          Case{{device(3, "Gone"), device(1, "Left")},
               {},
               "Device 'Gone' not found\nCannot open input for 'Left'"},
          Case{{device(2)}, {"synthetic-2"}, std::nullopt}}) {
        SCOPED_TRACE(c.devices[0].name);
        manager->setErrorMessage("previous text");
        manager->openCameras(c.devices);
        ASSERT_TRUE(waitUntil([&] { return manager->errorMessage() != "previous text"; }));
        EXPECT_EQ(manager->errorMessage(), c.error);
        EXPECT_EQ(openIds(), c.openIds);
    }
}

// One camera writes exactly camera1.mp4, two exactly the side-by-side
// recording.mp4 with the swap taken at the start.
TEST_F(Manager, WritesExactlyOneMovie) {
    struct Case {
        std::vector<CameraDevice> devices;
        std::string file;
        int width;
        double seconds;
    };
    for (const Case& c : {Case{{device(2)}, "camera1.mp4", 1280, 1.5},
                          Case{{device(1), device(2)}, "recording.mp4", 2560, 2.0}}) {
        SCOPED_TRACE(c.file);
        TempDir out;
        open(c.devices);
        manager->setCamerasSwapped(true);
        ASSERT_EQ(manager->startRecording(out.path()), std::nullopt);
        manager->setCamerasSwapped(false);  // too late for this recording
        QTest::qWait(int(c.seconds * 1000));
        EXPECT_EQ(stop(), c.file + " finished");
        EXPECT_EQ(listDir(out.path()), std::vector<std::string>{c.file});
        MovieInfo movie = probeMovie(out.file(c.file));
        EXPECT_EQ(movie.streams, "stream,h264,High," + std::to_string(c.width) +
                                     ",720,yuv420p\nformat,\"mov,mp4,m4a,3gp,3g2,mj2\"\n");
        // 30 fps: never more; fewer only on a busy machine, so a generous floor.
        EXPECT_GE(movie.frames(), c.seconds * 5);
        EXPECT_LE(movie.frames(), c.seconds * 33);
        EXPECT_NEAR(movie.seconds, c.seconds, 0.8);
        if (c.devices.size() == 1) continue;
        // Frame 10, below the counters: camera 2 (blue) left, camera 1 (red) right.
        SmallFrames frames(out.file(c.file), 64);
        const Rgb left = frames.at(10, 16, 30), right = frames.at(10, 48, 30);
        EXPECT_GT(left.b, left.r + 60) << "left half is not the blue camera";
        EXPECT_GT(right.r, right.b + 60) << "right half is not the red camera";
    }
}

// The stop completes once, whether nothing is open, nothing is recording, or
// an Apply has just closed the recording cameras: then after their movie is
// finished, which it reports.
TEST_F(Manager, StopCompletesOnceAndOnlyAfterTheMovieIsFinished) {
    TempDir folder;
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    EXPECT_EQ(stop(), "no video");
    EXPECT_TRUE(listDir(folder.path()).empty());
    open({device(1)});
    EXPECT_EQ(stop(), "no video");
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    QTest::qWait(1000);
    manager->openCameras({device(2)});
    EXPECT_TRUE(manager->openedRecorders().empty());
    EXPECT_EQ(stop(), "camera1.mp4 finished");
    EXPECT_GT(probeMovie(folder.file("camera1.mp4")).frames(), 10u);
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 1; }));
}
