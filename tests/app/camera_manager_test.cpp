#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CameraManagerFixture.h"
#include "core/FileUtil.h"

using namespace talvex;
using namespace talvex::test;

namespace {

using Manager = CameraManagerFixture;

// The folder holds exactly `file`, `width` x 720 H.264 of about `seconds`
// at 30 fps: never more frames; fewer only on a busy machine, so a generous floor.
void expectOnlyMovie(const TempDir& folder, const std::string& file, int width, double seconds) {
    EXPECT_EQ(listDir(folder.path()), std::vector<std::string>{file});
    MovieInfo movie = probeMovie(folder.file(file));
    EXPECT_EQ(movie.streams, "stream,h264,High," + std::to_string(width) +
                                 ",720,yuv420p\nformat,\"mov,mp4,m4a,3gp,3g2,mj2\"\n");
    EXPECT_GE(movie.frames(), seconds * 5);
    EXPECT_LE(movie.frames(), seconds * 33);
    EXPECT_NEAR(movie.seconds, seconds, 0.8);
}

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

// Two cameras write exactly the side-by-side recording.mp4, with the swap
// taken at the start.
TEST_F(Manager, TwoCamerasWriteOneSideBySideMovie) {
    TempDir out;
    open({device(1), device(2)});
    manager->setCamerasSwapped(true);
    ASSERT_EQ(manager->startRecording(out.path()), std::nullopt);
    manager->setCamerasSwapped(false);  // too late for this recording
    QTest::qWait(2000);
    EXPECT_EQ(stop(), "recording.mp4 finished");
    expectOnlyMovie(out, "recording.mp4", 2560, 2.0);
    // Frame 10, below the counters: camera 2 (blue) left, camera 1 (red) right.
    SmallFrames frames(out.file("recording.mp4"), 64);
    const Rgb left = frames.at(10, 16, 30), right = frames.at(10, 48, 30);
    EXPECT_GT(left.b, left.r + 60) << "left half is not the blue camera";
    EXPECT_GT(right.r, right.b + 60) << "right half is not the red camera";
}

// The stop completes once, whether nothing is open, nothing is recording, or
// an Apply has just closed the recording camera: then after its movie,
// exactly camera1.mp4, is finished, which it reports.
TEST_F(Manager, StopCompletesOnceAndOnlyAfterTheMovieIsFinished) {
    TempDir folder;
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    EXPECT_EQ(stop(), "no video");
    EXPECT_TRUE(listDir(folder.path()).empty());
    open({device(1)});
    EXPECT_EQ(stop(), "no video");
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    QTest::qWait(1500);
    manager->openCameras({device(2)});
    EXPECT_TRUE(manager->openedRecorders().empty());
    EXPECT_EQ(stop(), "camera1.mp4 finished");
    expectOnlyMovie(folder, "camera1.mp4", 1280, 1.5);
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 1; }));
}
