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
    EXPECT_EQ(record["session_id"], id);
    EXPECT_EQ(record["initiated_by"], "Lumetra Program");
    EXPECT_EQ(record["animations_run"], json({"jump", "jump", "late"}));
    EXPECT_EQ(record["cameras"], json({"camera1"}));
    EXPECT_EQ(record["gyroscope"], true);
    EXPECT_TRUE(record.contains("recording_end"));
    EXPECT_NEAR(record["video_start_seconds"].get<double>(), 0.0625, 1e-9);
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
    json record = readJson(folder + "/session.json");
    EXPECT_EQ(record["cameras"], json({"camera1", "camera2"}));
    EXPECT_EQ(record["gyroscope"], false);
    EXPECT_EQ(record["animations_run"], json::array());
    EXPECT_FALSE(record.contains("video_start_seconds"));  // no movie frame reported
    EXPECT_EQ(session.lastSessionVideoURL(), folder + "/recording.mp4");
    EXPECT_FALSE(session.lastSessionGyroURL());  // 52 bytes: header only
}

// No camera, cameras that fail, a name too long for a folder, a root below a
// plain file: nothing records, and only a failed camera start leaves its
// (empty) folder and its record in memory.
TEST_F(Fixture, StartsThatCannotBegin) {
    struct Case {
        const char* what;
        std::size_t count;
        bool fails;
        std::string name;
        std::string subfolder;
        const char* line;
        bool folderAndRecord;
    } cases[] = {
        {"no camera", 0, false, "x", "", "", false},
        {"cameras fail", 1, true, "x", "",
         "Talvex: start recording failed: Cannot add writer input", true},
        {"name too long", 1, false, std::string(300, 'n'), "",
         "Talvex: start recording failed: ", false},
        {"root is a file", 1, false, "x", "plainfile/sub",
         "Talvex: start recording failed: ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir caseRoot;
        writeFile(caseRoot.file("plainfile"), "x");
        cameras->count = c.count;
        cameras->failure.reset();
        if (c.fails) cameras->failure = RecordingError{"Talvex", 1, "Cannot add writer input"};
        SessionManager manager(c.subfolder.empty() ? caseRoot.path() : caseRoot.file(c.subfolder));
        manager.setCameraManager(cameras);
        testing::internal::CaptureStdout();
        manager.startSession(c.name, "user");
        turn();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(*c.line ? test::countOf(out, c.line) : int(out.size()), *c.line ? 1 : 0) << out;
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
    ASSERT_TRUE(waitUntil([&] { return cameras->stops == 2; }));
    cameras->finish();  // c: d begins
    ASSERT_TRUE(
        waitUntil([&] { return cameras->starts == 3 && session.recordingState().recording; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::countOf(out, "Talvex: start ignored, a session is already recording: b"), 1);
    EXPECT_EQ(test::countOf(out, "Talvex: start waited for the previous session to finish: "), 2);
    EXPECT_EQ(cameras->starts, 3);
    stopAndFinish();
    EXPECT_EQ(cameras->stops, 3);
    auto folders = listDir(root.path());
    ASSERT_EQ(folders.size(), 3u);
    for (const auto& folder : folders)
        EXPECT_TRUE(readJson(root.file(folder) + "/session.json").contains("recording_end"))
            << folder;
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
    session.stopSession();
    session.startSession("same", "user");  // waits for the first one's files
    cameras->finish();
    ASSERT_TRUE(waitUntil([&] {
        return session.recordingState().recording && session.recordingState().sessionId != id;
    }));
    std::string second = session.recordingState().sessionId;
    stopAndFinish();
    EXPECT_TRUE(id.ends_with("_2")) << id;
    // "_3" in the same second, else the next second's "_2".
    EXPECT_TRUE(second.ends_with("_3") || (second.ends_with("_2") && second != id)) << second;
    for (const auto& name : listDir(root.path())) {
        bool ours = name == id || name == second;
        EXPECT_EQ(readText(root.file(name) + "/camera1.mp4"), ours ? "movie" : "earlier movie");
        EXPECT_EQ(fileExists(root.file(name) + "/session.json"), ours) << name;
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
    session.setCameraManager(cameras);
    removeFolder(other.path());
    std::string next = runSession("next");
    stopAndFinish();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::countOf(out, "Talvex: the session folder had vanished and was created again: " +
                                     root.file(id)),
              1);
    EXPECT_EQ(test::countOf(out, "Talvex: the output root was missing and was created again: " +
                                     other.path()),
              1);
    EXPECT_EQ(listDir(other.path()), std::vector<std::string>{next});
}
