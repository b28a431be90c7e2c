#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/CameraManager.h"
#include "core/FileUtil.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/TestSupport.h"

using namespace talvex;
using talvex::test::listDir;
using talvex::test::runCommand;
using talvex::test::TempDir;

namespace {

constexpr int waitMs = 8000;

// The video stream as ffprobe reads it.
struct Movie {
    std::string format;  // codec,width,height
    double seconds = 0;
    int frames = 0;
};
Movie probe(const std::string& path) {
    std::string out = runCommand(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,width,height,duration,nb_read_frames -of csv=p=0 '" +
        path + "'");
    Movie movie;
    std::size_t third = out.find(',', out.find(',', out.find(',') + 1) + 1);
    movie.format = out.substr(0, third);
    std::sscanf(out.c_str() + std::min(third, out.size()), ",%lf,%d", &movie.seconds,
                &movie.frames);
    return movie;
}

CameraDevice device(int number, std::string name = {}) {
    std::string system = "Synthetic Camera " + std::to_string(number);
    return {"synthetic-" + std::to_string(number), name.empty() ? system : name, system};
}

struct Manager : ::testing::Test {
    TempDir data, folder;
    std::unique_ptr<CameraManager> manager;

    Manager() {
        SyntheticCameras::reset();
        SyntheticCameras::add(3);
        manager = std::make_unique<CameraManager>(data.path());
    }
    ~Manager() override {
        manager.reset();
        SyntheticCameras::reset();
    }
    void open(const std::vector<CameraDevice>& devices, std::size_t expected) {
        manager->openCameras(devices);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return manager->openedRecorders().size() == expected; }, waitMs));
    }
    // The completion runs exactly once, on the main thread.
    void stopAndWait() {
        int completions = 0;
        bool onMainThread = true;
        manager->stopRecording([&](const StopReport&) {
            ++completions;
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return completions > 0; }, 15000));
        QTest::qWait(50);
        EXPECT_EQ(completions, 1);
        EXPECT_TRUE(onMainThread);
    }
};

}  // namespace

TEST_F(Manager, ScanNamesDevicesThroughTheRegistryAndNamesSurvive) {
    manager->registry().setName("Bench left", "synthetic-2");
    manager->scan();
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->availableDevices().size() == 3; }, waitMs));
    EXPECT_EQ(manager->availableDevices()[0].name, "Synthetic Camera 1");
    EXPECT_EQ(manager->availableDevices()[1].name, "Bench left");
    manager->registry().waitUntilSaved();
    auto stored = nlohmann::json::parse(test::readText(data.file("camera_names.json")));
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
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return manager->errorMessage() != "previous text"; }, waitMs));
        EXPECT_EQ(manager->errorMessage(), c.error);
        std::vector<std::string> ids;
        for (const auto& r : manager->openedRecorders()) ids.push_back(r->device().id);
        EXPECT_EQ(ids, c.openIds);
    }
}

// One camera writes exactly camera1.mp4, two exactly the side-by-side
// recording.mp4 with the swap taken at the start.
TEST_F(Manager, WritesExactlyOneMovie) {
    struct Case {
        std::vector<CameraDevice> devices;
        std::string file, format;
        double seconds;
    };
    for (const Case& c : {Case{{device(2)}, "camera1.mp4", "h264,1280,720", 1.5},
                          Case{{device(1), device(2)}, "recording.mp4", "h264,2560,720", 2.0}}) {
        SCOPED_TRACE(c.file);
        TempDir out;
        open(c.devices, c.devices.size());
        manager->setCamerasSwapped(true);
        ASSERT_EQ(manager->startRecording(out.path()), std::nullopt);
        manager->setCamerasSwapped(false);  // too late for this recording
        QTest::qWait(int(c.seconds * 1000));
        stopAndWait();
        EXPECT_EQ(listDir(out.path()), std::vector<std::string>{c.file});
        Movie movie = probe(out.file(c.file));
        EXPECT_EQ(movie.format, c.format);
        // 30 fps: never more; fewer only on a busy machine, so a generous floor.
        EXPECT_GE(movie.frames, c.seconds * 5);
        EXPECT_LE(movie.frames, c.seconds * 33);
        EXPECT_NEAR(movie.seconds, c.seconds, 0.8);
        if (c.devices.size() == 1) continue;
        // Average R, G, B of each half of frame 10: camera 2 (blue) left, camera 1 (red) right.
        std::string rgb = runCommand("ffmpeg -v error -i '" + out.file(c.file) +
                                     "' -vf 'select=eq(n\\,10),format=rgb24,scale=2:1:flags=area'"
                                     " -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(rgb.size(), 6u);
        auto channel = [&](int i) { return static_cast<unsigned char>(rgb[i]); };
        EXPECT_GT(channel(2), channel(0) + 60) << "left half is not the blue camera";
        EXPECT_GT(channel(3), channel(5) + 60) << "right half is not the red camera";
    }
}

// A lost camera gives its slot to the other; lost while recording, its movie still plays.
TEST_F(Manager, LostCamerasLeaveNoGapAndAPlayableMovie) {
    open({device(1), device(2)}, 2);
    SyntheticCameras::disconnect("synthetic-1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().size() == 1; }, waitMs));
    EXPECT_EQ(manager->openedRecorders()[0]->device().id, "synthetic-2");
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 1' was disconnected.");
    EXPECT_EQ(CameraRecorder::runningCaptures(), 1);

    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    QTest::qWait(1000);
    SyntheticCameras::disconnect("synthetic-2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().empty(); }, waitMs));
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 2' was disconnected.");
    stopAndWait();
    Movie movie = probe(folder.file("camera1.mp4"));
    EXPECT_EQ(movie.format, "h264,1280,720");
    EXPECT_GT(movie.frames, 10);
}

// The stop completes once, whether nothing is open, nothing is recording, or
// an Apply has just closed the recording cameras: then after their movie is finished.
TEST_F(Manager, StopCompletesOnceAndOnlyAfterTheMovieIsFinished) {
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    stopAndWait();
    EXPECT_TRUE(listDir(folder.path()).empty());
    open({device(1)}, 1);
    stopAndWait();
    ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
    QTest::qWait(1000);
    manager->openCameras({device(2)});
    EXPECT_TRUE(manager->openedRecorders().empty());
    stopAndWait();
    EXPECT_GT(probe(folder.file("camera1.mp4")).frames, 10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->openedRecorders().size() == 1; }, waitMs));
}
