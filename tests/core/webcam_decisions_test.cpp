#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <tuple>

#include "core/CameraTexts.h"
#include "core/CaptureTimeline.h"
#include "core/FrameAccounting.h"
#include "core/KeyFramePolicy.h"
#include "core/MjpegFrame.h"
#include "core/PicturePlacement.h"
#include "core/SideBySideTimeline.h"

namespace talvex {
namespace {

using Instant = std::optional<double>;
using namespace std::literals;
constexpr Instant drop = std::nullopt;

// Deterministic stand-in for a real camera's timing: 0..range-1 ms.
double scrambled(int k, int range = 9) {
    const std::uint32_t h = (std::uint32_t(k) * 2654435761u ^ std::uint32_t(k) >> 3) * 2246822519u;
    return double((h ^ h >> 13) % std::uint32_t(range)) * 1e-3;
}
const double kJitter = -0.004;  // plus scrambled(k): -4..4 ms on a capture instant

TEST(WebcamDecisionsTest, CaptureInstantIsTheDriversStampWhenPlausibleElseSpreadDelivery) {
    CaptureTimeline stamped(0.25), stampless(0.25);  // exact sums; rows: too close, backwards,
    // after a stall (queued, delivered at once), stamps in the future, too old, none.
    const std::vector<std::tuple<Instant, double, Instant>> rows = {
        {100.0, 100.03, 100.0}, {100.25, 100.28, 100.25}, {100.3125, 100.33, drop},
        {100.25, 100.4, drop},  {103.5, 104.1, 103.5},    {103.75, 104.1, 103.75},
        {104.0, 104.1, 104.0},  {110.0, 104.2, 104.2},    {102.0, 104.5, 104.5},
        {drop, 104.5, 104.625}};
    for (const auto& [stamp, delivered, expected] : rows)
        EXPECT_EQ(stamped.place(stamp, delivered), expected) << delivered;
    // Without stamps a burst is spread half an interval apart, up to a second late.
    std::vector<Instant> burst;
    for (int k = -2; k < 10; ++k)
        burst.push_back(stampless.place(drop, k < -1 ? 199 : k < 0 ? 199.25 : 200));
    EXPECT_EQ(burst, (std::vector<Instant>{199.0, 199.25, 200.0, 200.125, 200.25, 200.375, 200.5,
                                           200.625, 200.75, 200.875, 201.0, drop}));
}

TEST(WebcamDecisionsTest, AccountingCountsLossesAgainstTheTypicalIntervalAndALowRateOnce) {
    std::vector<double> losses, slow, dimming;
    for (int k = 0; k < 300; ++k)  // 10 s at 30 fps: 1 frame lost, then 90 in a 3 s stall
        if (k != 100 && (k < 150 || k >= 240)) losses.push_back(k / 30.0 + kJitter + scrambled(k));
    for (int k = 0; k < 150; ++k) slow.push_back(k / 15.0 + kJitter + scrambled(k));
    for (int k = 0; k < 450; ++k)  // 5 s at 30 fps, then 10 s at 15 fps with 2 frames lost
        if (k != 300 && k != 301) dimming.push_back(k < 150 ? k / 30.0 : 5 + (k - 150) / 15.0);
    const std::string low = "Talvex: camera 'B' delivers 15.0 fps of the 30 fps asked (low light?)";
    for (const auto& [instants, lost, lines, fps] :
         {std::tuple(losses, 91, 0, 30), {slow, 0, 1, 15}, {dimming, 2, 1, 15}}) {
        FrameAccounting accounting("B", 30);
        std::vector<std::string> said;
        for (double at : instants)
            if (auto line = accounting.captured(at)) said.push_back(*line);
        EXPECT_EQ(std::tuple(accounting.framesLost(), said, std::lround(*accounting.measuredFps())),
                  std::tuple(lost, std::vector<std::string>(lines, low), fps));
    }
}

TEST(WebcamDecisionsTest, MjpegFrameIsWholeWithBothMarkersAndOnlyZerosAfterTheEnd) {
    std::string whole;  // FF D8 starts an image, FF D9 ends it
    for (std::string_view b :
         {"\xFF\xD8\x01\xFF\xD9"sv, "\xFF\xD8\xFF\xD9\0\0"sv, ""sv, "\xFF\xD8\x01\x02"sv,
          "\xFF\xD8\xFF\xD9\0\x01"sv, "\0\xD8\x01\xFF\xD9"sv, "\xFF\xD9\0"sv})
        whole +=
            "01"[mjpegFrameIsWhole({reinterpret_cast<const std::uint8_t*>(b.data()), b.size()})];
    EXPECT_EQ(whole, "1100000");
}

TEST(WebcamDecisionsTest, KeyFrameAtLeastEverySecondOfCaptureTimeAtAnyRate) {
    std::string keys;  // at 30, 25, 15 and 7.5 fps, then with a stall
    for (double fps : {30.0, 25.0, 15.0, 7.5}) {
        KeyFramePolicy policy;
        for (int k = 0; k < 75 * fps / 30; ++k)
            if (policy.isKeyFrame(100 + k / fps)) keys += std::to_string(k) + " ";
        keys += "| ";
    }
    KeyFramePolicy stalled;
    for (double at : {0.0, 0.5, 0.9, 4.0, 4.1, 4.9, 5.0}) keys += "-K"[stalled.isKeyFrame(at)];
    EXPECT_EQ(keys, "0 30 60 | 0 25 50 | 0 15 30 | 0 7 14 | K-KK-K-");
}

TEST(WebcamDecisionsTest, CameraTextsNameTheCauseAndTheRemedy) {
    auto usb = [](const std::string& near, const std::string& away) {
        return "cannot open 'B': not enough USB bandwidth left on its USB bus" + near +
               " (\"No space left on device\" is not about the disk): plug 'B' into another USB "
               "port (another root port or controller)" +
               away + ", or use a mode that asks for less";
    };
    using S = CameraStep;
    const std::vector<std::tuple<int, S, std::vector<std::string>, std::string>> rows = {
        {ENOSPC, S::startStream, {"A"}, usb(" next to 'A'", ", away from 'A'")},
        {ENOSPC, S::start, {"A", "C"}, usb(" next to 'A' and 'C'", ", away from 'A' and 'C'")},
        {ENOSPC, S::start, {}, usb("", "")},
        {ENOSPC, S::setFormat, {}, "No space left on device (setting the format)"},
        {EBUSY, S::start, {}, "another program is using the camera; the station will try again"},
        {ENODEV, S::start, {}, "it was unplugged"},
        {EIO, S::start, {}, "Input/output error"}};
    for (const auto& [error, step, others, text] : rows)
        EXPECT_EQ(cameraStartError(error, step, "B", others),
                  text.starts_with("cannot") ? text : "cannot open 'B': " + text);
    std::string modes;
    using Mode = std::tuple<const char*, int, double>;
    for (auto [format, width, fps] : std::vector<Mode>{
             {"mjpeg", 1280, 30}, {"yuyv422", 640, 7.5}, {"", 64, 30000.0 / 1001}, {"h264", 8, 0}})
        modes += cameraModeText(format, width, width * 3 / 4, fps) + ", ";
    EXPECT_EQ(modes, "mjpeg 1280x960 30fps, yuyv 640x480 7.5fps, 64x48 29.97fps, h264 8x6, ");
}

TEST(WebcamDecisionsTest, PictureKeepsItsAspectCentredOnEvenPixels) {
    std::string placed;  // in the whole 1280x720 frame (0) or the right half of 2560x720 (1)
    const int sizes[][3] = {{640, 480, 0},  {640, 480, 1},  {1920, 1080, 0},
                            {720, 1280, 0}, {2560, 720, 1}, {0, 0, 1}};
    for (auto [width, height, half] : sizes) {
        const PixelRect r = fitPicture(width, height, {1280 * half, 0, 1280, 720});
        placed += std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) +
                  "x" + std::to_string(r.height) + " ";
    }
    EXPECT_EQ(placed,
              "160,0 960x720 1440,0 960x720 0,0 1280x720 436,0 406x720 1280,180 1280x360 "
              "1280,0 1280x720 ");
}

// Two cameras for 60 s into a 30 fps movie, each handing frames over in order
// 4..40 ms late, each tick decided once ready; per camera the frames captured
// and shown, the most a shown frame lay from its tick (ms), the ticks lost.
std::vector<int> composite(const std::array<double, 2>& fps, double phase1, bool stall0,
                           bool lose1) {
    std::vector<std::tuple<double, double, int, int>> deliveries;  // when, instant, camera, id
    std::array<std::vector<double>, 2> captured;
    for (int camera = 0; camera < 2; ++camera)
        for (auto [k, lastly] = std::pair(0, 0.0);; ++k) {
            const double at =
                (camera ? phase1 : 0) + k / fps[camera] + kJitter + scrambled(k + camera);
            if (at >= 60 || (lose1 && camera == 1 && at >= 40)) break;
            if (stall0 && camera == 0 && at >= 20 && at < 23) continue;
            double when = std::max(at + 0.004 + scrambled(k + 3 * camera + 7, 37), lastly);
            if (stall0 && camera == 0 && at >= 23 && at < 23.3) when = 23.3;  // a burst
            lastly = when;
            captured[camera].push_back(at);
            deliveries.emplace_back(when, at, camera, int(captured[camera].size()));
        }
    std::stable_sort(deliveries.begin(), deliveries.end());
    SideBySideTimeline movie(30);
    std::vector<int> figures(8);
    std::int64_t tick = 0;
    auto decide = [&](double now) {
        for (; movie.ready(tick, now) && movie.tickInstant(tick) < 60; ++tick) {
            if (lose1 && now >= 45) movie.cameraLost(1, 45);
            const auto halves = movie.choose(tick);
            for (std::size_t c = 0; c < 2; ++c) {
                const auto& h = halves[c];
                const double lag =
                    h.fresh ? movie.tickInstant(tick) - captured[c][*h.frame - 1] : 0;
                figures[4 * c + 1] += h.fresh;
                figures[4 * c + 2] = std::max(figures[4 * c + 2], int(std::abs(lag) * 1e3));
                figures[4 * c + 3] += h.lost;
            }
        }
    };
    for (const auto& [when, at, camera, id] : deliveries) {
        decide(when);
        movie.offer(camera, at, id);
    }
    decide(1e9);
    // A lost camera is not waited for: tick 1500 (50 s) is ready before its allowance.
    EXPECT_EQ(std::tuple(movie.offer(1, 30, 0), movie.movieTime(3),
                         movie.tickInstant(3) - *movie.start(), movie.ready(1500, 50.02)),
              std::tuple(false, 0.1, 0.1, true));
    figures[0] = int(captured[0].size()), figures[4] = int(captured[1].size());
    return figures;
}

// 29.97 and 30 fps half a tick apart; 30 and 15 fps; camera 0 stalled for 3 s,
// its next 0.3 s in a burst (in time for their ticks); camera 1 lost at 40 s.
TEST(WebcamDecisionsTest, SideBySideShowsNearlyEveryFrameOfBothCameras) {
    using V = std::vector<int>;
    for (auto [fps, phase1, stall0, lose1, expected] :
         {std::tuple(std::array{29.97, 30.0}, 1 / 60.0, false, false,
                     V{1799, 1788, 19, 0, 1800, 1800, 16, 0}),
          {std::array{30.0, 15.0}, 0.01, false, false, V{1800, 1800, 17, 0, 900, 900, 7, 0}},
          {std::array{30.0, 30.0}, 0.0, true, false, V{1710, 1710, 7, 0, 1800, 1800, 7, 0}},
          {std::array{30.0, 30.0}, 0.0, false, true, V{1800, 1800, 7, 0, 1200, 1200, 7, 450}}})
        EXPECT_EQ(composite(fps, phase1, stall0, lose1), expected) << fps[0] << stall0 << lose1;
}

}  // namespace
}  // namespace talvex
