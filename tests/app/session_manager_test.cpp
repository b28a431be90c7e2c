#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
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
using nlohmann::json;
using talvex::test::listDir;
using talvex::test::readText;
using talvex::test::TempDir;
using talvex::test::waitUntil;

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
        ++starts;
        writeFile(joinPath(folder, count == 2 ? "recording.mp4" : "camera1.mp4"), "movie");
        return std::nullopt;
    }
    void stopRecording(StopCompletion completion) override {
        ++stops;
        pendingCompletion = [this, completion] { completion({videoStartTime, {}}); };
    }
    void finish() { postToMain(std::exchange(pendingCompletion, nullptr)); }
};

void turn() {
    QCoreApplication::processEvents();
}

json readJson(const std::string& path) {
    return json::parse(readText(path));
}

// The record without its times, once it has its start and end.
json untimed(json record) {
    EXPECT_EQ(record.erase("recording_start") + record.erase("recording_end"), 2u) << record;
    return record;
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
    void stopAndFinish() {
        session.stopSession();
        if (cameras) cameras->finish();
        EXPECT_TRUE(waitUntil([&] { return !session.isBusy(); }));
    }
};

std::thread::id mainThread;
std::atomic<int> mainThreadSyncs{0}, otherSyncs{0};
void countSync() {
    ++(std::this_thread::get_id() == mainThread ? mainThreadSyncs : otherSyncs);
}

}  // namespace

// The main thread never waits for the disk: session.json (start, animation,
// stop) and gyro.csv (once a second and at its close) are synced elsewhere.
TEST_F(Fixture, OneCameraSessionLeavesFolderGyroAndRecord) {
    mainThread = std::this_thread::get_id();
    setSyncObserver(countSync);
    session.startSession("../Run 3/4", "Lumetra Program");
    // Lead-in: start time set, state still idle.
    ASSERT_TRUE(session.recordingStartTime());
    EXPECT_FALSE(session.recordingState().recording);
    double start = *session.recordingStartTime();
    session.writeGyroSample(start + 0.5, 1, 2, 3);  // dropped silently in the lead-in
    turn();
    ASSERT_TRUE(session.recordingState().recording);
    std::string id = session.recordingState().sessionId;
    EXPECT_EQ(id.rfind(".._Run 3_4_", 0), 0u) << "a folder inside the root";

    std::thread gyro([&] {  // samples come on the receiver's thread
        session.writeGyroSample(start, 0.0123, -0.004, 1e-05);
        session.writeGyroSample(start - 0.001, 9, 9, 9);  // negative time
        session.writeGyroSample(start + 0.5, 2, 0, 0);
    });
    gyro.join();
    session.recordAnimation("jump");
    session.recordAnimation("jump");
    ASSERT_TRUE(waitUntil([&] { return session.elapsedSeconds() >= 1; }));
    cameras->videoStartTime = start + 0.0625;
    testing::internal::CaptureStdout();
    session.stopSession();
    EXPECT_EQ(test::countOf(testing::internal::GetCapturedStdout(),
                            "Talvex Gyro: session kept 2 samples, longest gap "),
              1);
    session.writeGyroSample(start + 1, 9, 9, 9);  // tail-out: no start time
    session.recordAnimation("late");              // still before the cameras finished
    cameras->finish();
    turn();
    session.recordAnimation("after the record");  // kept in memory only
    ASSERT_TRUE(waitUntil([&] { return !session.isBusy(); }));
    setSyncObserver(nullptr);
    EXPECT_EQ(mainThreadSyncs.load(), 0);
    EXPECT_GE(otherSyncs.load(), 4);
    EXPECT_FALSE(session.recordingState().recording);
    EXPECT_EQ(session.metadata()->animationsRun.back(), "after the record");
    EXPECT_EQ(session.elapsedSeconds(), 1) << "the clock keeps its count after the stop";
    EXPECT_EQ(session.elapsedString(), "00:00:01");

    std::string folder = root.file(id);
    EXPECT_EQ(session.lastSessionDir(), folder);
    EXPECT_EQ(listDir(folder),
              (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
    EXPECT_EQ(readText(folder + "/gyro.csv"),
              "time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n"
              "0.0,0.0123,-0.004,1e-05\n"
              "0.5,2.0,0.0,0.0\n");
    json record = readJson(folder + "/session.json");
    EXPECT_NEAR(record["video_start_seconds"].get<double>(), 0.0625, 1e-9);
    record.erase("video_start_seconds");
    EXPECT_EQ(untimed(record), json({{"session_id", id},
                                     {"initiated_by", "Lumetra Program"},
                                     {"animations_run", {"jump", "jump", "late"}},
                                     {"cameras", {"camera1"}},
                                     {"gyroscope", true}}));
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/camera1.mp4");
    EXPECT_EQ(session.lastSessionGyroURL(), folder + "/gyro.csv");
}

// No camera, cameras that fail, a name too long for a folder, a root below a
// plain file: nothing records, and only a failed camera start leaves its
// (empty) folder and its record in memory.
TEST_F(Fixture, StartsThatCannotBegin) {
    const std::string failed = "Talvex: start recording failed: ";
    struct Case {
        std::size_t count;
        std::string name, subfolder, line;
        bool folderAndRecord;  // only where the cameras fail
    } cases[] = {
        {0, "x", "", "", false},
        {1, "x", "", failed + "Cannot add writer input", true},
        {1, std::string(300, 'n'), "", failed + "the session name cannot be a folder name", false},
        {1, "x", "plainfile/sub", failed + "cannot create the output root ", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        TempDir caseRoot;
        writeFile(caseRoot.file("plainfile"), "x");
        cameras->count = c.count;
        cameras->failure.reset();
        if (c.folderAndRecord)
            cameras->failure = RecordingError{"Talvex", 1, "Cannot add writer input"};
        SessionManager manager(c.subfolder.empty() ? caseRoot.path() : caseRoot.file(c.subfolder));
        manager.setCameraManager(cameras);
        testing::internal::CaptureStdout();
        manager.startSession(c.name, "user");
        turn();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.line.empty() ? int(out.size()) : test::countOf(out, c.line), !c.line.empty())
            << out;
        EXPECT_FALSE(manager.recordingState().recording);
        EXPECT_FALSE(manager.isBusy());
        auto entries = listDir(caseRoot.path());
        std::erase(entries, "plainfile");
        ASSERT_EQ(entries.size(), c.folderAndRecord ? 1u : 0u);
        EXPECT_EQ(manager.metadata().has_value(), c.folderAndRecord);
        if (!c.folderAndRecord) continue;
        EXPECT_TRUE(listDir(caseRoot.file(entries[0])).empty()) << "no gyro.csv, no reserve";
        EXPECT_EQ(manager.metadata()->sessionId, entries[0]);
    }
}

// Starts and stops in the lead-in and the tail-out are not lost (back to
// back in every order they are the session sequence's); a name used again
// within the same second never reuses a folder, nor touches an existing one.
TEST_F(Fixture, StartsAndStopsInTheLeadInAndTailOutAreNotLost) {
    std::time_t now = static_cast<std::time_t>(wallNow());
    for (int ahead = 0; ahead < 3; ++ahead) {
        std::string earlier = root.file(sessionFolderName("same", now + ahead));
        makeDirectories(earlier);
        writeFile(earlier + "/camera1.mp4", "earlier movie");
    }
    testing::internal::CaptureStdout();
    session.startSession("same", "user");
    session.startSession("b", "user");  // during the lead-in: ignored, with a line
    session.stopSession();              // during the lead-in: stops once recording
    turn();
    EXPECT_TRUE(session.metadata()->sessionId.ends_with("_2")) << session.metadata()->sessionId;
    EXPECT_EQ(cameras->stops, 1);
    session.stopSession();                 // during the tail-out: not a second finish
    session.startSession("same", "user");  // waits for the first session's files
    EXPECT_FALSE(session.wouldAcceptStart());
    cameras->finish();
    ASSERT_TRUE(
        waitUntil([&] { return cameras->starts == 2 && session.recordingState().recording; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::countOf(out, "Talvex: start ignored, a session is already recording: b"), 1);
    EXPECT_EQ(test::countOf(out, "Talvex: start waited for the previous session to finish: same"),
              1);
    stopAndFinish();
    EXPECT_EQ(cameras->stops, 2);
    auto folders = listDir(root.path());
    ASSERT_EQ(folders.size(), 5u);
    for (const auto& name : folders) {
        bool ours = fileExists(root.file(name) + "/session.json");
        EXPECT_EQ(readText(root.file(name) + "/camera1.mp4"), ours ? "movie" : "earlier movie");
        EXPECT_TRUE(!ours || readJson(root.file(name) + "/session.json").contains("recording_end"))
            << name;
    }
}

TEST_F(Fixture, RelativeOrUntidyRootsBecomeAbsolute) {
    QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(root.path()));
    for (const auto& [given, expected] : {std::pair<std::string, std::string>{"rel/out", "rel/out"},
                                          {"./a/../b/", "b"},
                                          {root.path() + "//c/.", "c"}})
        EXPECT_EQ(SessionManager(given).outputRoot(), root.file(expected));
    session.setOutputRoot("chosen/../x");
    turn();
    EXPECT_EQ(session.outputRoot(), root.file("x"));
    paths::settings()->setValue(settingsKeys::kOutputRoot, "x/./");
    EXPECT_EQ(SessionManager().outputRoot(), root.file("x"));
    paths::settings()->remove(settingsKeys::kOutputRoot);
    QDir::setCurrent(previous);
}

// The session stays in its folder when the root changes; a disk pulled and
// plugged back, a clean-up script, the camera side gone: the stop still
// writes the record into its folder made again, and the next start makes
// the (new) root again.
TEST_F(Fixture, TheRecordSurvivesWhateverVanishes) {
    std::string id = runSession("gone");
    TempDir other;
    session.setOutputRoot(other.path());
    turn();
    EXPECT_EQ(session.outputRoot(), other.path());
    removeFolder(root.path());
    cameras.reset();
    testing::internal::CaptureStdout();
    stopAndFinish();
    EXPECT_TRUE(readJson(root.file(id) + "/session.json").contains("recording_end"));
    EXPECT_TRUE(listDir(other.path()).empty());

    cameras = std::make_shared<FakeCameras>();
    cameras->count = 2;
    session.setCameraManager(cameras);
    removeFolder(other.path());
    std::string next = runSession(std::nullopt);
    stopAndFinish();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::countOf(out, "Talvex: the session folder had vanished and was created again: " +
                                     root.file(id)),
              1);
    EXPECT_EQ(test::countOf(out, "Talvex: the output root was missing and was created again: " +
                                     other.path()),
              1);
    EXPECT_EQ(listDir(other.path()), std::vector<std::string>{next});

    // Two cameras, no name, no samples: gyro.csv keeps its header alone (52 bytes).
    std::string folder = other.file(next);
    EXPECT_EQ(next.rfind("session_", 0), 0u);
    EXPECT_EQ(readText(folder + "/gyro.csv").size(), 52u);
    EXPECT_EQ(untimed(readJson(folder + "/session.json")),
              json({{"session_id", next},
                    {"initiated_by", "user"},
                    {"animations_run", json::array()},
                    {"cameras", {"camera1", "camera2"}},
                    {"gyroscope", false}}));
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/recording.mp4");
    EXPECT_FALSE(session.lastSessionGyroURL());
}
