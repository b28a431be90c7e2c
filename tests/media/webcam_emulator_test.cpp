#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

#include "media/CameraDiscovery.h"
#include "media/CameraRecorder.h"
#include "support/TestSupport.h"
#include "webcam/TruthLogReader.h"
#include "webcam/WebcamCounter.h"

using namespace talvex;
using namespace talvex::test;

// A late camera that loses, flags and cuts frames, recorded by the station into its own movie:
// every movie frame sits at its capture instant, no damaged frame is in it, and the stop reports
// what the camera gave. A second camera on the same root port gets no USB bandwidth.
TEST(WebcamEmulator, MovieFramesKeepTheirCaptureInstantsAndSkipDamagedOnes) {
    if (!amongWebcams("nodrop = on\n[camera cam]\nmodel = 720p\nmode = mjpeg 640x480 30\ndelay_ms "
                      "= 20-40\ndrop = every 7\n"
                      "flag = every 11\ncut = every 13\n[camera other]\nmodel = vga\nport = 1.2\n"))
        return;
    auto first = CameraDiscovery::find("/dev/video0"),
         second = CameraDiscovery::find("/dev/video2");
    ASSERT_TRUE(first && second);
    CameraRecorder recorder({first->id, "Cam", ""}, 30), other({second->id, "Other", ""}, 30);
    ASSERT_EQ(recorder.setup(), std::nullopt);
    testing::internal::CaptureStdout();
    EXPECT_EQ(other.setup(), "Cannot open input for 'Other'");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(log,
                      "Talvex: cannot open 'Other': not enough USB bandwidth left on its USB "
                      "bus next to 'USB 2.0 Camera' (\"No space left on device\""),
              1)
        << log;
    TempDir dir;
    ASSERT_EQ(recorder.startRecording(dir.file("camera1.mp4")), std::nullopt);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::promise<CameraRecorder::Stopped> done;
    recorder.stopRecording([&](CameraRecorder::Stopped stopped) { done.set_value(stopped); });
    const CameraRecorder::Stopped stopped = done.get_future().get();
    ASSERT_TRUE(stopped.movie && stopped.take && stopped.movie->firstFrameTime);

    // Each movie frame's capture instant and counter, against the truth log's.
    const std::string path = dir.file("camera1.mp4");
    std::vector<double> times = movieFrameTimes(path), errors;
    const std::string gray = runCommand("ffmpeg -v error -i '" + path +
                                        "' -fps_mode passthrough -vf scale=320:180 -pix_fmt gray "
                                        "-f rawvideo - 2>/dev/null");
    ASSERT_EQ(gray.size(), times.size() * 320 * 180);
    const auto truth = webcam::readTruthLog();
    std::vector<std::uint64_t> counters;
    for (std::size_t i = 0; i < times.size(); ++i) {
        auto code = webcam::readCounter(
            reinterpret_cast<const std::uint8_t*>(gray.data()) + i * 320 * 180, 320, 180, 320);
        ASSERT_TRUE(code);
        auto captured = webcam::findFrame(truth, "cam", code->counter);
        EXPECT_EQ(captured.fate, "delivered") << code->counter;
        times[i] += *stopped.movie->firstFrameTime;
        errors.push_back(std::abs(times[i] - captured.captureNs / 1e9));
        counters.push_back(captured.counter);
    }
    ASSERT_GT(times.size(), 10u);  // 90 frames captured, with room for a loaded machine
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 0.5 / 30 - 1e-5);
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    EXPECT_LE(errors[errors.size() / 2], 0.003);
    std::cout << "median capture time error " << errors[errors.size() / 2] * 1e3 << " ms, "
              << times.size() << " frames\n";
    // What the truth log says of the frames the take spanned.
    std::int64_t lost = 0, damaged = 0;
    for (const auto& f : truth)
        if (f.camera == "cam" && f.counter > counters.front() && f.counter < counters.back())
            lost += f.fate == "dropped" || f.fate == "no_buffer",
                damaged += f.fate == "flagged" || f.fate == "cut_short";
    const CameraTake& take = *stopped.take;
    EXPECT_EQ(take.framesWritten, static_cast<std::int64_t>(times.size()));
    EXPECT_NEAR(take.framesDamaged, damaged, 1);
    EXPECT_NEAR(take.framesLost, lost, 1);
    EXPECT_GE(take.framesCaptured, take.framesWritten + take.framesDamaged);
    EXPECT_GT(damaged, 5);
}
