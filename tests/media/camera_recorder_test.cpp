#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <atomic>
#include <future>
#include <iostream>
#include <thread>
#include <tuple>

#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"

using namespace talvex;
using namespace talvex::test;
using namespace std::chrono_literals;

namespace {

// The stop's completion comes once; how the own movie ended, described.
std::string stopAndWait(CameraRecorder& recorder, CameraRecorder::Stopped* stopped = nullptr) {
    std::promise<CameraRecorder::Stopped> done;
    recorder.stopRecording([&](CameraRecorder::Stopped ended) { done.set_value(ended); });
    const CameraRecorder::Stopped ended = done.get_future().get();
    if (stopped) *stopped = ended;
    return ended.movie ? describeMovies({*ended.movie}) : "none";
}

}  // namespace

TEST(CameraDiscovery, ChoosesSizeFormatAndWhetherToAskTheRate) {
    constexpr std::uint32_t Y = V4L2_PIX_FMT_YUYV, M = V4L2_PIX_FMT_MJPEG;
    const std::vector<FrameRateRange> r30{{30, 30}}, r10{{10, 10}}, r15{{15, 15}};
    const std::pair<std::vector<CaptureMode>, std::string> cases[] = {
        {{{Y, 1280, 720, {{5, 30}}}, {M, 1280, 720, r30}}, "yuyv422 1280x720 ask"},
        // the typical webcam: raw 720p at 10 fps only
        {{{Y, 640, 480, r30}, {Y, 1280, 720, r10}, {M, 1280, 720, {{30, 30}, {15, 15}}}},
         "mjpeg 1280x720 ask"},
        {{{Y, 640, 480, r30}, {Y, 1920, 1080, r30}, {Y, 1600, 900, r30}}, "yuyv422 1600x900 ask"},
        {{{Y, 320, 240, r30}, {Y, 640, 480, r30}}, "yuyv422 640x480 ask"},
        {{{Y, 1280, 720, {{5, 25}}}}, "yuyv422 1280x720 keep"},
        {{{Y, 1280, 720, r10}, {M, 1280, 720, r15}}, "yuyv422 1280x720 keep"},
        {{}, " 0x0 keep"},
    };
    for (const auto& [modes, expected] : cases) {
        ModeChoice got = CameraDiscovery::chooseMode(modes, 30);
        EXPECT_EQ(got.inputFormat + " " + std::to_string(got.width) + "x" +
                      std::to_string(got.height) + (got.askFrameRate ? " ask" : " keep"),
                  expected);
    }
}

// Cameras are listed by stable id, never by node path; one that cannot be opened
// gives its error text, one that sends nothing ends as a session error. Frames are
// the camera's own YUV on the steady clock; a stop without a recording completes,
// also after the close. A lost camera finishes its movie and is reported once.
TEST(CameraRecorder, OpensCapturesAndRecordsUntilTheCameraIsLost) {
    SyntheticCameras::reset();
    EXPECT_EQ(SyntheticCameras::add(5).at(2).name, "Synthetic Camera 3");
    std::atomic<int> reports{0};  // cameras reported lost, the last one in reported
    std::string reported;
    auto setUp = [&](CameraRecorder& recorder) {
        recorder.setOnDisconnect([&](const CameraDevice& lost) { reported = lost.id, ++reports; });
        ASSERT_EQ(recorder.setup(), std::nullopt);
    };
    SyntheticCameras::disconnect("synthetic-2");
    std::string ids;
    for (const auto& camera : CameraDiscovery::devices()) {
        EXPECT_EQ(camera.id.rfind("/dev/video", 0), std::string::npos) << camera.id;
        if (camera.synthetic) ids += camera.id + " ";
    }
    EXPECT_EQ(ids, "synthetic-1 synthetic-3 synthetic-4 synthetic-5 ");
    SyntheticCameras::setFailure("synthetic-3", SyntheticCameras::Failure::openInput);
    SyntheticCameras::setFailure("synthetic-4", SyntheticCameras::Failure::addOutput);
    SyntheticCameras::setFailure("synthetic-5", SyntheticCameras::Failure::noFrames);
    const std::pair<CameraDevice, std::string> cases[] = {
        {synthetic(3, "Left"), "Cannot open input for 'Left'"},
        {synthetic(4, "Right"), "Cannot add output for 'Right'"},
        {synthetic(2, "Gone"), "Device 'Gone' not found"},
    };
    for (const auto& [device, expected] : cases) {
        CameraRecorder recorder(device, 30);
        EXPECT_EQ(recorder.setup(), expected);
        EXPECT_FALSE(recorder.isCapturing());
        EXPECT_EQ(stopAndWait(recorder), "none");
    }
    SyntheticCameras::reconnect("synthetic-2");
    testing::internal::CaptureStdout();
    CameraRecorder dark(synthetic(5, "Dark"), 30), closed(synthetic(2), 30),
        recorder(synthetic(1), 30);
    setUp(dark);
    ASSERT_TRUE(waitUntil([&] { return reports.load() == 1; }));
    EXPECT_EQ(dark.latestFrame(), nullptr);
    EXPECT_EQ(stopAndWait(dark), "none");

    std::atomic<int> notified{0};
    setUp(closed);
    closed.frameSlot().setOnNewFrame([&](std::uint64_t) { ++notified; });
    ASSERT_TRUE(waitUntil([&] { return captured(closed) >= 10; }));
    VideoFramePtr frame = closed.latestFrame();
    ASSERT_TRUE(frame);
    // The camera's own yuv420p, BT.601 video range: nothing converted on the way.
    EXPECT_EQ(std::tuple(frame->width(), frame->height(), frame->format()),
              std::tuple(1280, 720, AV_PIX_FMT_YUV420P));
    // Away from the counter: 0x2040D0 is Y 77, Cb 196, Cr 104.
    EXPECT_NEAR(frame->row(600)[1000], 77, 4);
    EXPECT_NEAR(frame->row(300, 1)[500], 196, 4);
    EXPECT_NEAR(frame->row(300, 2)[500], 104, 4);
    ASSERT_TRUE(waitUntil([&] { return closed.latestFrame() != frame; }));
    EXPECT_GT(closed.latestFrame()->ptsMicros, frame->ptsMicros);
    EXPECT_GT(notified.load(), 0);
    EXPECT_EQ(stopAndWait(closed), "none");
    closed.close();
    EXPECT_FALSE(closed.isCapturing());
    EXPECT_EQ(stopAndWait(closed), "none");

    TempDir dir;
    const std::string path = dir.file("camera1.mp4");
    setUp(recorder);
    ASSERT_EQ(recorder.startRecording(path), std::nullopt);
    std::this_thread::sleep_for(2s);
    SyntheticCameras::disconnect("synthetic-1");
    ASSERT_TRUE(waitUntil([&] { return reports.load() == 2; }));
    EXPECT_FALSE(recorder.isCapturing());
    CameraRecorder::Stopped stopped;
    EXPECT_EQ(stopAndWait(recorder, &stopped), "camera1.mp4 finished");
    auto info = probeMovie(path);
    expectPlayable(info, 1280);
    EXPECT_GE(info.frames(), 20u);  // 2 s at 30 fps, with room for a loaded machine; no more
    // than it captured, below
    // What the camera gave the take: every frame it captured went into its movie.
    ASSERT_TRUE(stopped.take && stopped.take->lostAt);
    const std::string frames = std::to_string(info.frames());
    EXPECT_EQ(stopped.take->mode + " " + std::to_string(stopped.take->framesCaptured) + " " +
                  std::to_string(stopped.take->framesWritten),
              "yuv420p 1280x720 30fps " + frames + " " + frames);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reports.load(), 2);
    EXPECT_EQ(reported, "synthetic-1");
    const std::string log = testing::internal::GetCapturedStdout();
    if (HasFailure()) std::cout << log;  // failures printed while capturing are in it
    EXPECT_EQ(countOf(log, "Talvex: session error for 'Dark': no frame from the camera for 5 s\n"),
              1)
        << log;
    EXPECT_EQ(countOf(log, "Talvex: disconnected: 'Synthetic Camera 1'\n"), 1) << log;
}
