#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/TestSupport.h"

using namespace talvex;
using namespace std::chrono_literals;
using talvex::test::runCommand;
using talvex::test::TempDir;

namespace {

struct Probe {
    std::string codec;
    int width = 0, height = 0, frames = 0;
};

// The movie as ffprobe decodes it: every frame is read, so a file without
// its trailer or with broken packets does not pass.
Probe probe(const std::string& path) {
    int exit = 0;
    std::string out = runCommand(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
            path + "'",
        &exit);
    Probe p;
    char codec[32] = {};
    if (exit == 0)
        std::sscanf(out.c_str(), "%31[^,],%d,%d,%d", codec, &p.width, &p.height, &p.frames);
    p.codec = codec;
    return p;
}

CameraDevice synthetic(int number) {
    auto camera = SyntheticCameras::find("synthetic-" + std::to_string(number));
    return {camera->id, camera->name, camera->name};
}

template <typename Predicate>
bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void stopAndWait(CameraRecorder& recorder) {
    std::promise<void> done;
    recorder.stopRecording([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
}

struct Cameras : ::testing::Test {
    Cameras() {
        SyntheticCameras::reset();
        SyntheticCameras::add(2);
    }
    ~Cameras() override { SyntheticCameras::reset(); }
};

}  // namespace

TEST(CameraDiscovery, ChoosesSizeFormatAndWhetherToAskTheRate) {
    auto mode = [](std::uint32_t format, int w, int h, std::vector<FrameRateRange> rates) {
        return CaptureMode{format, w, h, std::move(rates)};
    };
    constexpr auto yuyv = V4L2_PIX_FMT_YUYV;
    constexpr auto mjpg = V4L2_PIX_FMT_MJPEG;
    struct Case {
        const char* label;
        std::vector<CaptureMode> modes;
        ModeChoice expected;
    };
    const std::vector<Case> cases = {
        {"raw 720p reaches 30",
         {mode(yuyv, 1280, 720, {{5, 30}}), mode(mjpg, 1280, 720, {{30, 30}})},
         {"yuyv422", 1280, 720, true}},
        {"typical webcam: raw 720p only 10 fps",
         {mode(yuyv, 640, 480, {{30, 30}}), mode(yuyv, 1280, 720, {{10, 10}}),
          mode(mjpg, 1280, 720, {{30, 30}, {15, 15}})},
         {"mjpeg", 1280, 720, true}},
        {"nearest larger size",
         {mode(yuyv, 640, 480, {{30, 30}}), mode(yuyv, 1920, 1080, {{30, 30}}),
          mode(yuyv, 1600, 900, {{30, 30}})},
         {"yuyv422", 1600, 900, true}},
        {"only smaller sizes: the largest",
         {mode(yuyv, 320, 240, {{30, 30}}), mode(yuyv, 640, 480, {{30, 30}})},
         {"yuyv422", 640, 480, true}},
        {"rates stop at 25: keep the camera's own",
         {mode(yuyv, 1280, 720, {{5, 25}})},
         {"yuyv422", 1280, 720, false}},
        {"neither reaches: raw kept, rate not asked",
         {mode(yuyv, 1280, 720, {{10, 10}}), mode(mjpg, 1280, 720, {{15, 15}})},
         {"yuyv422", 1280, 720, false}},
        {"nothing known", {}, {"", 0, 0, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ModeChoice got = CameraDiscovery::chooseMode(c.modes, 30);
        EXPECT_EQ(got.inputFormat, c.expected.inputFormat);
        EXPECT_EQ(got.width, c.expected.width);
        EXPECT_EQ(got.height, c.expected.height);
        EXPECT_EQ(got.askFrameRate, c.expected.askFrameRate);
    }
}

TEST_F(Cameras, SyntheticCamerasAreListedWithStableIdsAndNeverByNodePath) {
    auto more = SyntheticCameras::add(1);
    EXPECT_EQ(more.at(0).id, "synthetic-3");
    EXPECT_EQ(more.at(0).name, "Synthetic Camera 3");
    SyntheticCameras::disconnect("synthetic-2");
    std::vector<std::string> ids;
    for (const auto& camera : CameraDiscovery::devices()) {
        EXPECT_EQ(camera.id.rfind("/dev/video", 0), std::string::npos) << camera.id;
        if (camera.synthetic) ids.push_back(camera.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"synthetic-1", "synthetic-3"}));
}

TEST_F(Cameras, SetupYieldsTheOpenErrorTexts) {
    SyntheticCameras::setFailure("synthetic-1", SyntheticCameras::Failure::openInput);
    SyntheticCameras::setFailure("synthetic-2", SyntheticCameras::Failure::addOutput);
    SyntheticCameras::add(1);
    SyntheticCameras::disconnect("synthetic-3");
    struct Case {
        CameraDevice device;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"synthetic-1", "Left", "Synthetic Camera 1"}, "Cannot open input for 'Left'"},
        {{"synthetic-2", "Right", "Synthetic Camera 2"}, "Cannot add output for 'Right'"},
        {{"synthetic-3", "Gone", "Synthetic Camera 3"}, "Device 'Gone' not found"},
        {{"usb-Nobody_Cam-video-index0", "Unplugged", "Cam"}, "Device 'Unplugged' not found"},
    };
    for (const auto& c : cases) {
        CameraRecorder recorder(c.device, 30);
        EXPECT_EQ(recorder.setup(), c.expected);
        EXPECT_FALSE(recorder.isCapturing());
    }
}

TEST_F(Cameras, CapturesBgraFramesInTheCameraColourOnTheSteadyClock) {
    CameraRecorder recorder(synthetic(2), 30);
    ASSERT_EQ(recorder.setup(), std::nullopt);
    std::atomic<int> notified{0};
    recorder.frameSlot().setOnNewFrame([&](std::uint64_t) { ++notified; });
    ASSERT_TRUE(waitFor([&] { return recorder.framesCaptured() >= 10; }));
    VideoFramePtr frame = recorder.latestFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 1280);
    EXPECT_EQ(frame->height, 720);
    EXPECT_EQ(frame->stride, 1280 * 4);
    // Away from the counter the pixels are the camera's colour (0x2040D0), stored B, G, R, A.
    const std::uint8_t* pixel = frame->row(600) + 1000 * 4;
    EXPECT_NEAR(pixel[0], 0xD0, 6);
    EXPECT_NEAR(pixel[1], 0x40, 6);
    EXPECT_NEAR(pixel[2], 0x20, 6);
    EXPECT_EQ(pixel[3], 0xFF);
    ASSERT_TRUE(waitFor([&] { return recorder.latestFrame() != frame; }));
    VideoFramePtr next = recorder.latestFrame();
    EXPECT_GT(next->ptsMicros, frame->ptsMicros);
    EXPECT_GT(notified.load(), 0);
    recorder.close();
    EXPECT_FALSE(recorder.isCapturing());
}

TEST_F(Cameras, OwnMovieIs720pH264AtTheCameraRate) {
    TempDir dir;
    CameraRecorder recorder(synthetic(1), 30);
    ASSERT_EQ(recorder.setup(), std::nullopt);
    ASSERT_EQ(recorder.startRecording(dir.file("camera1.mp4")), std::nullopt);
    std::this_thread::sleep_for(2s);
    stopAndWait(recorder);
    Probe p = probe(dir.file("camera1.mp4"));
    EXPECT_EQ(p.codec, "h264");
    EXPECT_EQ(p.width, 1280);
    EXPECT_EQ(p.height, 720);
    // 2 s at 30 fps, with room for a loaded machine.
    EXPECT_GE(p.frames, 20);
    EXPECT_LE(p.frames, 66);
    EXPECT_EQ(recorder.framesDropped(), 0u);
}

int occurrences(const std::string& text, const std::string& line) {
    int count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

TEST_F(Cameras, LostCameraFinishesItsMovieAndReportsOnce) {
    testing::internal::CaptureStdout();
    TempDir dir;
    CameraRecorder recorder(synthetic(1), 30);
    std::atomic<int> reports{0};
    std::string reported;
    recorder.setOnDisconnect([&](const CameraDevice& device) {
        reported = device.id;
        ++reports;
    });
    ASSERT_EQ(recorder.setup(), std::nullopt);
    ASSERT_EQ(recorder.startRecording(dir.file("lost.mp4")), std::nullopt);
    std::this_thread::sleep_for(1s);
    SyntheticCameras::disconnect("synthetic-1");
    ASSERT_TRUE(waitFor([&] { return reports.load() == 1; }));
    EXPECT_FALSE(recorder.isCapturing());
    // Playable before anyone asks for the stop.
    ASSERT_TRUE(waitFor([&] { return probe(dir.file("lost.mp4")).frames > 10; }));
    stopAndWait(recorder);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(reported, "synthetic-1");
    EXPECT_EQ(probe(dir.file("lost.mp4")).codec, "h264");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(log, "Talvex: disconnected: 'Synthetic Camera 1'\n"), 1) << log;
}

TEST_F(Cameras, CameraThatSendsNothingEndsAsASessionError) {
    testing::internal::CaptureStdout();
    SyntheticCameras::setFailure("synthetic-2", SyntheticCameras::Failure::noFrames);
    CameraRecorder recorder({"synthetic-2", "Dark", "Synthetic Camera 2"}, 30);
    std::atomic<int> reports{0};
    recorder.setOnDisconnect([&](const CameraDevice&) { ++reports; });
    ASSERT_EQ(recorder.setup(), std::nullopt);
    ASSERT_TRUE(waitFor([&] { return reports.load() == 1; }, 10000ms));
    EXPECT_EQ(recorder.framesCaptured(), 0u);
    EXPECT_FALSE(recorder.latestFrame());
    stopAndWait(recorder);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        occurrences(log, "Talvex: session error for 'Dark': no frame from the camera for 5 s\n"), 1)
        << log;
}

TEST_F(Cameras, StopWithoutRecordingCompletesAndCloseIsQuiet) {
    CameraRecorder recorder(synthetic(1), 30);
    std::atomic<int> reports{0};
    recorder.setOnDisconnect([&](const CameraDevice&) { ++reports; });
    ASSERT_EQ(recorder.setup(), std::nullopt);
    stopAndWait(recorder);
    recorder.close();
    stopAndWait(recorder);
    EXPECT_EQ(reports.load(), 0);
    CameraRecorder neverOpened(synthetic(2), 30);
    stopAndWait(neverOpened);
}
