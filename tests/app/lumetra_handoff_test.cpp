#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/LumetraHandoff.h"
#include "app/MainThread.h"
#include "app/Paths.h"
#include "app/SessionManager.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using talvex::test::readText;
using talvex::test::TempDir;

namespace {

const std::string notConfigured = "Lumetra path not configured. Use 'Locate Lumetra…' first.";

std::string pendingPath() {
    return joinPath(paths::appDataDir(), "pending_session.json");
}

json readJson(const std::string& path) {
    return json::parse(readText(path));
}

// Waits for the detached stub to report; the launch itself has already
// returned, the stub only needs its moment to run.
bool waitForFile(const std::string& path) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fileExists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void writeSessionRecord(const std::string& folder, const std::string& body) {
    writeFile(joinPath(folder, "session.json"), body);
}

struct Handoff : ::testing::Test {
    TempDir dir;
    std::string stub = dir.file("Lumetra");
    std::string launched = dir.file("launched");

    Handoff() {
        // Records its argument count and arguments, then how it was started.
        writeFile(stub, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + launched + ".part' && mv '" +
                            launched + ".part' '" + launched + "'\n");
        std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
        setLumetraAppPath(stub);
        std::filesystem::remove(pendingPath());
    }
    ~Handoff() override { setLumetraAppPath(""); }

    std::string sessionFolder(const std::string& name) {
        std::string folder = dir.file(name);
        makeDirectories(folder);
        return folder;
    }
};

}  // namespace

TEST_F(Handoff, NotConfiguredWritesAndLaunchesNothing) {
    std::string folder = sessionFolder("run_20260101_120000");
    std::string video = joinPath(folder, "recording.mp4");
    writeFile(video, "movie");
    for (std::string stored : {std::string(), dir.file("moved-away")}) {
        setLumetraAppPath(stored);
        EXPECT_FALSE(isLumetraConfigured());
        EXPECT_EQ(openInLumetra(video, std::nullopt), notConfigured) << stored;
    }
    paths::settings()->remove("lumetraAppPath");
    EXPECT_EQ(openInLumetra(video, std::nullopt), notConfigured);
    EXPECT_FALSE(fileExists(joinPath(folder, "recording.talvex")));
    EXPECT_FALSE(fileExists(pendingPath()));
    EXPECT_FALSE(fileExists(launched));
}

TEST_F(Handoff, FilesBesideVideoAndInDataFolderThenLaunch) {
    struct Case {
        std::string videoName, sidecarName;
        bool withGyro;
    };
    for (const Case& c : {Case{"recording.mp4", "recording.talvex", true},
                          Case{"camera1.mp4", "camera1.talvex", false}}) {
        SCOPED_TRACE(c.videoName);
        std::string folder = sessionFolder("Anna_20260101_120000-" + c.videoName);
        std::string video = joinPath(folder, c.videoName);
        std::string gyro = joinPath(folder, "gyro.csv");
        writeSessionRecord(folder, R"({"session_id":"Anna_20260101_120000"})");
        std::filesystem::remove(launched);

        std::optional<std::string> gyroArg;
        if (c.withGyro) gyroArg = gyro;
        ASSERT_EQ(openInLumetra(video, gyroArg), std::nullopt);

        std::string sidecar = joinPath(folder, c.sidecarName);
        std::string sidecarText = readText(sidecar);
        EXPECT_EQ(sidecarText.find('\n'), std::string::npos) << "compact JSON";
        json expected = {{"video", video}};
        if (c.withGyro) expected["gyro"] = gyro;
        EXPECT_EQ(json::parse(sidecarText), expected);
        expected["subject_id"] = "Anna";
        EXPECT_EQ(readJson(pendingPath()), expected);

        ASSERT_TRUE(waitForFile(launched));
        EXPECT_EQ(readText(launched), "0|") << "Lumetra gets no arguments";
    }
}

TEST_F(Handoff, SubjectIdFromSessionRecord) {
    struct Case {
        std::string record;
        std::optional<std::string> subject;
    };
    const Case cases[] = {
        {R"({"session_id":"run_7_20260101_120000"})", "run_7"},
        {R"({"session_id":"a_b_c_20260101_120000"})", "a_b_c"},
        {R"({"session_id":"session_20260101_120000"})", std::nullopt},
        {R"({"session_id":"_20260101_120000"})", std::nullopt},
        {R"({"session_id":"run_7"})", std::nullopt},
        {R"({"session_id":7})", std::nullopt},
        {R"({"other":"x_y_z"})", std::nullopt},
        {R"(["run_1_2"])", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
    };
    std::string folder = sessionFolder("s");
    std::string video = joinPath(folder, "camera1.mp4");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        if (c.record.empty())
            std::filesystem::remove(joinPath(folder, "session.json"));
        else
            writeSessionRecord(folder, c.record);
        writePendingSession(video, std::nullopt);
        json pending = readJson(pendingPath());
        if (c.subject) {
            EXPECT_EQ(pending.value("subject_id", ""), *c.subject);
        } else {
            EXPECT_FALSE(pending.contains("subject_id"));
        }
        EXPECT_FALSE(pending.contains("gyro"));
    }
}

TEST_F(Handoff, SecondHandoffReplacesBothFiles) {
    std::string folder = sessionFolder("Bo_20260101_120000");
    std::string video = joinPath(folder, "recording.mp4");
    writeSessionRecord(folder, R"({"session_id":"Bo_20260101_120000"})");
    ASSERT_EQ(openInLumetra(video, joinPath(folder, "gyro.csv")), std::nullopt);
    ASSERT_EQ(openInLumetra(video, std::nullopt), std::nullopt);
    EXPECT_EQ(json::parse(readText(joinPath(folder, "recording.talvex"))),
              json({{"video", video}}));
    EXPECT_EQ(readJson(pendingPath()), json({{"video", video}, {"subject_id", "Bo"}}));
}

TEST_F(Handoff, LaunchFailureKeepsFilesAndSaysWhy) {
    std::string folder = sessionFolder("c");
    std::string video = joinPath(folder, "camera1.mp4");
    std::string notExecutable = dir.file("Lumetra.txt");
    writeFile(notExecutable, "not a program");
    std::string brokenEntry = dir.file("lumetra.desktop");
    writeFile(brokenEntry, "garbage\n");
    for (const std::string& app : {notExecutable, brokenEntry}) {
        SCOPED_TRACE(app);
        std::filesystem::remove(pendingPath());
        setLumetraAppPath(app);
        std::optional<std::string> error = openInLumetra(video, std::nullopt);
        ASSERT_TRUE(error);
        const std::string prefix = "Failed to launch Lumetra: ";
        EXPECT_EQ(error->rfind(prefix, 0), 0u) << *error;
        EXPECT_GT(error->size(), prefix.size() + 3) << "carries a description";
        EXPECT_TRUE(fileExists(joinPath(folder, "camera1.talvex")));
        EXPECT_TRUE(fileExists(pendingPath()));
    }
}

TEST_F(Handoff, DesktopEntryLaunchesThroughGio) {
    std::string entry = dir.file("lumetra.desktop");
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=Lumetra\nExec=" + stub + "\n");
    setLumetraAppPath(entry);
    std::string folder = sessionFolder("d");
    ASSERT_EQ(openInLumetra(joinPath(folder, "camera1.mp4"), std::nullopt), std::nullopt);
    EXPECT_TRUE(waitForFile(launched));
}

// A record from an earlier hand-off must not survive a failed write, or
// Lumetra would open the wrong session.
TEST_F(Handoff, FailedPendingWriteLeavesNoEarlierRecord) {
    std::string folder = sessionFolder("e");
    std::string video = joinPath(folder, "recording.mp4");
    std::string blockedTemporary = pendingPath() + ".tmp";
    struct Case {
        const char* why;
        std::string video;
        bool blockWrite;
    };
    for (const Case& c : {Case{"path is not UTF-8", joinPath(folder, "bad\xff.mp4"), false},
                          Case{"file cannot be written", video, true}}) {
        SCOPED_TRACE(c.why);
        writePendingSession(video, std::nullopt);
        ASSERT_TRUE(fileExists(pendingPath()));
        if (c.blockWrite) makeDirectories(joinPath(blockedTemporary, "x"));
        testing::internal::CaptureStdout();
        writePendingSession(c.video, std::nullopt);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fileExists(pendingPath()));
        if (c.blockWrite) {
            EXPECT_NE(log.find("Talvex: failed to write pending session: "), std::string::npos);
        }
        std::filesystem::remove_all(blockedTemporary);
    }
}

// The window hands over what the session manager finds in the last session;
// a gyro.csv holding only its header is not handed over.
TEST_F(Handoff, GyroFileOnlyFromSixtyOneBytes) {
    struct Cameras : RecordingOperations {
        std::size_t openedRecorderCount() const override { return 2; }
        std::optional<RecordingError> startRecording(const std::string& folder) override {
            writeFile(joinPath(folder, "recording.mp4"), "movie");
            return std::nullopt;
        }
        void stopRecording(std::function<void()> completion) override { postToMain(completion); }
    };
    auto cameras = std::make_shared<Cameras>();
    SessionManager session(dir.file("root"));
    session.setCameraManager(cameras);
    for (std::size_t size : {52u, 60u, 61u}) {
        SCOPED_TRACE(size);
        session.startSession("run_7", "user");
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        session.stopSession();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        ASSERT_TRUE(session.lastSessionVideoURL());
        std::string gyro = joinPath(*session.lastSessionDir(), "gyro.csv");
        writeFile(gyro, std::string(size, 'x'));
        ASSERT_EQ(openInLumetra(*session.lastSessionVideoURL(), session.lastSessionGyroURL()),
                  std::nullopt);
        json pending = readJson(pendingPath());
        EXPECT_EQ(pending.contains("gyro"), size >= 61);
        EXPECT_EQ(pending.value("subject_id", ""), "run_7");
    }
}
