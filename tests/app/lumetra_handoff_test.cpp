#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QTest>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/LumetraHandoff.h"
#include "app/MainThread.h"
#include "app/Paths.h"
#include "app/SessionManager.h"
#include "core/FileUtil.h"
#include "core/LumetraHandoffFiles.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using talvex::test::readText;

namespace {

json readJson(const std::string& path) {
    return json::parse(readText(path));
}

struct Handoff : ::testing::Test {
    test::TempDir dir;
    std::string stub = dir.file("Lumetra");
    std::string launched = dir.file("launched");
    std::string pending = joinPath(paths::appDataDir(), "pending_session.json");

    Handoff() {
        // Records its argument count and arguments.
        writeFile(stub, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + launched + ".part' && mv '" +
                            launched + ".part' '" + launched + "'\n");
        std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
        setLumetraAppPath(stub);
        std::filesystem::remove(pending);
    }
    ~Handoff() override { setLumetraAppPath(""); }

    // A session folder, with session.json holding record unless it is empty.
    std::string session(const std::string& name, const std::string& record = "") {
        std::string folder = dir.file(name);
        makeDirectories(folder);
        if (!record.empty()) writeFile(joinPath(folder, "session.json"), record);
        return folder;
    }
    // The hand-off's outcome, once its files are written and the launch reported.
    std::optional<std::string> handOff(const std::string& video,
                                       const std::optional<std::string>& gyro) {
        std::optional<std::optional<std::string>> outcome;
        openInLumetra(video, gyro,
                      [&](const std::optional<std::string>& error) { outcome = error; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 20000));
        return outcome.value_or(std::string("no outcome"));
    }
    // The stub runs detached; give it its moment.
    bool launchedOnce() {
        return QTest::qWaitFor([&] { return fileExists(launched); }, 20000);
    }
};

}  // namespace

TEST_F(Handoff, NotConfiguredWritesAndLaunchesNothing) {
    std::string folder = session("run_20260101_120000");
    std::string video = joinPath(folder, "recording.mp4");
    writeFile(video, "movie");
    for (std::string stored : {std::string(), dir.file("moved-away"), std::string("removed")}) {
        if (stored == "removed")
            paths::settings()->remove("lumetraAppPath");
        else
            setLumetraAppPath(stored);
        EXPECT_FALSE(isLumetraConfigured()) << stored;
        EXPECT_EQ(handOff(video, std::nullopt),
                  "Lumetra path not configured. Use 'Locate Lumetra…' first.");
    }
    EXPECT_FALSE(fileExists(joinPath(folder, "recording.talvex")));
    EXPECT_FALSE(fileExists(pending));
    EXPECT_FALSE(fileExists(launched));
}

TEST_F(Handoff, FilesBesideVideoAndInDataFolderThenLaunchAndReplace) {
    for (std::string name : {"recording", "camera1"}) {
        SCOPED_TRACE(name);
        std::string folder =
            session("Anna_20260101_120000-" + name, R"({"session_id":"Anna_20260101_120000"})");
        std::string video = joinPath(folder, name + ".mp4");
        std::optional<std::string> gyro;
        if (name == "recording") gyro = joinPath(folder, "gyro.csv");
        std::filesystem::remove(launched);
        ASSERT_EQ(handOff(video, gyro), std::nullopt);

        std::string sidecar = readText(joinPath(folder, name + ".talvex"));
        EXPECT_EQ(sidecar.find('\n'), std::string::npos) << "compact JSON";
        json expected = {{"video", video}};
        if (gyro) expected["gyro"] = *gyro;
        EXPECT_EQ(json::parse(sidecar), expected);
        expected["subject_id"] = "Anna";
        EXPECT_EQ(readJson(pending), expected);
        ASSERT_TRUE(launchedOnce());
        EXPECT_EQ(readText(launched), "0|") << "Lumetra gets no arguments";
        if (!gyro) continue;
        // A second hand-off replaces both files.
        ASSERT_EQ(handOff(video, std::nullopt), std::nullopt);
        EXPECT_EQ(readJson(joinPath(folder, "recording.talvex")), json({{"video", video}}));
        EXPECT_EQ(readJson(pending), json({{"video", video}, {"subject_id", "Anna"}}));
    }
}

TEST_F(Handoff, SubjectIdFromSessionRecord) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"session_id":"run_7_20260101_120000"})", "run_7"},
        {R"({"session_id":"a_b_c_20260101_120000"})", "a_b_c"},
        {R"({"session_id":"run_7_20260101_120000_2"})", "run_7"},  // second of that second
        {R"({"session_id":"x_120000_20260101_120000"})", "x_120000"},
        {R"({"session_id":"session_20260101_120000_3"})", ""},
        {R"({"session_id":"session_20260101_120000"})", ""},  // unnamed
        {R"({"session_id":"_20260101_120000"})", ""},
        {R"({"session_id":"run_7"})", ""},
        {R"({"session_id":7})", ""},
        {R"({"other":"x_y_z"})", ""},
        {R"(["run_1_2"])", ""},
        {"not json", ""},
        {"", ""},  // no session.json
    };
    for (const auto& [record, subject] : cases) {
        SCOPED_TRACE(record);
        std::filesystem::remove_all(dir.file("s"));
        writePendingSession(joinPath(session("s", record), "camera1.mp4"), std::nullopt);
        json written = readJson(pending);
        EXPECT_EQ(written.value("subject_id", ""), subject);
        EXPECT_EQ(written.contains("subject_id"), !subject.empty());
    }
}

TEST_F(Handoff, LaunchesDesktopEntryAndExplainsALaunchFailure) {
    std::string entry = dir.file("lumetra.desktop");
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=Lumetra\nExec=" + stub + "\n");
    setLumetraAppPath(entry);
    std::string video = joinPath(session("c"), "camera1.mp4");
    ASSERT_EQ(handOff(video, std::nullopt), std::nullopt);
    EXPECT_TRUE(launchedOnce()) << "through gio";

    writeFile(dir.file("Lumetra.txt"), "not a program");
    writeFile(entry, "garbage\n");
    for (const std::string& app : {dir.file("Lumetra.txt"), entry}) {
        SCOPED_TRACE(app);
        std::filesystem::remove(pending);
        setLumetraAppPath(app);
        std::optional<std::string> error = handOff(video, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->rfind("Failed to launch Lumetra: ", 0), 0u) << *error;
        EXPECT_GT(error->size(), 29u) << "carries a description";
        EXPECT_TRUE(fileExists(joinPath(session("c"), "camera1.talvex")));
        EXPECT_TRUE(fileExists(pending)) << "files kept";
    }
}

// A record from an earlier hand-off must not survive a failed write, or
// Lumetra would open the wrong session.
TEST_F(Handoff, FailedPendingWriteLeavesNoEarlierRecord) {
    std::string video = joinPath(session("e"), "recording.mp4");
    for (bool blockWrite : {false, true}) {
        SCOPED_TRACE(blockWrite ? "file cannot be written" : "path is not UTF-8");
        writePendingSession(video, std::nullopt);
        ASSERT_TRUE(fileExists(pending));
        testing::internal::CaptureStdout();
        // No descriptor left: the record's file cannot be made.
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit none = saved;
        int lowestFree = ::dup(0);
        ::close(lowestFree);
        none.rlim_cur = static_cast<rlim_t>(lowestFree);
        if (blockWrite) ::setrlimit(RLIMIT_NOFILE, &none);
        writePendingSession(blockWrite ? video : dir.file("e/bad\xff.mp4"), std::nullopt);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fileExists(pending));
        if (blockWrite) {
            EXPECT_NE(log.find("Talvex: failed to write pending session: "), std::string::npos);
        }
    }
}

// The hand-off gets what the session manager finds in the last session; a
// gyro.csv holding only its header (under 61 bytes) is left out.
TEST_F(Handoff, GyroFileOnlyFromSixtyOneBytes) {
    struct Cameras : RecordingOperations {
        std::size_t openedRecorderCount() const override { return 2; }
        std::optional<RecordingError> startRecording(const std::string& folder) override {
            writeFile(joinPath(folder, "recording.mp4"), "movie");
            return std::nullopt;
        }
        void stopRecording(StopCompletion completion) override {
            postToMain([completion] { completion({}); });
        }
    };
    auto cameras = std::make_shared<Cameras>();  // held weakly by the session
    // A root given relative to the working folder still hands Lumetra absolute paths.
    QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    SessionManager session("./root/");
    QDir::setCurrent(previous);
    session.setCameraManager(cameras);
    for (std::size_t size : {52u, 60u, 61u}) {
        SCOPED_TRACE(size);
        session.startSession("run_7", "user");
        session.stopSession();  // in the lead-in: stops as soon as it records
        ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isBusy(); }, 20000));
        ASSERT_TRUE(session.lastSessionVideoURL());
        writeFile(joinPath(*session.lastSessionDir(), "gyro.csv"), std::string(size, 'x'));
        ASSERT_EQ(handOff(*session.lastSessionVideoURL(), session.lastSessionGyroURL()),
                  std::nullopt);
        json written = readJson(pending);
        EXPECT_EQ(written.contains("gyro"), size >= 61);
        EXPECT_EQ(written.value("subject_id", ""), "run_7");
        EXPECT_EQ(written["video"].get<std::string>().rfind(dir.file("root/run_7_"), 0), 0u);
        json sidecar = readJson(sidecarPath(*session.lastSessionVideoURL()));
        EXPECT_EQ(sidecar["video"], written["video"]);
        EXPECT_EQ(sidecar.value("gyro", written.value("gyro", "")), written.value("gyro", ""));
    }
}
