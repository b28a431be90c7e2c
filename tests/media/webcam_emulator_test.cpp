#include <gtest/gtest.h>

#include <fstream>

#include "support/TestSupport.h"
#include "webcam/TruthLogReader.h"
#include "webcam/WebcamCounter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

using namespace talvex::test;

// Two cameras through libavdevice, as the station opens them: packet times and picture counters
// match the truth log, and a frame lost on the bus is missing.
TEST(WebcamEmulator, PacketsCarryTheCamerasCaptureInstantsAndCounters) {
    if (!std::getenv("TALVEX_WEBCAM_CONTROL")) {  // runs itself again among emulated webcams
        TempDir dir;
        std::ofstream(dir.file("cams"))
            << "[camera front]\ndrop = every 5\n[camera side]\nmodel = 720p\n";
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        int code = -1;
        std::string output = runCommand(binaryPath("tools/webcam/with-webcams") + " --truth " +
                                            dir.file("truth") + " " + dir.file("cams") + " -- " +
                                            self + " --gtest_filter='WebcamEmulator.*' 2>&1",
                                        &code);
        EXPECT_EQ(code, 0) << output;
        return;
    }
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
