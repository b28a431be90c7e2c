#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <future>
#include <numeric>
#include <thread>

#include "core/FileUtil.h"
#include "media/DualCameraWriter.h"
#include "media/SingleCameraWriter.h"
#include "support/MovieProbe.h"

namespace talvex {
namespace {

using namespace test;

constexpr Rgb kRed{255, 0, 0};   // the single camera, and camera 0
constexpr Rgb kBlue{0, 0, 255};  // camera 1
constexpr std::int64_t kStart = 3'000'000;

// Camera 1 runs on its own clock and slightly faster; its times are never used.
std::int64_t camera1Time(int index) {
    return 9'000'000 + index * 33'000;
}

std::vector<int> sequence(int first, int count) {
    std::vector<int> values(count);
    std::iota(values.begin(), values.end(), first);
    return values;
}

// A playable `width` x 720 movie with frames at `times` seconds.
void expectMovie(const MovieInfo& info, int width, const std::vector<double>& times) {
    expectPlayable(info, width);
    ASSERT_EQ(info.frameTimes.size(), times.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(info.frameTimes[i], times[i], 1e-6) << "frame " << i;
}

// Small pictures get a long run (across fragment boundaries), big ones a short one.
struct Layout {
    bool dual, swapped = false;
    int frames = 70, width0 = 320, height0 = 180, width1 = 320, height1 = 180;
    AVPixelFormat format0 = AV_PIX_FMT_YUV420P, format1 = AV_PIX_FMT_YUV420P;
};

// The single-camera writer, or the dual writer fed pairs (camera 1's counter
// 100 higher), behind one face, writing its movie into a folder.
struct Writer {
    const Layout c;
    const std::string path;
    SingleCameraWriter single{"Cam A"};
    std::shared_ptr<DualCameraWriter> pair;

    Writer(const Layout& c, const std::string& folder)
        : c(c),
          path(folder + "/" + file()),
          pair(std::make_shared<DualCameraWriter>(path, c.swapped, 30)) {}
    std::optional<RecordingError> start() {
        return c.dual ? pair->startWriting() : single.startRecording(path);
    }
    void feed(const VideoFramePtr& first, const VideoFramePtr& second) {
        if (!c.dual) return single.appendFrame(first);
        pair->appendFrame(first, 0);
        pair->appendFrame(second, 1);
        pair->waitUntilIdle();
    }
    void frame(int counter, std::int64_t time) {
        feed(makeFrame(c.width0, c.height0, kRed, counter, time, c.format0),
             c.dual ? makeFrame(c.width1, c.height1, kBlue, 100 + counter, camera1Time(counter),
                                c.format1)
                    : nullptr);
    }
    // How the movie ended; the dual writer's completion comes once, on its queue.
    std::string stop() {
        std::promise<std::optional<MovieOutcome>> done;  // a second completion would throw
        const auto caller = std::this_thread::get_id();
        if (!c.dual)
            done.set_value(single.stopRecording());
        else
            pair->stopWriting([&](std::optional<MovieOutcome> ended) {
                EXPECT_NE(std::this_thread::get_id(), caller);
                done.set_value(ended);
            });
        const auto outcome = done.get_future().get();
        if (c.dual) pair->waitUntilIdle();
        return outcome ? describeMovies({*outcome}) : "none";
    }
    std::string file() const { return c.dual ? "recording.mp4" : "camera1.mp4"; }
};

struct CameraWriterLayouts : testing::TestWithParam<Layout> {};

// The file that was there before is replaced. Every frame (pair) comes back in
// order at camera 0's capture time minus the first one's, jitter and gaps
// included. A frame whose time does not move
// forward (the same, an earlier one, one before the first) is dropped with the
// append line; the movie keeps the frames around it. The dual writer pairs
// only camera 0's newest frame: two earlier ones go unused. Each camera fills
// its 1280x720 place whatever its size and pixel format, colour bars keep
// their colours, and swap moves the halves.
TEST_P(CameraWriterLayouts, WritesEveryFrameAtItsTimeIntoItsPlace) {
    const Layout c = GetParam();
    TempDir dir;
    Writer writer(c, dir.path());
    ASSERT_FALSE(writeFile(writer.path, "old recording"));
    ASSERT_FALSE(writer.start());
    testing::internal::CaptureStdout();
    for (int i = 0; c.dual && i < 2; ++i)
        writer.pair->appendFrame(
            makeFrame(c.width0, c.height0, kRed, 77, kStart - 1000 + i, c.format0), 0);
    std::vector<double> times;
    std::int64_t time = 0;
    // Dropped: a frame at the same time, one 1 ms earlier, one before the first.
    const int same = 2, earlier = c.frames / 2, beforeFirst = c.frames * 5 / 7;
    for (int i = 0; i < c.frames; ++i) {
        times.push_back(static_cast<double>(time) / 1e6);
        writer.frame(i, kStart + time);
        if (i == same || i == earlier) writer.frame(155, kStart + time - (i == earlier) * 1000);
        if (i == beforeFirst) writer.frame(155, kStart - 5);
        time += 28'000 + (i * 7919) % 11'000 + (i == c.frames * 4 / 7 ? 250'000 : 0);
    }
    times.push_back(static_cast<double>(time) / 1e6);
    writer.feed(
        colourBarFrame(c.width0, c.height0, kStart + time, c.format0),
        c.dual ? colourBarFrame(c.width1, c.height1, camera1Time(c.frames), c.format1) : nullptr);
    EXPECT_EQ(writer.stop(), writer.file() + " finished");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(log, c.dual ? "Talvex: dual session started, basePTS=3.0\n"
                                  : "Talvex: session started for Cam A at 3.0\n"),
              1)
        << log;
    EXPECT_EQ(countOf(log, "Talvex: append failed"), 3) << log;
    expectMovie(probeMovie(writer.path), c.dual ? 2560 : 1280, times);
    SmallFrames frames(writer.path, c.dual ? 128 : 64);
    for (int half = 0; half < (c.dual ? 2 : 1); ++half) {
        const bool red = (half == 0) != c.swapped;
        auto counters = sequence(red ? 0 : 100, c.frames);
        counters.push_back(-1);  // the bars
        EXPECT_EQ(frames.counters(64 * half, 64, red ? kRed : kBlue), counters);
        // Sound conversions stay within 4 levels; a full-range camera taken as
        // video range is 12 off.
        EXPECT_LE(frames.colourBarError(c.frames, 64 * half, 64), 6);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CameraSizes, CameraWriterLayouts,
    testing::Values(
        Layout{false}, Layout{true}, Layout{false, false, 20, 1280, 720},
        Layout{false, false, 20, 640, 480, 0, 0, AV_PIX_FMT_YUYV422},
        Layout{false, false, 20, 1920, 1080, 0, 0, AV_PIX_FMT_YUVJ422P},
        Layout{false, false, 20, 1279, 719, 0, 0, AV_PIX_FMT_BGRA},
        Layout{true, false, 20, 1280, 720, 1280, 720},
        Layout{true, true, 20, 1280, 720, 1280, 720, AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA},
        Layout{true, true, 20, 640, 480, 1920, 1080, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUVJ422P},
        Layout{true, false, 20, 1279, 719, 640, 480, AV_PIX_FMT_BGRA, AV_PIX_FMT_YUVJ420P}));

struct CameraWriters : testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(SingleAndDual, CameraWriters, testing::Bool());

// A movie that cannot be created fails the start with the library's reason,
// leaves nothing behind and takes no frames. Without a frame (for the dual
// writer: camera 0's alone never make a pair) there is no movie to offer: the
// file goes. Frames after the stop are dropped.
TEST_P(CameraWriters, NoMovieWithoutAFileOrAFrame) {
    TempDir dir;
    Writer writer(Layout{GetParam()}, dir.path());
    ASSERT_FALSE(writeFile(dir.file("plain"), "x"));
    ASSERT_TRUE(makeDirectories(dir.file("folder/" + writer.file() + "/keep")));
    const std::pair<std::string, const char*> cases[] = {{"plain", "Not a directory"},
                                                         {"gone", "No such file or directory"},
                                                         {"folder", "Is a directory"}};
    for (const auto& [folder, reason] : cases) {
        SCOPED_TRACE(reason);
        Writer failing(Layout{GetParam()}, dir.file(folder));
        testing::internal::CaptureStdout();
        auto error = failing.start();
        failing.frame(0, kStart);
        EXPECT_EQ(failing.stop(), "none");
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find(reason), std::string::npos) << error->message;
        EXPECT_FALSE(fileExists(failing.path) && !isDirectory(failing.path));
        for (const char* line :
             {"startWriting", ": false, status: 3\n",
              GetParam() ? "Talvex: DualCameraWriter error: " : "Talvex: writer error on start: "})
            EXPECT_EQ(countOf(log, line), 1) << log;
        EXPECT_EQ(countOf(log, "drainAndComposite"), 0) << log;
    }
    ASSERT_FALSE(writer.start());
    EXPECT_TRUE(fileExists(writer.path));
    for (int i = 0; GetParam() && i < 5; ++i)
        writer.pair->appendFrame(makeFrame(320, 180, kRed, i, kStart + i * 33'333), 0);
    EXPECT_EQ(writer.stop(), writer.file() + " cancelled (no frames)");
    testing::internal::CaptureStdout();
    writer.frame(0, kStart + 300'000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fileExists(writer.path));
}

// Records `frames` red 720p frames 33.333 ms apart into folder, then stops
// (how the movie ended) or is killed.
std::string record(const std::string& folder, int frames, bool killed = false) {
    Writer writer(Layout{false, false, frames, 1280, 720}, folder);
    EXPECT_FALSE(writer.start());
    for (int i = 0; i < frames; ++i) writer.frame(i, kStart + i * 33'333);
    if (killed) raise(SIGKILL);
    return writer.stop();
}

// A movie cut short keeps every whole fragment (at least `whole` frames),
// the frames from the start in order, nothing it cannot decode.
void expectWholeFragments(const std::string& path, int appended, int whole = 30) {
    auto info = probeMovie(path);
    const int kept = static_cast<int>(info.frames());
    EXPECT_GE(kept, whole);
    EXPECT_LT(kept, appended);
    std::vector<double> times;
    for (int i = 0; i < kept; ++i) times.push_back(i * 0.033333);
    expectMovie(info, 1280, times);
    EXPECT_EQ(SmallFrames(path, 64).counters(0, 64, kRed), sequence(0, kept));
}

// A process killed two and a half key-frame intervals into its movie leaves
// one that plays both fragments closed before it: each was handed to the
// system at the key frame after it, not left in a buffer. The death test runs
// this program again for it (a fork of this threaded one could inherit a held
// lock and hang), and the new process finds the parent's folder in its
// environment. A disk that fills up mid-movie (here the process's file-size
// limit, room for about two and a half fragments): the stop reports the
// failure, and the movie is cut back to its last whole fragment.
TEST(SingleWriter, KilledOrFullMovieKeepsItsWholeFragments) {
    TempDir dir;
    ASSERT_EQ(::setenv("TALVEX_KILLED_MOVIE", dir.path().c_str(), 0), 0);
    const std::string folder = std::getenv("TALVEX_KILLED_MOVIE"), path = folder + "/camera1.mp4";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(record(folder, 75, true), testing::KilledBySignal(SIGKILL), "");
    ::unsetenv("TALVEX_KILLED_MOVIE");
    expectWholeFragments(path, 75, 60);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit limited{*fileSize(path) * 5 / 4, previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    testing::internal::CaptureStdout();
    const std::string outcome = record(folder, 120);
    testing::internal::GetCapturedStdout();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(outcome.rfind("camera1.mp4 failed: ", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("File too large"), std::string::npos) << outcome;
    expectWholeFragments(path, 120);
    EXPECT_LE(*fileSize(path), limited.rlim_cur);
}

}  // namespace
}  // namespace talvex
