#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/MainThread.h"
#include "app/SessionManager.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using namespace std::string_literals;
using namespace talvex::test;

namespace {

// Stands in for the camera manager: writes a stub video per start and holds
// the stop's completion until the test releases it.
struct FakeCameras : RecordingOperations {
    std::size_t count = 1;
    std::optional<RecordingError> failure;
    int starts = 0, stops = 0;
    std::function<void()> pendingCompletion;
    std::optional<double> videoStartTime;  // what the stop reports of the movie
    std::vector<CameraTake> cameras;       // and of the cameras
    std::vector<std::string> missing;

    std::size_t openedRecorderCount() const override { return count; }
    std::optional<RecordingError> startRecording(const std::string& folder) override {
        if (failure) return failure;
        ++starts;
        writeFile(joinPath(folder, count == 2 ? "recording.mp4" : "camera1.mp4"), "movie");
        return std::nullopt;
    }
    void stopRecording(StopCompletion completion) override {
        ++stops;
        MovieResult movie;
        movie.file = count == 2 ? "recording.mp4" : "camera1.mp4";
        pendingCompletion = [=, this] { completion({videoStartTime, {movie}, cameras}); };
    }
    std::vector<std::string> missingCameras() const override { return missing; }
    void finish() { postToMain(std::exchange(pendingCompletion, nullptr)); }
};

// The record without its times, once it has its start, end and duration.
json untimed(json record) {
    for (const char* key : {"recording_start", "recording_end", "duration_seconds"})
        EXPECT_EQ(record.erase(key), 1u) << key;
    return record;
}

// Gone, although the session's file queue may be writing into it meanwhile.
bool removed(const std::string& folder) {
    return waitUntil([&] {
        std::error_code error;
        return std::filesystem::remove_all(folder, error), !std::filesystem::exists(folder);
    });
}

struct Fixture : ::testing::Test {
    TempDir root;
    std::shared_ptr<FakeCameras> cameras = std::make_shared<FakeCameras>();
    SessionManager session{root.path()};
    Fixture() { session.setCameraManager(cameras); }

    void stopAndFinish() {
        session.stopSession();
        if (cameras) cameras->finish();
        EXPECT_TRUE(waitUntil([&] { return !session.isBusy(); }));
    }
};

std::atomic<std::thread::id> mainThread;
std::atomic<int> mainThreadSyncs{0}, otherSyncs{0};

}  // namespace

// Every sync of this process, counted by the thread that waits for the disk.
extern "C" int fdatasync(int fd) {
    ++(std::this_thread::get_id() == mainThread.load() ? mainThreadSyncs : otherSyncs);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

// The main thread never waits for the disk: session.json (start, animation,
// stop) and gyro.csv (once a second and at its close) are synced elsewhere.
TEST_F(Fixture, OneCameraSessionLeavesFolderGyroAndRecord) {
    mainThread = std::this_thread::get_id();
    session.startSession("../Run 3/4", "Lumetra Program");
    // Lead-in: start time set, state still idle.
    const double start = session.recordingStartTime().value();
    EXPECT_FALSE(session.recordingState().recording);
    session.writeGyroSample(start + 0.5, 1, 2, 3);  // dropped silently in the lead-in
    QCoreApplication::processEvents();
    ASSERT_TRUE(session.recordingState().recording);
    std::string id = session.recordingState().sessionId;
    EXPECT_EQ(id.rfind(".._Run 3_4_", 0), 0u) << "a folder inside the root";

    session.writeGyroSample(start, 0.0123, -0.004, 1e-05);
    session.writeGyroSample(start - 0.001, 9, 9, 9);  // negative time
    session.writeGyroSample(start + 0.5, 2, 0, 0);
    session.recordAnimation("jump");
    session.recordAnimation("jump");
    ASSERT_TRUE(waitUntil([&] { return session.elapsedSeconds() >= 1; }));
    cameras->videoStartTime = start + 0.0625;
    cameras->cameras = {{"usb-Cam_1234-video-index0", "Cam", "mjpeg 1280x720 30fps", 45, 42, 2, 1,
                         start + 0.75, std::nullopt}};
    testing::internal::CaptureStdout();
    session.stopSession();
    EXPECT_EQ(countOf(testing::internal::GetCapturedStdout(),
                      "Talvex Gyro: session kept 2 samples, longest gap "),
              1);
    session.writeGyroSample(start + 1, 9, 9, 9);  // tail-out: no start time
    session.recordAnimation("late");              // still before the cameras finished
    cameras->finish();
    QCoreApplication::processEvents();
    session.recordAnimation("after the record");  // kept in memory only
    ASSERT_TRUE(waitUntil([&] { return !session.isBusy(); }));
    EXPECT_EQ(mainThreadSyncs.load(), 0);
    EXPECT_GE(otherSyncs.load(), 4);
    EXPECT_FALSE(session.recordingState().recording);
    EXPECT_EQ(session.metadata()->animationsRun.back(), "after the record");
    EXPECT_EQ(session.elapsedSeconds(), 1) << "the clock keeps its count after the stop";

    std::string folder = root.file(id);
    EXPECT_EQ(listDir(folder),
              (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
    EXPECT_EQ(readText(folder + "/gyro.csv"),
              "time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n"
              "0.0,0.0123,-0.004,1e-05\n"
              "0.5,2.0,0.0,0.0\n");
    json record = json::parse(readText(folder + "/session.json"));
    EXPECT_NEAR(record["video_start_seconds"].get<double>(), 0.0625, 1e-9);
    // Rows at 0.0 and 0.5: the longest gap is between them or from the last to
    // the stop, about a second (a tick of the coarse timer) after the start.
    const double duration = record["duration_seconds"], gap = record["gyro_longest_gap_seconds"];
    EXPECT_GE(duration, 0.9);
    EXPECT_DOUBLE_EQ(gap, std::max(0.5, duration - 0.5));
    const auto& take = session.lastTake().value();
    EXPECT_EQ(
        std::tuple(take.durationSeconds, take.gyroLongestGap, take.gyroSamples, take.startTime),
        std::tuple(duration, gap, 2, start));
    EXPECT_EQ(take.cameras.at(0).framesWritten, 42);
    EXPECT_NEAR(record["camera_devices"][0]["lost_at_seconds"].get<double>(), 0.75, 1e-9);
    record.erase("video_start_seconds"), record.erase("gyro_longest_gap_seconds");
    record["camera_devices"][0].erase("lost_at_seconds");
    EXPECT_EQ(untimed(record), json({{"session_id", id},
                                     {"initiated_by", "Lumetra Program"},
                                     {"animations_run", {"jump", "jump", "late"}},
                                     {"cameras", {"camera1"}},
                                     {"gyroscope", true},
                                     {"gyro_samples", 2},
                                     {"camera_devices",
                                      {{{"id", "usb-Cam_1234-video-index0"},
                                        {"name", "Cam"},
                                        {"mode", "mjpeg 1280x720 30fps"},
                                        {"frames_captured", 45},
                                        {"frames_written", 42},
                                        {"frames_lost", 2},
                                        {"frames_damaged", 1}}}}}));
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/camera1.mp4");
}

// No camera, cameras gone missing, a name too long for a folder, a root
// below a plain file, cameras that fail: nothing records, the log says why
// once and the window's notice says the same until the next action; only a
// failed camera start leaves its (empty) folder and its record in memory.
TEST_F(Fixture, StartsThatCannotBegin) {
    const std::string failed = "start recording failed: ";
    writeFile(root.file("plainfile"), "x");
    const struct {
        std::size_t count;
        std::vector<std::string> missing;
        std::string name, under, line;
    } cases[] = {
        {0, {}, "x", "", "start refused: no camera is open"},
        {0, {"Left rig"}, "x", "", "start refused: camera 'Left rig' is missing"},
        {1, {}, std::string(300, 'n'), "", failed + "the session name cannot be a folder name"},
        {1, {}, "x", "plainfile/sub", failed + "cannot create the output root "},
        {1, {}, "x", "", failed + "Cannot add writer input"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const bool camerasFail = &c == std::end(cases) - 1;
        cameras->count = c.count, cameras->missing = c.missing;
        if (camerasFail) cameras->failure = RecordingError{"Cannot add writer input"};
        session.setOutputRoot(root.file(c.under));
        QCoreApplication::processEvents();
        testing::internal::CaptureStdout();
        session.startSession(c.name, "user");
        QCoreApplication::processEvents();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(countOf(out, "Talvex: " + c.line), 1) << out;
        EXPECT_EQ(countOf(out, "\n"), 1) << out;
        EXPECT_TRUE(session.startProblem().value_or("").starts_with(char(std::toupper(c.line[0])) +
                                                                    c.line.substr(1)));
        EXPECT_FALSE(session.recordingState().recording || session.isBusy());
        ASSERT_EQ(session.metadata().has_value(), camerasFail);
    }
    session.stopSession();
    EXPECT_FALSE(session.startProblem()) << "until the next action";
    const std::string id = session.metadata()->sessionId;
    EXPECT_EQ(listDir(root.path()), (std::vector<std::string>{"plainfile", id}));
    EXPECT_TRUE(listDir(root.file(id)).empty()) << "no gyro.csv, no reserve";
}

// The session stays in its folder when the root changes; a disk pulled and plugged
// back, a clean-up script, the camera side gone: the stop still writes the record
// into its folder made again, and the next start makes the (new) root again. Starts
// and stops in its lead-in and tail-out are not lost.
TEST_F(Fixture, TheRecordSurvivesWhateverVanishes) {
    session.startSession("gone", "user");
    QCoreApplication::processEvents();
    std::string id = session.recordingState().sessionId;
    TempDir other;
    session.setOutputRoot(other.path() + "/./sub/..//");  // kept tidy, and for the next run
    QCoreApplication::processEvents();
    EXPECT_EQ(session.outputRoot(), other.path());
    EXPECT_EQ(SessionManager().outputRoot(), other.path());
    ASSERT_TRUE(removed(root.path()));
    cameras.reset();
    testing::internal::CaptureStdout();
    stopAndFinish();
    EXPECT_EQ(countOf(readText(root.file(id) + "/session.json"), "\"recording_end\""), 1);

    cameras = std::make_shared<FakeCameras>();
    cameras->count = 2;
    session.setCameraManager(cameras);
    ASSERT_TRUE(removed(other.path()));
    session.startSession(std::nullopt, "user");
    session.startSession("b", "user");  // during the lead-in: ignored, with a line
    session.stopSession();              // during the lead-in: stops once recording
    QCoreApplication::processEvents();
    EXPECT_EQ(cameras->stops, 1);
    session.stopSession();                 // during the tail-out: not a second finish
    session.startSession("same", "user");  // waits for the first session's files
    EXPECT_TRUE(session.isBusy());
    cameras->finish();
    ASSERT_TRUE(
        waitUntil([&] { return cameras->starts == 2 && session.recordingState().recording; }));
    stopAndFinish();
    EXPECT_EQ(cameras->stops, 2);
    std::string out = testing::internal::GetCapturedStdout();
    for (const auto& line :
         {"the session folder had vanished and was created again: " + root.file(id),
          "the output root was missing and was created again: " + other.path(),
          "start ignored, a session is already recording: b"s,
          "start waited for the previous session to finish: same"s})
        EXPECT_EQ(countOf(out, "Talvex: " + line), 1) << line;

    // Two cameras, no samples: gyro.csv keeps its header alone (52 bytes).
    auto folders = listDir(other.path());
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0].rfind("same_", 0) + folders[1].rfind("session_", 0), 0u);
    for (const auto& name : folders) {
        EXPECT_EQ(readText(other.file(name) + "/gyro.csv").size(), 52u);
        EXPECT_EQ(untimed(json::parse(readText(other.file(name) + "/session.json"))),
                  json({{"session_id", name},
                        {"initiated_by", "user"},
                        {"animations_run", json::array()},
                        {"cameras", {"camera1", "camera2"}},
                        {"gyroscope", false},
                        {"gyro_samples", 0},
                        {"gyro_longest_gap_seconds", 0.0},
                        {"camera_devices", json::array()}}));
    }
    EXPECT_EQ(session.lastSessionVideoURL(), other.file(folders[0]) + "/recording.mp4");
}
