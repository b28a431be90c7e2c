#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <filesystem>

#include "app/CameraManager.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"

using namespace talvex;
using namespace talvex::test;

namespace {

// What each camera open now captures from now on.
struct CapturedSince {
    std::vector<std::pair<std::shared_ptr<CameraRecorder>, std::uint64_t>> cameras;
    explicit CapturedSince(const CameraManager& manager) {
        for (const auto& recorder : manager.openedRecorders())
            cameras.emplace_back(recorder, captured(*recorder));
    }
    // The fewest new frames one of them captured.
    std::uint64_t fewest() const {
        std::uint64_t least = UINT64_MAX;
        for (const auto& [recorder, before] : cameras)
            least = std::min(least, captured(*recorder) - before);
        return least;
    }
};

// The capture sources running in the process: their device threads, by name.
int deviceThreads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        count += readText(task.path().string() + "/comm").starts_with("ice.synthetic-");
    return count;
}

// A camera manager over three synthetic cameras.
struct Manager : ::testing::Test {
    TempDir data;
    std::unique_ptr<CameraManager> manager;
    StopReport report;  // of the last stop

    Manager() {
        SyntheticCameras::reset();
        SyntheticCameras::add(3);
        manager = std::make_unique<CameraManager>(data.path());
    }
    void open(const std::vector<CameraDevice>& devices) {
        manager->openCameras(devices);
        ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == devices.size(); }));
    }
    std::vector<std::string> openIds() const {
        std::vector<std::string> ids;
        for (const auto& recorder : manager->openedRecorders())
            ids.push_back(recorder->device().id);
        return ids;
    }
    // Starts recording into folder and waits (however slow the machine) until
    // every open camera has delivered a few frames since.
    void startWithFrames(const TempDir& folder) {
        const CapturedSince captured(*manager);
        ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
        ASSERT_TRUE(waitUntil([&] { return captured.fewest() > 3; }));
    }
    // The completion runs exactly once, on the main thread; its movies, described.
    std::string stop() {
        int completions = 0;
        std::string movies;
        manager->stopRecording([&](const StopReport& stopped) {
            ++completions;
            report = stopped;
            movies = describeMovies(report.movies);
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
        });
        EXPECT_TRUE(waitUntil([&] { return completions > 0; }));
        QTest::qWait(50);
        EXPECT_EQ(completions, 1);
        return movies;
    }
};

// The folder holds exactly `file`, of about `seconds` at 30 fps; a single
// camera's movie never more frames than it captured. Fewer only on a busy
// machine, so a generous floor.
void expectOnlyMovie(const TempDir& folder, const std::string& file, double seconds,
                     std::optional<std::int64_t> captured = std::nullopt) {
    EXPECT_EQ(listDir(folder.path()), std::vector<std::string>{file});
    MovieInfo movie = probeMovie(folder.file(file));
    EXPECT_GE(movie.frames(), seconds * 5);
    if (captured) {
        EXPECT_LE(static_cast<std::int64_t>(movie.frames()), *captured);
    }
    EXPECT_NEAR(movie.seconds, seconds, 0.8);
}

}  // namespace

// A scan names the devices through the registry. Each Apply supersedes the
// ones still opening, and none of theirs may leak; open errors keep the
// device order and leave no gaps.
TEST_F(Manager, ScanThenAppliesLeaveOnlyTheLastSetOpen) {
    manager->registry().setName("Bench left", "synthetic-2");
    manager->scan();
    ASSERT_TRUE(waitUntil([&] { return manager->availableDevices().size() == 3; }));
    EXPECT_EQ(manager->availableDevices()[0].name, "Synthetic Camera 1");
    EXPECT_EQ(manager->availableDevices()[1].name, "Bench left");
    EXPECT_TRUE(waitUntil([&] {
        return countOf(readText(data.file("camera_names.json")),
                       R"("synthetic-3":"Synthetic Camera 3")") == 1;
    }));

    using Set = std::vector<CameraDevice>;
    for (const Set& devices :
         {Set{synthetic(1), synthetic(2)}, Set{synthetic(3)}, Set{synthetic(2), synthetic(1)},
          Set{}, Set{synthetic(2), synthetic(3)}}) {
        manager->openCameras(devices);
        QTest::qWait(40);
    }
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 2; }));
    QTest::qWait(1000);  // an earlier set-up would have published by now
    EXPECT_EQ(openIds(), (std::vector<std::string>{"synthetic-2", "synthetic-3"}));
    EXPECT_EQ(deviceThreads(), 2);

    SyntheticCameras::setFailure("synthetic-1", SyntheticCameras::Failure::openInput);
    SyntheticCameras::disconnect("synthetic-3");
    struct Case {
        std::vector<CameraDevice> devices;
        std::vector<std::string> openIds;
        std::optional<std::string> error;
    };
    for (const Case& c : {Case{{synthetic(1, "Left"), synthetic(2)},
                               {"synthetic-2"},
                               "Cannot open input for 'Left'"},
                          Case{{synthetic(3, "Gone"), synthetic(1, "Left")},
                               {},
                               "Device 'Gone' not found\nCannot open input for 'Left'"},
                          Case{{synthetic(2)}, {"synthetic-2"}, std::nullopt}}) {
        SCOPED_TRACE(c.devices[0].name);
        manager->setErrorMessage("previous text");
        manager->openCameras(c.devices);
        ASSERT_TRUE(waitUntil([&] { return manager->errorMessage() != "previous text"; }));
        EXPECT_EQ(manager->errorMessage(), c.error);
        EXPECT_EQ(openIds(), c.openIds);
    }
    EXPECT_EQ(deviceThreads(), 1);
    manager.reset();
    EXPECT_EQ(deviceThreads(), 0);
}

// The stop completes once, whether nothing is open or nothing records, and only
// after every movie is finished, also of a camera an Apply closed or that was lost
// (its slot goes to the other), even while the loss is on its way to the main thread.
TEST_F(Manager, EveryStopCompletesOnceAfterItsMoviesAreFinished) {
    TempDir none, dual, applied, lost;
    ASSERT_EQ(manager->startRecording(none.path()), std::nullopt);
    EXPECT_EQ(stop(), "no video");
    EXPECT_TRUE(listDir(none.path()).empty());

    open({synthetic(1), synthetic(2)});
    EXPECT_EQ(stop(), "no video");
    ASSERT_EQ(manager->startRecording(dual.path()), std::nullopt);
    QTest::qWait(2000);
    SyntheticCameras::disconnect("synthetic-1");
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 1; }));
    EXPECT_EQ(openIds(), std::vector<std::string>{"synthetic-2"});
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 1' was disconnected.");
    EXPECT_EQ(deviceThreads(), 1);
    QTest::qWait(1000);  // the other camera's half goes on to the stop
    EXPECT_EQ(stop(), "recording.mp4 finished");
    expectOnlyMovie(dual, "recording.mp4", 3.0);
    // Each camera wrote what its half showed; the lost one says when it went.
    ASSERT_EQ(report.cameras.size(), 2u);
    const auto ticks = static_cast<std::int64_t>(probeMovie(dual.file("recording.mp4")).frames());
    for (const auto& camera : report.cameras) {
        EXPECT_LE(camera.framesWritten, ticks * (camera.id == "synthetic-1" ? 3 : 4) / 4);
        EXPECT_GE(camera.framesCaptured, camera.framesWritten);
        EXPECT_EQ(camera.lostAt.has_value(), camera.id == "synthetic-1") << camera.id;
    }
    EXPECT_EQ(report.videoStartTime, report.movies[0].firstFrameTime);

    ASSERT_EQ(manager->startRecording(applied.path()), std::nullopt);
    QTest::qWait(1500);
    manager->openCameras({synthetic(3)});
    EXPECT_TRUE(manager->openedRecorders().empty());
    EXPECT_EQ(stop(), "camera1.mp4 finished");
    ASSERT_EQ(report.cameras.size(), 1u);
    expectOnlyMovie(applied, "camera1.mp4", 1.5, report.cameras[0].framesCaptured);
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == 1; }));

    startWithFrames(lost);
    SyntheticCameras::disconnect("synthetic-3");
    EXPECT_EQ(stop(), "camera1.mp4 finished");
    EXPECT_GT(probeMovie(lost.file("camera1.mp4")).frames(), 0u);
    ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().empty(); }));
    EXPECT_EQ(manager->errorMessage(), "Camera 'Synthetic Camera 3' was disconnected.");
}

TEST_F(Manager, RapidStartStopCyclesFinishEveryMovie) {
    for (std::string movie : {"recording.mp4", "camera1.mp4"}) {
        open(movie == "camera1.mp4" ? std::vector{synthetic(1)}
                                    : std::vector{synthetic(1), synthetic(2)});
        for (int cycle = 0; cycle < 4; ++cycle) {
            TempDir folder;
            // From the third cycle on frames must have come.
            if (cycle >= 2)
                startWithFrames(folder);
            else
                ASSERT_EQ(manager->startRecording(folder.path()), std::nullopt);
            QTest::qWait(cycle * 150);
            const std::string outcome = stop();
            // Only a stop before the first frame cancels the movie; a finished one plays.
            if (cycle < 2 && outcome == movie + " cancelled (no frames)") continue;
            EXPECT_EQ(outcome, movie + " finished");
            EXPECT_GT(probeMovie(folder.file(movie)).frames(), 0u) << movie << cycle;
        }
    }
}
