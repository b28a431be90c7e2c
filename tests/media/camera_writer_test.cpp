#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <future>
#include <numeric>

#include "core/Clock.h"
#include "core/FileUtil.h"
#include "media/Compositor.h"
#include "media/MovieOutput.h"
#include "support/MovieProbe.h"

using namespace talvex;
using namespace talvex::test;

namespace {

constexpr Rgb kRed{255, 0, 0};   // the single camera, and camera 0
constexpr Rgb kBlue{0, 0, 255};  // camera 1
// Whole seconds ahead of the steady clock: only the frames decide the side-by-side ticks.
const std::int64_t kStart = (std::llround(steadyNow()) + 600) * 1'000'000;

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

// A camera's own movie output, or the compositor fed pairs, behind one face,
// writing its movie into a folder.
struct Writer {
    const Layout c;
    const std::string path;
    MovieOutput single{MovieLines::camera("Cam A")};
    std::shared_ptr<Compositor> pair;
    bool started = false;

    Writer(const Layout& c, const std::string& folder)
        : c(c), path(folder + "/" + file()), pair(std::make_shared<Compositor>(c.swapped)) {}
    std::optional<std::string> start() {
        auto error = c.dual ? pair->start(path, MovieSettings::sideBySide())
                            : single.start(path, MovieSettings::singleCamera());
        started = !error;
        return error;
    }
    // Camera 1's counter is 100 higher, captured 7 ms after camera 0's. The
    // ticks before a pair are waited for until written.
    void frame(int counter, std::int64_t time, bool bars = false) {
        auto paint = [&](int camera, int w, int h, AVPixelFormat format, std::int64_t t) {
            return bars ? colourBarFrame(w, h, t, format)
                        : makeFrame(w, h, camera ? kBlue : kRed, counter + 100 * camera, t, format);
        };
        if (!c.dual) {
            single.append(*paint(0, c.width0, c.height0, c.format0, time));
            return;
        }
        pair->offer(0, paint(0, c.width0, c.height0, c.format0, time));
        pair->offer(1, paint(1, c.width1, c.height1, c.format1, time + 7000));
        EXPECT_TRUE(!started || waitUntil([&] { return pair->framesWritten() >= counter; }));
    }
    // How the movie ended; the compositor's completion comes once.
    std::string stop() {
        std::promise<std::optional<MovieResult>> done;  // a second completion would throw
        if (c.dual)
            pair->stop([&](auto ended) { done.set_value(ended); });
        else
            done.set_value(single.stop());
        started = false;
        const auto result = done.get_future().get();
        return result ? describeMovies({*result}) : "none";
    }
    std::string file() const { return c.dual ? "recording.mp4" : "camera1.mp4"; }
};

struct CameraWriterLayouts : testing::TestWithParam<Layout> {};

// Every frame (pair) comes back in order at its capture time minus the first one's,
// jitter and gaps included (side by side: at the 30 fps ticks), over the file there
// before; a frame not moving time forward is dropped with a line. Each camera fills
// its 1280x720 place (swap moves the halves; 4:3 gets bars) in its colours whatever
// its size and format. A start that cannot make its movie fails with the library's
// reason and touches nothing, a link in its place included; a frameless movie goes,
// frames after the stop too.
TEST_P(CameraWriterLayouts, WritesEveryFrameAtItsTimeIntoItsPlace) {
    const Layout c = GetParam();
    TempDir dir;
    Writer empty(c, dir.path());
    ASSERT_FALSE(empty.start());
    EXPECT_TRUE(fileExists(empty.path));
    EXPECT_EQ(empty.stop(), empty.file() + " cancelled (no frames)");
    testing::internal::CaptureStdout();
    empty.frame(0, kStart + 300'000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fileExists(empty.path));
    Writer writer(c, dir.path());
    ASSERT_FALSE(writeFile(writer.path, "old recording"));
    ASSERT_FALSE(writer.start());
    testing::internal::CaptureStdout();
    std::vector<double> times;
    std::int64_t time = 0;
    for (int i = 0; i < c.frames; ++i) {
        times.push_back(static_cast<double>(time) / 1e6);
        writer.frame(i, kStart + time);
        // Dropped: a frame at the same time, one 1 ms earlier, one before the first
        // (the movie output refuses them alike for both).
        const bool earlier = i == c.frames / 2;
        if (!c.dual && (i == 2 || earlier)) writer.frame(155, kStart + time - earlier * 1000);
        if (!c.dual && i == c.frames * 5 / 7) writer.frame(155, kStart - 5);
        time = c.dual ? std::llround((i + 1) * 1e6 / 30)
                      : time + 28'000 + (i * 7919) % 11'000 + (i == c.frames * 4 / 7 ? 250'000 : 0);
    }
    times.push_back(static_cast<double>(time) / 1e6);
    writer.frame(c.frames, kStart + time, true);
    EXPECT_EQ(writer.stop(), writer.file() + " finished");
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string started = (c.dual ? "Talvex: dual session started, basePTS="
                                        : "Talvex: session started for Cam A at ") +
                                std::to_string(kStart / 1'000'000) + ".0\n";
    EXPECT_EQ(countOf(log, started), 1) << log;
    EXPECT_EQ(countOf(log, "Talvex: append failed"), c.dual ? 0 : 3) << log;
    expectMovie(probeMovie(writer.path), c.dual ? 2560 : 1280, times);
    SmallFrames frames(writer.path, c.dual ? 128 : 64);
    for (int half = 0; half < (c.dual ? 2 : 1); ++half) {
        const bool red = (half == 0) != c.swapped;
        const int w = red ? c.width0 : c.width1, h = red ? c.height0 : c.height1;
        const int inset = w * 9 < h * 16 ? 32 - 32 * w * 9 / (h * 16) : 0;
        std::vector<int> counters(c.frames + 1, -1);  // the bars last
        std::iota(counters.begin(), counters.end() - 1, red ? 0 : 100);
        EXPECT_EQ(frames.counters(half, red ? kRed : kBlue, inset), counters);
        // Sound conversions stay within 4 levels; a full-range camera taken as
        // video range is 12 off.
        EXPECT_LE(frames.colourBarError(c.frames, half, inset), 6);
        EXPECT_LE(distance(frames.at(c.frames, 64 * half + inset / 2, 9), {}), inset ? 6 : 255);
    }

    ASSERT_FALSE(writeFile(dir.file("plain"), "x"));
    ASSERT_TRUE(makeDirectories(dir.file("folder/" + writer.file() + "/keep")));
    ASSERT_TRUE(makeDirectories(dir.file("linked")));
    ASSERT_EQ(::symlink(dir.file("plain").c_str(), dir.file("linked/" + writer.file()).c_str()), 0);
    const std::pair<std::string, const char*> cases[] = {
        {"plain", "Not a directory"}, {"linked", "File exists"}, {"folder", "Is a directory"}};
    for (const auto& [folder, reason] : cases) {
        SCOPED_TRACE(reason);
        Writer failing(c, dir.file(folder));
        testing::internal::CaptureStdout();
        auto error = failing.start();
        failing.frame(0, kStart);
        EXPECT_EQ(failing.stop(), "none");
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(error);
        EXPECT_NE(error->find(reason), std::string::npos) << *error;
        EXPECT_EQ(readText(dir.file("plain")), "x");
        for (const char* line :
             {"startWriting", ": false, status: 3\n",
              c.dual ? "Talvex: DualCameraWriter error: " : "Talvex: writer error on start: "})
            EXPECT_EQ(countOf(log, line), 1) << log;
        EXPECT_EQ(countOf(log, "drainAndComposite"), 0) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CameraSizes, CameraWriterLayouts,
    testing::Values(
        Layout{false}, Layout{true}, Layout{false, false, 20, 640, 480, 0, 0, AV_PIX_FMT_YUYV422},
        Layout{false, false, 20, 1920, 1080, 0, 0, AV_PIX_FMT_YUVJ422P},
        Layout{false, false, 20, 1279, 719, 0, 0, AV_PIX_FMT_BGRA},
        Layout{true, true, 20, 1280, 720, 1280, 720, AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA},
        Layout{true, true, 20, 640, 480, 1920, 1080, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUVJ422P},
        Layout{true, false, 20, 1279, 719, 640, 480, AV_PIX_FMT_BGRA, AV_PIX_FMT_YUVJ420P}));

// Records red 720p frames 33.333 ms apart; how the movie ended, unless killed.
std::string record(const std::string& folder, int frames, bool killed = false,
                   std::int64_t spacing = 33'333) {
    Writer writer(Layout{false, false, frames, 1280, 720}, folder);
    EXPECT_FALSE(writer.start());
    for (int i = 0; i < frames; ++i) writer.frame(i, kStart + i * spacing);
    if (killed) raise(SIGKILL);
    return writer.stop();
}

// A movie cut short keeps its first two fragments (x264 may start one a few
// frames late) whole and nothing it cannot decode.
void expectTwoWholeFragments(const std::string& path) {
    const MovieInfo info = probeMovie(path);
    const int kept = static_cast<int>(info.frames());
    EXPECT_TRUE(kept >= 60 && kept < 75) << kept;
    std::vector<int> counters(kept);
    std::iota(counters.begin(), counters.end(), 0);
    std::vector<double> times(counters.begin(), counters.end());
    for (double& time : times) time *= 0.033333;
    expectMovie(info, 1280, times);
    EXPECT_EQ(SmallFrames(path, 64).counters(0, kRed), counters);
}

// Killed two and a half key-frame intervals in, a movie keeps both fragments
// closed before (the death test reruns this program, which finds the folder in
// its environment); a full disk fails the stop and cuts it back to them.
TEST(SingleWriter, KilledOrFullMovieKeepsItsWholeFragments) {
    TempDir dir;
    ASSERT_EQ(::setenv("TALVEX_KILLED_MOVIE", dir.path().c_str(), 0), 0);
    const std::string folder = std::getenv("TALVEX_KILLED_MOVIE"), path = folder + "/camera1.mp4";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(record(folder, 75, true), testing::KilledBySignal(SIGKILL), "");
    ::unsetenv("TALVEX_KILLED_MOVIE");
    expectTwoWholeFragments(path);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit limited{*fileSize(path) * 5 / 4, previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    // 120 frames fill the disk while recording, 90 only with the last
    // fragment, written at the stop.
    for (int frames : {120, 90}) {
        SCOPED_TRACE(frames);
        const std::string outcome = record(folder, frames);
        EXPECT_EQ(outcome.rfind("camera1.mp4 failed: ", 0), 0u) << outcome;
        EXPECT_NE(outcome.find("File too large"), std::string::npos) << outcome;
        expectTwoWholeFragments(path);
        EXPECT_LE(*fileSize(path), limited.rlim_cur);
    }
    ::setrlimit(RLIMIT_FSIZE, &previous);
}

// Camera 0 (red) at 15 fps is lost two seconds in; camera 1 (blue, 4:3) at 30 fps
// goes on. Each half shows every frame of its own camera, camera 1's at its own
// tick (5 ms off), a slow frame repeated, the lost camera's last frame dimmed, 4:3
// between black bars. Key frames (fragments) lie at most a second apart, also for
// a 15 fps camera alone.
TEST(SideBySide, EachHalfShowsItsOwnCamera) {
    TempDir dir;
    auto pair = std::make_shared<Compositor>(false);
    ASSERT_FALSE(pair->start(dir.file("recording.mp4"), MovieSettings::sideBySide()));
    auto at = [](int i) { return kStart + std::llround(i * 1e6 / 30); };
    std::vector<double> times;
    std::vector<int> left(90, -1), right(90);
    for (int i = 0; i < 90; ++i) {
        if (i % 2 == 0 && i < 60) pair->offer(0, makeFrame(320, 180, kRed, i / 2, at(i)));
        if (i == 60) pair->cameraLost(0, at(60) / 1e6);
        pair->offer(1, makeFrame(320, 240, kBlue, i, at(i) + 5000));
        EXPECT_TRUE(waitUntil([&] { return pair->framesWritten() >= i - 2; }));
        times.push_back((at(i) - kStart) / 1e6), right[i] = i, left[i] = i < 60 ? i / 2 : -1;
    }
    std::promise<void> done;
    pair->stop([&](std::optional<MovieResult>) { done.set_value(); });
    done.get_future().wait();
    EXPECT_EQ(pair->framesShown(0), 30);
    EXPECT_EQ(pair->framesShown(1), 90);
    expectMovie(probeMovie(dir.file("recording.mp4")), 2560, times);
    SmallFrames frames(dir.file("recording.mp4"), 128);
    EXPECT_EQ(frames.counters(0, kRed), left);
    EXPECT_EQ(frames.counters(1, kBlue, 8), right);
    for (std::size_t f = 0; f < 90; ++f) {
        EXPECT_LE(distance(frames.at(f, 64 + 3, 9), {}), 6) << f;
        EXPECT_LE(distance(frames.at(f, 10, 9), f < 60 ? kRed : Rgb{128, 0, 0}), 30) << f;
    }
    record(dir.path(), 45, false, 66'667);
    const auto keys = keyFrameTimes(dir.file("camera1.mp4"));
    ASSERT_EQ(keys.size(), 3u);
    for (std::size_t k = 0; k < keys.size(); ++k) EXPECT_NEAR(keys[k], k * 1.0, 1e-3);
    EXPECT_EQ(keyFrameTimes(dir.file("recording.mp4")), (std::vector<double>{0, 1, 2}));
}

}  // namespace
