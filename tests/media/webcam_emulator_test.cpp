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

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

using namespace talvex;
using namespace talvex::test;

namespace {

// Outside the emulator: runs the current test again among webcams made from the configuration.
bool amongWebcams(const std::string& config) {
    if (std::getenv("TALVEX_WEBCAM_CONTROL")) return true;
    TempDir dir;
    std::ofstream(dir.file("cams")) << config;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    int code = -1;
    // FFmpeg's v4l2 input leaks its buffer tables when it cannot start a stream.
    std::string output =
        runCommand("LSAN_OPTIONS=suppressions=" TALVEX_SOURCE_DIR
                   "/scripts/lsan.supp "
                   "ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=0 " +
                       binaryPath("tools/webcam/with-webcams") + " --truth " + dir.file("truth") +
                       " " + dir.file("cams") + " -- " + self + " --gtest_filter='" +
                       test->test_suite_name() + "." + test->name() + "' 2>&1",
                   &code);
    EXPECT_EQ(code, 0) << output;
    return false;
}

}  // namespace

// Two cameras through libavdevice, as the station opens them: packet times and picture counters
// match the truth log, and a frame lost on the bus is missing.
TEST(WebcamEmulator, PacketsCarryTheCamerasCaptureInstantsAndCounters) {
    if (!amongWebcams("[camera front]\ndrop = every 5\n[camera side]\nmodel = 720p\n")) return;
    avdevice_register_all();
    const char* modes[2][2] = {{"/dev/video0", "input_format=mjpeg:video_size=1280x720"},
                               {"/dev/video2", "input_format=yuyv422:video_size=640x480"}};
    const AVInputFormat* v4l2 = av_find_input_format("v4l2");
    AVFormatContext* inputs[2] = {};
    AVCodecContext* decoders[2] = {};
    for (int c = 0; c < 2; ++c) {
        AVDictionary* options = nullptr;
        av_dict_parse_string(&options, modes[c][1], "=", ":", 0);
        ASSERT_EQ(avformat_open_input(&inputs[c], modes[c][0], v4l2, &options), 0);
        const AVCodecParameters* stream = inputs[c]->streams[0]->codecpar;
        decoders[c] = avcodec_alloc_context3(avcodec_find_decoder(stream->codec_id));
        ASSERT_TRUE(avcodec_parameters_to_context(decoders[c], stream) == 0 &&
                    avcodec_open2(decoders[c], nullptr, nullptr) == 0);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (int i = 0; i < 24; ++i) {
        const int c = i % 2;  // the truth line is written before the buffer can be dequeued
        ASSERT_EQ(av_read_frame(inputs[c], packet), 0);
        ASSERT_TRUE(avcodec_send_packet(decoders[c], packet) == 0 &&
                    avcodec_receive_frame(decoders[c], frame) == 0);
        auto read =
            webcam::readCounter(frame->data[0], frame->width, frame->height, frame->linesize[0],
                                frame->format == AV_PIX_FMT_YUYV422 ? 2 : 1);
        ASSERT_TRUE(read);
        auto truth = webcam::findFrame(webcam::readTruthLog(), c ? "side" : "front", read->counter);
        EXPECT_EQ(std::tuple(read->camera, truth.fate, truth.ptsMicros()),
                  std::tuple(c, "delivered", packet->pts));
        av_packet_unref(packet);
    }
    av_frame_free(&frame), av_packet_free(&packet);
    for (int c = 0; c < 2; ++c)
        avcodec_free_context(&decoders[c]), avformat_close_input(&inputs[c]);
    auto lost = webcam::findFrame(webcam::readTruthLog(), "front", 4);
    EXPECT_TRUE(lost.fate == "dropped" && lost.sequence == 4);  // its sequence number is skipped
}

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
