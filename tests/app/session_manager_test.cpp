#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/MainThread.h"
#include "app/Paths.h"
#include "app/SessionManager.h"
#include "core/Clock.h"
#include "core/DiskSync.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using talvex::test::listDir;
using talvex::test::readText;
using talvex::test::TempDir;

namespace {

// Stands in for the camera manager: writes a stub video per start and holds
// the stop's completion until the test releases it.
class FakeCameras : public RecordingOperations {
public:
    std::size_t count = 1;
    std::optional<RecordingError> failure;
    int starts = 0, stops = 0;
    std::function<void()> pendingCompletion;
    std::optional<double> videoStartTime;  // what the stop reports of the movie

    std::size_t openedRecorderCount() const override { return count; }
    std::optional<RecordingError> startRecording(const std::string& folder) override {
        if (failure) return failure;
        if (!isDirectory(folder)) return RecordingError{"Talvex", 1, "cannot create " + folder};
        ++starts;
        if (count > 0)
            writeFile(joinPath(folder, count == 2 ? "recording.mp4" : "camera1.mp4"), "movie");
        return std::nullopt;
    }
    void stopRecording(StopCompletion completion) override {
        ++stops;
        pendingCompletion = [this, completion] { completion({videoStartTime, {}}); };
    }
    void finish() {
        auto completion = std::move(pendingCompletion);
        pendingCompletion = nullptr;
        postToMain(completion);
    }
};

void turn() {
    QCoreApplication::processEvents();
}

// Runs the event loop until the condition holds (files are finished on a
// thread of their own); generous for a loaded machine.
void waitUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    EXPECT_TRUE(condition());
}

// The session's file queue may be writing into the folder meanwhile.
void removeFolder(const std::string& folder) {
    std::error_code error;
    for (int attempt = 0; attempt < 100 && (std::filesystem::remove_all(folder, error), error);
         ++attempt)
        error.clear();
    ASSERT_FALSE(std::filesystem::exists(folder));
}

struct Fixture : ::testing::Test {
    TempDir root;
    std::shared_ptr<FakeCameras> cameras = std::make_shared<FakeCameras>();
    SessionManager session{root.path()};
    Fixture() { session.setCameraManager(cameras); }

    std::string runSession(const std::optional<std::string>& name) {
        session.startSession(name, "user");
        turn();
        EXPECT_TRUE(session.recordingState().recording);
        return session.recordingState().sessionId;
    }
    // The next session, started while the previous one is finishing.
    std::string runSessionAfter(const std::optional<std::string>& name) {
        std::string previous = session.recordingState().sessionId;
        session.stopSession();
        session.startSession(name, "user");
        cameras->finish();
        waitUntil([&] {
            auto state = session.recordingState();
            return state.recording && state.sessionId != previous;
        });
        return session.recordingState().sessionId;
    }
    void stopAndFinish() {
        session.stopSession();
        cameras->finish();
        waitUntil([&] { return !session.isBusy(); });
    }
};

}  // namespace

TEST_F(Fixture, NoOpenCameraCreatesNothing) {
    cameras->count = 0;
    session.startSession("x", "user");
    turn();
    EXPECT_FALSE(session.recordingState().recording);
    EXPECT_TRUE(listDir(root.path()).empty());
    EXPECT_FALSE(session.metadata());
}

TEST_F(Fixture, OneCameraSessionLeavesFolderGyroAndRecord) {
    session.startSession("Run 3/4", "Lumetra Program");
    // Lead-in: start time set, state still idle.
    ASSERT_TRUE(session.recordingStartTime());
    EXPECT_FALSE(session.recordingState().recording);
    double start = *session.recordingStartTime();
    session.writeGyroSample(start + 0.5, 1, 2, 3);  // dropped silently in the lead-in
    turn();
    ASSERT_TRUE(session.recordingState().recording);
    std::string id = session.recordingState().sessionId;
    EXPECT_EQ(id.rfind("Run 3_4_", 0), 0u);

    session.writeGyroSample(start, 0.0123, -0.004, 1e-05);
    session.writeGyroSample(start - 0.001, 9, 9, 9);  // negative time
    session.writeGyroSample(start + 0.5, 2, 0, 0);
    session.recordAnimation("jump");
    session.recordAnimation("jump");
    cameras->videoStartTime = start + 0.0625;
    testing::internal::CaptureStdout();
    session.stopSession();
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "Talvex Gyro: session kept 2 samples, longest gap "),
              std::string::npos);
    session.writeGyroSample(start + 1, 9, 9, 9);  // tail-out: no start time
    session.recordAnimation("late");              // still before the cameras finished
    cameras->finish();
    turn();
    session.recordAnimation("after the record");  // kept in memory only
    waitUntil([&] { return !session.isBusy(); });
    EXPECT_FALSE(session.recordingState().recording);
    EXPECT_EQ(session.metadata()->animationsRun.back(), "after the record");

    std::string folder = root.file(id);
    ASSERT_TRUE(session.lastSessionDir());
    EXPECT_EQ(*session.lastSessionDir(), folder);
    EXPECT_EQ(listDir(folder),
              (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
    EXPECT_EQ(readText(folder + "/gyro.csv"),
              "time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n"
              "0.0,0.0123,-0.004,1e-05\n"
              "0.5,2.0,0.0,0.0\n");
    auto json = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_EQ(json["session_id"], id);
    EXPECT_EQ(json["initiated_by"], "Lumetra Program");
    EXPECT_EQ(json["animations_run"], nlohmann::json({"jump", "jump", "late"}));
    EXPECT_EQ(json["cameras"], nlohmann::json({"camera1"}));
    EXPECT_EQ(json["gyroscope"], true);
    EXPECT_TRUE(json.contains("recording_end"));
    EXPECT_NEAR(json["video_start_seconds"].get<double>(), 0.0625, 1e-9);
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/camera1.mp4");
    EXPECT_EQ(session.lastSessionGyroURL(), folder + "/gyro.csv");
}

TEST_F(Fixture, TwoCamerasWithoutSamples) {
    cameras->count = 2;
    std::string id = runSession(std::nullopt);
    EXPECT_EQ(id.rfind("session_", 0), 0u);
    stopAndFinish();
    std::string folder = root.file(id);
    EXPECT_EQ(readText(folder + "/gyro.csv").size(), 52u);
    auto json = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_EQ(json["cameras"], nlohmann::json({"camera1", "camera2"}));
    EXPECT_EQ(json["gyroscope"], false);
    EXPECT_EQ(json["animations_run"], nlohmann::json::array());
    EXPECT_FALSE(json.contains("video_start_seconds"));  // no movie frame reported
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/recording.mp4");
    EXPECT_FALSE(session.lastSessionGyroURL());  // 52 bytes: header only
}

TEST_F(Fixture, StartsAndStopsInTheLeadInAndTailOutAreNotLost) {
    testing::internal::CaptureStdout();
    session.startSession("a", "user");
    session.startSession("b", "user");  // during the lead-in: ignored, with a line
    session.stopSession();              // during the lead-in: stops once recording
    turn();
    EXPECT_EQ(cameras->starts, 1);
    EXPECT_EQ(cameras->stops, 1);
    session.stopSession();  // during the tail-out: not a second finish
    EXPECT_EQ(cameras->stops, 1);

    // START, STOP, START back to back: the third command waits for the first
    // session's files, then begins; a STOP after it stops that session.
    session.startSession("c", "user");
    session.stopSession();
    session.startSession("d", "user");
    EXPECT_FALSE(session.wouldAcceptStart());
    cameras->finish();  // a: c begins, and stops as soon as it records
    waitUntil([&] { return cameras->stops == 2; });
    cameras->finish();  // c: d begins
    waitUntil([&] { return cameras->starts == 3 && session.recordingState().recording; });
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Talvex: start ignored, a session is already recording: b"),
              std::string::npos);
    EXPECT_NE(out.find("Talvex: start waited for the previous session to finish: c"),
              std::string::npos);
    EXPECT_TRUE(session.recordingState().recording);  // d records
    EXPECT_EQ(cameras->starts, 3);
    EXPECT_EQ(cameras->stops, 2);
    stopAndFinish();
    EXPECT_FALSE(session.isBusy());
    EXPECT_EQ(cameras->stops, 3);

    auto folders = listDir(root.path());
    ASSERT_EQ(folders.size(), 3u);
    for (const char* prefix : {"a_", "c_", "d_"}) {
        auto folder = std::find_if(folders.begin(), folders.end(),
                                   [&](const std::string& f) { return f.rfind(prefix, 0) == 0; });
        ASSERT_NE(folder, folders.end()) << prefix;
        auto json = nlohmann::json::parse(readText(root.file(*folder) + "/session.json"));
        EXPECT_TRUE(json.contains("recording_end")) << prefix;
    }
}

// A name used again within the same second never reuses a folder, and an
// existing folder's files are left as they are.
TEST_F(Fixture, SameNameInTheSameSecondTakesNumberedFolders) {
    std::time_t now = static_cast<std::time_t>(wallNow());
    for (int ahead = 0; ahead < 3; ++ahead) {
        std::string earlier = root.file(sessionFolderName("same", now + ahead));
        makeDirectories(earlier);
        writeFile(earlier + "/camera1.mp4", "earlier movie");
    }
    std::string id = runSession("same");
    std::string second = runSessionAfter("same");
    stopAndFinish();
    EXPECT_TRUE(id.ends_with("_2")) << id;
    // "_3" in the same second, else the next second's "_2".
    EXPECT_TRUE(second.ends_with("_3") || (second.ends_with("_2") && second != id)) << second;
    for (const auto& name : listDir(root.path())) {
        if (name.ends_with("_2") || name.ends_with("_3")) {
            EXPECT_EQ(readText(root.file(name) + "/camera1.mp4"), "movie");
            EXPECT_TRUE(fileExists(root.file(name) + "/session.json"));
        } else {
            EXPECT_EQ(readText(root.file(name) + "/camera1.mp4"), "earlier movie") << name;
        }
    }
}

TEST_F(Fixture, RelativeOrUntidyRootsBecomeAbsolute) {
    QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(root.path()));
    struct Case {
        std::string given, expected;
    } cases[] = {
        {"rel/out", root.file("rel/out")},
        {"./a/../b/", root.file("b")},
        {root.path() + "//c/.", root.file("c")},
    };
    for (const auto& c : cases) {
        SessionManager relative(c.given);
        EXPECT_EQ(relative.outputRoot(), c.expected);
        relative.setOutputRoot("chosen/../x");
        turn();
        EXPECT_EQ(relative.outputRoot(), root.file("x"));
    }
    paths::settings()->setValue(settingsKeys::kOutputRoot, "x/./");
    EXPECT_EQ(SessionManager().outputRoot(), root.file("x"));
    paths::settings()->remove(settingsKeys::kOutputRoot);
    QDir::setCurrent(previous);
}

// A disk pulled and plugged back, a clean-up script: the stop writes the
// record into its folder made again, and the next start makes the root again.
TEST_F(Fixture, VanishedFoldersAreCreatedAgain) {
    std::string id = runSession("gone");
    removeFolder(root.path());
    testing::internal::CaptureStdout();
    stopAndFinish();
    auto json = nlohmann::json::parse(readText(root.file(id) + "/session.json"));
    EXPECT_TRUE(json.contains("recording_end"));
    removeFolder(root.path());
    std::string next = runSession("next");
    stopAndFinish();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find("Talvex: the session folder had vanished and was created again: " + root.file(id)),
        std::string::npos);
    EXPECT_NE(out.find("Talvex: the output root was missing and was created again: " + root.path()),
              std::string::npos);
    EXPECT_EQ(listDir(root.path()), std::vector<std::string>{next});
}

TEST_F(Fixture, FailedCameraStartKeepsFolderAndRecordOnly) {
    cameras->failure = RecordingError{"Talvex", 1, "Cannot add writer input"};
    testing::internal::CaptureStdout();
    session.startSession("x", "user");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Talvex: start recording failed: Cannot add writer input"),
              std::string::npos);
    turn();
    EXPECT_FALSE(session.recordingState().recording);
    auto entries = listDir(root.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(listDir(root.file(entries[0])).empty());
    ASSERT_TRUE(session.metadata());
    EXPECT_EQ(session.metadata()->sessionId, entries[0]);
}

TEST_F(Fixture, SessionStaysInItsFolderWhenTheRootChanges) {
    std::string id = runSession("keep");
    TempDir other;
    session.setOutputRoot(other.path());
    turn();
    EXPECT_EQ(session.outputRoot(), other.path());
    stopAndFinish();
    EXPECT_EQ(listDir(root.file(id)),
              (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
    EXPECT_TRUE(listDir(other.path()).empty());
}

TEST_F(Fixture, UnusableNamesAndRootsCreateNothingOutside) {
    testing::internal::CaptureStdout();
    session.startSession(std::string(300, 'n'), "user");
    session.startSession("../../escape", "user");
    turn();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Talvex: start recording failed: "), std::string::npos);
    // The path separators became underscores: the one folder is inside the root.
    for (const auto& name : listDir(root.path())) EXPECT_EQ(name.rfind(".._.._escape_", 0), 0u);
    EXPECT_TRUE(listDir(root.path() + "/..").size() >= 1u);

    writeFile(root.file("plainfile"), "x");
    SessionManager blocked(root.file("plainfile") + "/sub");
    blocked.setCameraManager(cameras);
    testing::internal::CaptureStdout();
    blocked.startSession("x", "user");
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Talvex: start recording failed: "), std::string::npos);
    turn();
    EXPECT_FALSE(blocked.recordingState().recording);
}

namespace {
std::thread::id mainThread;
std::atomic<int> mainThreadSyncs{0}, otherSyncs{0};
void countSync() {
    ++(std::this_thread::get_id() == mainThread ? mainThreadSyncs : otherSyncs);
}
}  // namespace

// The main thread never waits for the disk: session.json (start, animation,
// stop) and gyro.csv (once a second and at its close) are synced elsewhere,
// and the session is reported finished only once all of it is done.
TEST_F(Fixture, NoDiskSyncOnTheMainThread) {
    mainThread = std::this_thread::get_id();
    setSyncObserver(countSync);
    std::string id = runSession("sync");
    double start = *session.recordingStartTime();
    std::thread gyro([&] {
        for (int i = 0; i < 3; ++i) session.writeGyroSample(start + i, 1, 2, 3);
    });
    gyro.join();
    session.recordAnimation("a");
    stopAndFinish();
    setSyncObserver(nullptr);
    EXPECT_EQ(mainThreadSyncs.load(), 0);
    EXPECT_GE(otherSyncs.load(), 4);
    auto json = nlohmann::json::parse(readText(root.file(id) + "/session.json"));
    EXPECT_TRUE(json.contains("recording_end"));
    EXPECT_EQ(json["animations_run"], nlohmann::json({"a"}));
    EXPECT_EQ(readText(root.file(id) + "/gyro.csv").size(), 52u + 3 * 16u);
}

TEST_F(Fixture, ElapsedClockKeepsItsCountAfterTheStop) {
    runSession("clock");
    QEventLoop loop;
    QObject::connect(&session, &SessionManager::elapsedSecondsChanged, &loop, [&] {
        if (session.elapsedSeconds() >= 1) loop.quit();
    });
    loop.exec();
    stopAndFinish();
    EXPECT_EQ(session.elapsedSeconds(), 1);
    EXPECT_EQ(session.elapsedString(), "00:00:01");
}
