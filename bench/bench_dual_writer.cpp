// Side-by-side pipeline throughput: 300 pairs of synthetic 1280x720 yuv420p
// camera frames composited and encoded by the Compositor, against the
// ffmpeg command line doing the same (hstack of two raw yuv420p inputs) and
// against x264 alone on the same composites, all with the same encoder
// settings; the median of three runs. Also the cost of the crash-safe
// fragmented file, and what putting one pair into the encoder's picture
// costs for the pixel formats and sizes cameras deliver.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "QuietStdout.h"
#include "media/Compositor.h"
#include "media/FfmpegScaler.h"
#include "media/FrameMemory.h"
#include "media/MovieOutput.h"

using namespace talvex;

namespace {

constexpr int kWidth = MovieSettings::kCameraWidth;
constexpr int kHeight = MovieSettings::kCameraHeight;
constexpr int kPairs = 300;
constexpr int kDistinct = 100;  // distinct images per camera, cycled through the 300 pairs
constexpr int kFps = MovieSettings::kCameraFps;
constexpr int kRounds = 3;  // the median, against other load on the machine

// Wall-clock rate and CPU spent per pair (this process and its children);
// the second is what a busy shared machine disturbs least.
struct Rate {
    double fps = 0;
    double cpuMs = 0;
};

Rate median(std::vector<Rate> rates) {
    std::sort(rates.begin(), rates.end(), [](Rate a, Rate b) { return a.fps < b.fps; });
    return rates[rates.size() / 2];
}

class Measure {
public:
    Measure() : wall_(wallSeconds()), cpu_(cpuSeconds()) {}
    Rate done() const {
        return {kPairs / (wallSeconds() - wall_), (cpuSeconds() - cpu_) * 1e3 / kPairs};
    }

private:
    static double wallSeconds() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    static double cpuSeconds() {
        double total = 0;
        for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
            rusage usage{};
            getrusage(who, &usage);
            total += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
        }
        return total;
    }
    double wall_;
    double cpu_;
};

// Camera-like content: a panning gradient, a moving block and sensor noise,
// in the camera's own format.
VideoFramePtr inFormat(const VideoFrame& image, AVPixelFormat format, int width, int height) {
    auto frame = VideoFrame::make(width, height, 0, format);
    FfmpegScaler scaler(width, height, format);
    if (!scaler.scale(image, frame->picture(), 0)) std::exit(1);
    return frame;
}

VideoFramePtr syntheticFrame(int camera, int index) {
    auto frame = VideoFrame::make(kWidth, kHeight, 0);
    std::uint32_t noise = 12345u + 977u * static_cast<std::uint32_t>(index) + 31u * camera;
    const int blockX = (index * 12 + camera * 400) % (kWidth - 200);
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* row = frame->row(y);
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>(noise >> 29) - 4;
            const bool block = x >= blockX && x < blockX + 200 && y >= 260 && y < 460;
            const int base = block ? 230 : (x + index * 4) / 6 + y / 5;
            row[4 * x] =
                static_cast<std::uint8_t>(std::clamp(base / 2 + grain + camera * 60, 0, 255));
            row[4 * x + 1] = static_cast<std::uint8_t>(std::clamp(base + grain, 0, 255));
            row[4 * x + 2] = static_cast<std::uint8_t>(std::clamp(255 - base + grain, 0, 255));
            row[4 * x + 3] = 255;
        }
    }
    return frame;
}

struct Frames {
    std::vector<VideoFramePtr> camera0;
    std::vector<VideoFramePtr> camera1;
};

Rate runDualWriter(const Frames& frames, const std::string& path, bool crashSafe) {
    QuietStdout quiet;
    auto writer = std::make_shared<Compositor>(false);
    MovieSettings settings = MovieSettings::sideBySide();
    settings.crashSafe = crashSafe;
    if (auto error = writer->start(path, settings)) {
        std::fprintf(stderr, "cannot start the compositor: %s\n", error->c_str());
        std::exit(1);
    }
    Measure measure;
    for (int i = 0; i < kPairs; ++i) {
        writer->offer(0, frames.camera0[i]);
        writer->offer(1, frames.camera1[i]);
        // The next pair comes once this one is in the movie, or it would
        // replace it in the slots.
        while (writer->framesWritten() <= i)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::promise<void> done;
    writer->stop([&](std::optional<MovieResult>) { done.set_value(); });
    done.get_future().wait();
    Rate rate = measure.done();
    if (writer->framesWritten() != kPairs) {
        std::fprintf(stderr, "compositor wrote %lld of %d pairs\n",
                     static_cast<long long>(writer->framesWritten()), kPairs);
        std::exit(1);
    }
    return rate;
}

std::vector<FramePtr> composites(const Frames& frames) {
    FfmpegScaler left(kWidth, kHeight);
    FfmpegScaler right(kWidth, kHeight);
    std::vector<FramePtr> pictures;
    for (int i = 0; i < kDistinct; ++i) {
        FramePtr picture(av_frame_alloc());
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = 2 * kWidth;
        picture->height = kHeight;
        if (av_frame_get_buffer(picture.get(), 0) < 0) std::exit(1);
        left.scale(*frames.camera0[i], *picture, 0);
        right.scale(*frames.camera1[i], *picture, kWidth);
        pictures.push_back(std::move(picture));
    }
    return pictures;
}

Rate runEncoderOnly(const std::vector<FramePtr>& pictures, const std::string& preset) {
    MovieSettings settings = MovieSettings::sideBySide();
    settings.preset = preset;
    std::string error;
    auto encoder = openH264Encoder(settings, true, error);
    if (!encoder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    PacketPtr packet(av_packet_alloc());
    auto drain = [&] {
        while (avcodec_receive_packet(encoder.get(), packet.get()) >= 0)
            av_packet_unref(packet.get());
    };
    Measure measure;
    for (int i = 0; i < kPairs; ++i) {
        AVFrame* picture = pictures[i % kDistinct].get();
        picture->pts = static_cast<std::int64_t>(i) * 1'000'000 / kFps;
        avcodec_send_frame(encoder.get(), picture);
        drain();
    }
    avcodec_send_frame(encoder.get(), nullptr);
    drain();
    return measure.done();
}

void writeRaw(const std::vector<VideoFramePtr>& images, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& image : images)
        for (int plane = 0; plane < 3; ++plane) {
            const int shift = plane == 0 ? 0 : 1;
            for (int y = 0; y < image->height() >> shift; ++y)
                out.write(reinterpret_cast<const char*>(image->row(y, plane)),
                          image->width() >> shift);
        }
}

Rate runFfmpegCli(const std::string& raw0, const std::string& raw1, const std::string& path,
                  const std::string& preset) {
    const std::string input = "-f rawvideo -pix_fmt yuv420p -s " + std::to_string(kWidth) + "x" +
                              std::to_string(kHeight) + " -r " + std::to_string(kFps) +
                              " -stream_loop -1 -i ";
    const std::string command = "ffmpeg -nostdin -v error -y " + input + raw0 + " " + input + raw1 +
                                " -filter_complex '[0:v][1:v]hstack,format=yuv420p' -frames:v " +
                                std::to_string(kPairs) + " -c:v libx264 -preset " + preset +
                                " -profile:v high -bf 0 -b:v " +
                                std::to_string(MovieSettings::sideBySide().bitRate) + " -g " +
                                std::to_string(kFps) + " -f mp4 " + path;
    Measure measure;
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", command.c_str());
        std::exit(1);
    }
    return measure.done();
}

}  // namespace

// Milliseconds to put one pair of camera frames into the encoder's picture,
// each stretched into its half, as the dual writer does; the median of three.
double pairMs(const VideoFramePtr& image0, const VideoFramePtr& image1) {
    FfmpegScaler left(kWidth, kHeight);
    FfmpegScaler right(kWidth, kHeight);
    FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = 2 * kWidth;
    picture->height = kHeight;
    if (av_frame_get_buffer(picture.get(), 0) < 0) std::exit(1);
    std::vector<double> runs;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 50; ++i) {
            left.scale(*image0, *picture, 0);
            right.scale(*image1, *picture, kWidth);
        }
        runs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count() /
            50);
    }
    std::sort(runs.begin(), runs.end());
    return runs[1];
}

void printConversionCosts(const VideoFrame& bgra0, const VideoFrame& bgra1) {
    struct Source {
        const char* name;
        AVPixelFormat format;
        int width, height;
    };
    const Source sources[] = {
        {"yuv420p", AV_PIX_FMT_YUV420P, 1280, 720},   {"yuyv422", AV_PIX_FMT_YUYV422, 1280, 720},
        {"yuvj422p", AV_PIX_FMT_YUVJ422P, 1280, 720}, {"yuvj422p", AV_PIX_FMT_YUVJ422P, 1920, 1080},
        {"yuyv422", AV_PIX_FMT_YUYV422, 640, 480},    {"bgra", AV_PIX_FMT_BGRA, 1280, 720}};
    std::printf("convert+scale ms per pair:");
    for (const Source& s : sources)
        std::printf(" %s-%dx%d=%.2f", s.name, s.width, s.height,
                    pairMs(inFormat(bgra0, s.format, s.width, s.height),
                           inFormat(bgra1, s.format, s.width, s.height)));
    std::printf("\n");
}

int main() {
    av_log_set_level(AV_LOG_ERROR);
    keepFrameBuffersInHeap();  // as the station does
    std::ifstream load("/proc/loadavg");
    std::string loadAverage;
    std::getline(load, loadAverage);
    const std::string folder = std::filesystem::temp_directory_path() / "talvex-bench-dual";
    std::filesystem::create_directories(folder);

    // The synthetic cameras deliver 1280x720 yuv420p.
    std::vector<VideoFramePtr> images0;
    std::vector<VideoFramePtr> images1;
    for (int i = 0; i < kDistinct; ++i) {
        images0.push_back(inFormat(*syntheticFrame(0, i), AV_PIX_FMT_YUV420P, kWidth, kHeight));
        images1.push_back(inFormat(*syntheticFrame(1, i), AV_PIX_FMT_YUV420P, kWidth, kHeight));
    }
    Frames frames;
    for (int i = 0; i < kPairs; ++i) {
        frames.camera0.push_back(images0[i % kDistinct]->at(1'000'000 + i * 33'333));
        frames.camera1.push_back(images1[i % kDistinct]->at(5'000'000 + i * 33'000));
    }
    const auto pictures = composites(frames);
    const std::string raw0 = folder + "/camera0.yuv";
    const std::string raw1 = folder + "/camera1.yuv";
    writeRaw(images0, raw0);
    writeRaw(images1, raw1);
    const std::string preset = MovieSettings{}.preset;

    std::vector<Rate> ours, plain, cli, limit, limitVeryfast;
    for (int round = 0; round < kRounds; ++round) {
        ours.push_back(runDualWriter(frames, folder + "/recording.mp4", true));
        plain.push_back(runDualWriter(frames, folder + "/plain.mp4", false));
        cli.push_back(runFfmpegCli(raw0, raw1, folder + "/cli.mp4", preset));
        limit.push_back(runEncoderOnly(pictures, preset));
        limitVeryfast.push_back(runEncoderOnly(pictures, "veryfast"));
    }
    std::filesystem::remove_all(folder);
    const Rate o = median(ours), p = median(plain), c = median(cli), l = median(limit),
               v = median(limitVeryfast);

    std::printf("load average at start: %s\n", loadAverage.c_str());
    std::printf("2560x720, %lld bit/s, x264 preset %s, High profile, %d pairs, median of %d\n",
                static_cast<long long>(MovieSettings::sideBySide().bitRate), preset.c_str(), kPairs,
                kRounds);
    printConversionCosts(*syntheticFrame(0, 0), *syntheticFrame(1, 0));
    std::printf("encoder-only at preset veryfast fps=%.1f\n", v.fps);
    std::printf("cpu ms per pair: dual-writer %.1f ffmpeg-cli %.1f encoder-only %.1f\n", o.cpuMs,
                c.cpuMs, l.cpuMs);
    std::printf("fragmentation cost: fragmented+synced fps=%.1f plain fps=%.1f cost=%.1f%%\n",
                o.fps, p.fps, 100.0 * (p.fps - o.fps) / p.fps);
    std::printf(
        "dual-writer fps=%.1f ffmpeg-cli fps=%.1f encoder-only fps=%.1f ratio=%.2f of-limit=%.2f\n",
        o.fps, c.fps, l.fps, o.fps / c.fps, o.fps / l.fps);
    return 0;
}
