#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

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

// Nothing stored, an empty path or nothing at it: nothing is written or
// launched. A file that cannot be launched: the files stay and the error says
// why. A desktop entry is launched through what it names.
TEST_F(Handoff, EachStoredPathGivesItsOutcome) {
    const std::string entry = dir.file("lumetra.desktop"), garbage = dir.file("garbage.desktop");
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=Lumetra\nExec=" + stub + "\n");
    writeFile(garbage, "garbage\n");
    writeFile(dir.file("Lumetra.txt"), "not a program");
    const std::string video = dir.file("camera1.mp4"), sidecar = dir.file("camera1.talvex");
    const std::string notConfigured = "Lumetra path not configured. Use 'Locate Lumetra…' first.";
    const std::string failed = "Failed to launch Lumetra: ";
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, notConfigured},
        {"", notConfigured},
        {dir.file("moved-away"), notConfigured},
        {dir.file("Lumetra.txt"), failed},
        {garbage, failed},
        {entry, ""}};
    for (const auto& [app, error] : cases) {
        SCOPED_TRACE(app.value_or("none stored"));
        std::filesystem::remove(sidecar);
        std::filesystem::remove(pending);
        if (app)
            setLumetraAppPath(*app);
        else
            paths::settings()->remove("lumetraAppPath");
        EXPECT_EQ(isLumetraConfigured(), error != notConfigured);
        const std::string outcome = handOff(video, std::nullopt).value_or("");
        EXPECT_EQ(outcome.substr(0, error == failed ? error.size() : std::string::npos), error);
        EXPECT_TRUE(error != failed || outcome.size() > error.size() + 3) << "a description";
        EXPECT_EQ(fileExists(sidecar), error != notConfigured);
        EXPECT_EQ(fileExists(pending), error != notConfigured);
        EXPECT_TRUE(error.empty() ? launchedOnce() : !fileExists(launched));
    }
}

// The subject is the name before the session identifier's date and time.
TEST_F(Handoff, SubjectIdFromSessionRecord) {
    const auto subjectOf = [&](const std::string& record) {
        std::filesystem::remove(dir.file("session.json"));
        if (!record.empty()) writeFile(dir.file("session.json"), record);
        writePendingSession(dir.file("camera1.mp4"), std::nullopt);
        return readJson(pending).value("subject_id", json());
    };
    const auto id = [](const char* text) {
        return R"({"session_id":")" + std::string(text) + "\"}";
    };
    EXPECT_EQ(subjectOf(id("run_7_20260101_120000")), "run_7");
    EXPECT_EQ(subjectOf(id("a_b_c_20260101_120000")), "a_b_c");
    EXPECT_EQ(subjectOf(id("run_7_20260101_120000_2")), "run_7");  // second of that second
    EXPECT_EQ(subjectOf(id("x_120000_20260101_120000")), "x_120000");
    // Unnamed, no name, no date, not text, no identifier, not an object, not
    // JSON, no session.json: no subject.
    for (const std::string& record :
         {id("session_20260101_120000_3"), id("session_20260101_120000"), id("_20260101_120000"),
          id("run_7"), std::string(R"({"session_id":7})"), std::string(R"({"other":"x_y_z"})"),
          std::string(R"(["run_1_2"])"), std::string("not json"), std::string()})
        EXPECT_EQ(subjectOf(record), json()) << record;
}

// A record from an earlier hand-off must not survive a failed write, or
// Lumetra would open the wrong session.
TEST_F(Handoff, FailedPendingWriteLeavesNoEarlierRecord) {
    const std::string video = dir.file("recording.mp4");
    for (bool blockWrite : {false, true}) {
        SCOPED_TRACE(blockWrite ? "file cannot be written" : "path is not UTF-8");
        writePendingSession(video, std::nullopt);
        ASSERT_TRUE(fileExists(pending));
        testing::internal::CaptureStdout();
        // No descriptor left: the record's file cannot be made.
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        const rlimit none{static_cast<rlim_t>(lowestFree), saved.rlim_max};
        if (blockWrite) ::setrlimit(RLIMIT_NOFILE, &none);
        writePendingSession(blockWrite ? video : dir.file("bad\xff.mp4"), std::nullopt);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fileExists(pending));
        EXPECT_EQ(test::countOf(log, "Talvex: failed to write pending session: "), blockWrite)
            << log;
    }
}

// The hand-off of what the session manager finds in its last session: a root
// given relative to the working folder still gives absolute paths, and a
// gyro.csv holding only its header (under 61 bytes) is left out. Both files
// are compact JSON, Lumetra gets no arguments, and a second hand-off replaces
// both files.
TEST_F(Handoff, LastSessionFilesThenLaunchAndReplace) {
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
    QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    SessionManager session("./root/");
    QDir::setCurrent(previous);
    session.setCameraManager(cameras);
    std::string video, sidecar;
    for (std::size_t size : {52u, 60u, 61u}) {
        SCOPED_TRACE(size);
        session.startSession("run_7", "user");
        session.stopSession();  // in the lead-in: stops as soon as it records
        ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isBusy(); }, 20000));
        video = session.lastSessionVideoURL().value_or("");
        EXPECT_EQ(video.rfind(dir.file("root/run_7_"), 0), 0u) << video;
        const std::string folder = video.substr(0, video.rfind('/'));
        sidecar = joinPath(folder, "recording.talvex");
        writeFile(joinPath(folder, "gyro.csv"), std::string(size, 'x'));
        std::filesystem::remove(launched);
        ASSERT_EQ(handOff(video, session.lastSessionGyroURL()), std::nullopt);
        EXPECT_EQ(readText(sidecar).find('\n'), std::string::npos) << "compact JSON";
        json expected = {{"video", video}};
        if (size >= 61) expected["gyro"] = joinPath(folder, "gyro.csv");
        EXPECT_EQ(readJson(sidecar), expected);
        expected["subject_id"] = "run_7";
        EXPECT_EQ(readJson(pending), expected);
        ASSERT_TRUE(launchedOnce());
        EXPECT_EQ(readText(launched), "0|") << "Lumetra gets no arguments";
    }
    ASSERT_EQ(handOff(video, std::nullopt), std::nullopt);
    EXPECT_EQ(readJson(sidecar), json({{"video", video}}));
    EXPECT_EQ(readJson(pending), json({{"video", video}, {"subject_id", "run_7"}}));
}
