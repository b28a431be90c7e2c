// Two synthetic 30 fps cameras through the whole path (capture, conversion,
// side-by-side compositing, H.264) for 10 s of video: frames captured,
// written and dropped, and the CPU time spent per second of video.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/CameraManager.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"

using namespace talvex;
using namespace std::chrono_literals;

namespace {

constexpr double kSeconds = 10.0;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename Predicate>
bool pumpUntil(Predicate predicate, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int framesInMovie(const std::string& path) {
    std::string command =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    int frames = -1;
    if (std::fscanf(pipe, "%d", &frames) != 1) frames = -1;
    pclose(pipe);
    return frames;
}

void BM_TwoSyntheticCamerasToSideBySideMovie(benchmark::State& state) {
    SyntheticCameras::reset();
    auto cameras = SyntheticCameras::add(2);
    auto folder =
        std::filesystem::temp_directory_path() / ("talvex-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    auto manager = std::make_unique<CameraManager>("");
    std::vector<CameraDevice> devices;
    for (const auto& c : cameras) devices.push_back({c.id, c.name, c.name});
    manager->openCameras(devices);
    if (!pumpUntil([&] { return manager->openedRecorders().size() == 2; }, 10s)) {
        state.SkipWithError("the synthetic cameras did not open");
        return;
    }
    auto recorders = manager->openedRecorders();
    for (auto _ : state) {
        std::uint64_t captured0 = recorders[0]->framesCaptured() + recorders[1]->framesCaptured();
        std::uint64_t slot0 = recorders[0]->framesCaptured();
        std::uint64_t dropped0 = recorders[0]->framesDropped() + recorders[1]->framesDropped();
        double cpu0 = cpuSeconds();
        if (auto error = manager->startRecording(folder.string())) {
            state.SkipWithError(error->message.c_str());
            return;
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kSeconds);
        pumpUntil([&] { return std::chrono::steady_clock::now() > end; }, 20s);
        bool done = false;
        manager->stopRecording([&] { done = true; });
        pumpUntil([&] { return done; }, 30s);
        double cpu = cpuSeconds() - cpu0;
        std::uint64_t captured =
            recorders[0]->framesCaptured() + recorders[1]->framesCaptured() - captured0;
        std::uint64_t slot0Frames = recorders[0]->framesCaptured() - slot0;
        std::uint64_t dropped =
            recorders[0]->framesDropped() + recorders[1]->framesDropped() - dropped0;
        int written = framesInMovie((folder / "recording.mp4").string());
        // The movie is timed by slot 0: every frame of it should become one composite.
        std::int64_t notComposited = static_cast<std::int64_t>(slot0Frames) - written;
        state.counters["frames_captured"] = static_cast<double>(captured);
        state.counters["frames_written"] = written;
        // Dropped at capture (queue too far behind) plus slot-0 frames that
        // never became a composite (the writer queue was still busy).
        double notWritten = static_cast<double>(std::max<std::int64_t>(0, notComposited - 1));
        state.counters["dropped_at_capture"] = static_cast<double>(dropped);
        state.counters["frames_dropped"] = static_cast<double>(dropped) + notWritten;
        state.counters["cpu_s_per_video_s"] = cpu / kSeconds;
    }
    manager.reset();  // closes the cameras before they are forgotten
    std::filesystem::remove_all(folder);
    SyntheticCameras::reset();
}

BENCHMARK(BM_TwoSyntheticCamerasToSideBySideMovie)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
