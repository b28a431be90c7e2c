// Live capture through the whole station (synthetic cameras, capture,
// compositing, H.264, the crash-safe file) against the ffmpeg command line
// capturing the same synthetic cameras into the same kind of file: CPU
// seconds per second of video, for one and for two cameras. Then a 60 s
// two-camera session on free-running cameras (each on its own clock, a
// little off the rate, frames a few ms late): camera-0 frames that reached
// the movie, the largest gap between movie frames, and the CPU it took.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "QuietStdout.h"
#include "app/CameraManager.h"
#include "app/TalvexApp.h"
#include "core/Clock.h"
#include "core/NumberFormat.h"
#include "media/CameraRecorder.h"
#include "media/FfmpegPtr.h"
#include "media/FrameMemory.h"
#include "media/MovieSettings.h"
#include "media/SyntheticCameras.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex;

namespace {

constexpr double kLiveSeconds = 20.0;
constexpr double kFreeRunningSeconds = 60.0;

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Session {
    double cpuPerSecond = -1;
    std::uint64_t captured0 = 0;  // camera-0 frames captured while recording
    std::vector<double> movieTimes;
};

Session recordSession(int count, double seconds, const std::filesystem::path& folder) {
    QuietStdout quiet;
    SyntheticCameras::reset();
    auto cameras = SyntheticCameras::add(count);
    auto manager = std::make_unique<CameraManager>("");
    std::vector<CameraDevice> devices;
    for (const auto& c : cameras) devices.push_back({c.id, c.name, c.name});
    manager->openCameras(devices);
    Session session;
    if (!test::waitUntil([&] { return manager->openedRecorders().size() == devices.size(); }, 20.0))
        return session;
    test::waitUntil([] { return false; }, 1.0);  // past the cameras' start
    const double cpu = cpuSeconds(RUSAGE_SELF);
    if (manager->startRecording(folder.string())) return session;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    test::waitUntil([&] { return std::chrono::steady_clock::now() > end; }, 600.0);
    bool done = false;
    manager->stopRecording([&](const StopReport& report) {
        if (!report.cameras.empty())
            session.captured0 = static_cast<std::uint64_t>(report.cameras[0].framesCaptured);
        done = true;
    });
    test::waitUntil([&] { return done; }, 60.0);
    session.cpuPerSecond = (cpuSeconds(RUSAGE_SELF) - cpu) / seconds;
    manager.reset();  // closes the cameras before they are forgotten
    SyntheticCameras::reset();
    session.movieTimes =
        test::movieFrameTimes((folder / (count == 2 ? "recording.mp4" : "camera1.mp4")));
    return session;
}

// The same cameras' graphs paced by the wall clock, through ffmpeg into the
// same kind of file: H.264 High at the station's bit rate and preset,
// without B-frames like the station's movies, fragmented MP4.
double ffmpegCpuPerSecond(int count, double seconds, const std::filesystem::path& folder) {
    SyntheticCameras::reset();
    auto cameras = SyntheticCameras::add(count);
    std::string inputs;
    for (const auto& camera : cameras) {
        std::string graph = SyntheticCameras::filterGraph(camera, 30);
        graph.replace(graph.rfind("[out0]"), 6, ",realtime[out0]");
        inputs += " -f lavfi -i '" + graph + "'";
    }
    SyntheticCameras::reset();
    const MovieSettings settings;
    const std::string command =
        "ffmpeg -nostdin -v error -y" + inputs +
        (count == 2 ? " -filter_complex '[0:v][1:v]hstack'" : "") + " -t " +
        std::to_string(seconds) + " -c:v libx264 -preset " + settings.preset +
        " -profile:v high -bf 0 -pix_fmt yuv420p -b:v " + (count == 2 ? "16000000" : "8000000") +
        " -g 30 -movflags frag_keyframe+empty_moov+delay_moov+default_base_moof -f mp4 '" +
        (folder / "ffmpeg.mp4").string() + "'";
    const double cpu = cpuSeconds(RUSAGE_CHILDREN);
    if (std::system(command.c_str()) != 0) return -1;
    return (cpuSeconds(RUSAGE_CHILDREN) - cpu) / seconds;
}

// A whole station (free-running cameras, the phone simulator) records 4 s;
// at one host instant camera 0 flashes and the phone's gyroscope spikes.
// Returns the flash's movie time plus "video_start_seconds" minus the
// spike's gyro.csv time, in milliseconds.
std::optional<double> timeZeroDifferenceMs(const std::filesystem::path& folder) {
    QuietStdout quiet;
    auto phone = std::make_unique<test::PhoneSimulator>();
    if (!phone->port()) return std::nullopt;
    SyntheticCameras::reset();
    SyntheticCameras::setTiming(SyntheticCameras::Timing::freeRunning);
    StationOptions options;
    options.outputRoot = (folder / "sessions").string();
    options.ipcPort = 0;
    options.ipcBind = "127.0.0.1";
    options.phyphox = phone->address();
    options.virtualCameras = 2;
    auto app = std::make_unique<TalvexApp>(options);
    app->setupApp();
    std::vector<CameraDevice> devices;
    for (const auto& c : SyntheticCameras::list()) devices.push_back({c.id, c.name, c.name});
    app->cameras().openCameras(devices);
    if (!test::waitUntil(
            [&] {
                return app->cameras().openedRecorders().size() == 2 && app->gyro().isConnected();
            },
            20.0))
        return std::nullopt;
    app->session().startSession("timezero", "user");
    test::waitUntil([&] { return app->session().recordingState().recording; }, 10.0);
    const double instant = steadyNow() + 1.5;
    SyntheticCameras::flashAt(devices[0].id, instant);
    phone->control("spike_at=" + formatNumber(instant));
    test::waitUntil([] { return false; }, 3.0);
    app->session().stopSession();
    test::waitUntil([&] { return !app->session().isBusy(); }, 30.0);
    auto dir = app->session().lastSessionDir();
    app.reset();
    phone.reset();
    SyntheticCameras::reset();
    if (!dir) return std::nullopt;
    const auto found = test::findFlashAndSpike(*dir, 640);
    if (!found.flash || !found.spike || !found.videoStart) return std::nullopt;
    return (*found.flash + *found.videoStart - *found.spike) * 1e3;
}

double largestGapMs(const std::vector<double>& times) {
    double gap = 0;
    for (std::size_t i = 1; i < times.size(); ++i) gap = std::max(gap, times[i] - times[i - 1]);
    return gap * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    quietMediaLibraryLogs();
    keepFrameBuffersInHeap();  // as the station does
    const auto folder =
        std::filesystem::temp_directory_path() / ("talvex-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::printf("load average at start: %s", test::runCommand("cat /proc/loadavg").c_str());
    std::fflush(stdout);

    SyntheticCameras::setTiming(SyntheticCameras::Timing::steady);
    for (int count : {1, 2}) {
        Session station = recordSession(count, kLiveSeconds, folder);
        double ffmpeg = ffmpegCpuPerSecond(count, kLiveSeconds, folder);
        std::printf("live cameras=%d cpu=%.3f ffmpeg-cpu=%.3f ratio=%.2f\n", count,
                    station.cpuPerSecond, ffmpeg, station.cpuPerSecond / ffmpeg);
        std::fflush(stdout);
    }

    SyntheticCameras::setTiming(SyntheticCameras::Timing::freeRunning);
    Session free = recordSession(2, kFreeRunningSeconds, folder);
    const double kept =
        free.captured0 ? 100.0 * static_cast<double>(free.movieTimes.size()) / free.captured0 : 0;
    std::printf("free-running kept=%.1f%% max-gap=%.1f ms cpu=%.3f\n", kept,
                largestGapMs(free.movieTimes), free.cpuPerSecond);
    std::fflush(stdout);
    if (auto difference = timeZeroDifferenceMs(folder))
        std::printf("time-zero flash+video_start-spike=%.1f ms\n", *difference);
    else
        std::printf("time-zero: no flash or spike found\n");
    std::filesystem::remove_all(folder);
    return 0;
}
