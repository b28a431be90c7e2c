#include <gtest/gtest.h>

#include <QCoreApplication>
#include <nlohmann/json.hpp>

#include "app/MainThread.h"
#include "app/SessionManager.h"
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
        if (count > 0) writeFile(joinPath(folder, count == 2 ? "recording.mp4" : "camera1.mp4"), "movie");
        return std::nullopt;
    }
    void stopRecording(StopCompletion completion) override {
        ++stops;
        pendingCompletion = [this, completion] { completion(videoStartTime); };
    }
    void finish() {
        auto completion = std::move(pendingCompletion);
        pendingCompletion = nullptr;
        postToMain(completion);
    }
};

void turn() { QCoreApplication::processEvents(); }

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
        cameras->finish();
        turn();
        turn();
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
    EXPECT_TRUE(session.recordingState().recording);  // one turn late
    turn();
    EXPECT_FALSE(session.recordingState().recording);

    std::string folder = root.file(id);
    ASSERT_TRUE(session.lastSessionDir());
    EXPECT_EQ(*session.lastSessionDir(), folder);
    EXPECT_EQ(listDir(folder), (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
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

TEST_F(Fixture, LeadInAndTailOutInterleavings) {
    session.startSession("a", "user");
    session.startSession("b", "user");  // during the lead-in: no second folder
    session.stopSession();              // during the lead-in: ignored
    turn();
    EXPECT_TRUE(session.recordingState().recording);
    EXPECT_EQ(cameras->starts, 1);
    EXPECT_EQ(listDir(root.path()).size(), 1u);

    session.startSession("c", "user");  // while recording: ignored
    session.stopSession();
    session.stopSession();  // during the tail-out: not a second finish
    EXPECT_EQ(cameras->stops, 1);
    EXPECT_FALSE(session.wouldAcceptStart());
    session.startSession("d", "user");  // during the tail-out: ignored
    cameras->finish();
    turn();
    turn();
    EXPECT_FALSE(session.recordingState().recording);
    EXPECT_EQ(cameras->starts, 1);
    EXPECT_TRUE(session.wouldAcceptStart());
    session.stopSession();  // idle: nothing changes
    EXPECT_EQ(cameras->stops, 1);
}

TEST_F(Fixture, FailedCameraStartKeepsFolderAndRecordOnly) {
    cameras->failure = RecordingError{"Talvex", 1, "Cannot add writer input"};
    testing::internal::CaptureStdout();
    session.startSession("x", "user");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Talvex: start recording failed: Cannot add writer input"), std::string::npos);
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
    EXPECT_EQ(listDir(root.file(id)), (std::vector<std::string>{"camera1.mp4", "gyro.csv", "session.json"}));
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
