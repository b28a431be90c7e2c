#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QTest>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/LumetraHandoff.h"
#include "app/MainThread.h"
#include "app/Paths.h"
#include "app/SessionManager.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using talvex::test::readText;

namespace {

struct Handoff : ::testing::Test {
    test::TempDir dir;
    std::string stub = dir.file("Lumetra"), launched = dir.file("launched");
    std::string pending = joinPath(paths::appDataDir(), "pending_session.json");

    Handoff() {
        // Records its argument count and arguments.
        writeFile(stub, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + launched + ".part' && mv '" +
                            launched + ".part' '" + launched + "'\n");
        std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
        std::filesystem::remove(pending);
    }
    ~Handoff() override { setLumetraAppPath(""); }
};

}  // namespace

// The hand-off of what the session manager finds in its last session (a root
// given relative to the working folder still gives absolute paths; a gyro.csv
// holding only its header, under 61 bytes, is left out), for each stored path
// in turn: nothing stored, an empty path or nothing at it write and launch
// nothing; a file that cannot be launched keeps both files and the error says
// why; a desktop entry is launched through what it names. Both files are
// compact JSON, each hand-off replaces them, and Lumetra gets no arguments.
TEST_F(Handoff, LastSessionForEachStoredPath) {
    struct Cameras : RecordingOperations {
        std::size_t openedRecorderCount() const override { return 1; }
        std::optional<RecordingError> startRecording(const std::string& folder) override {
            writeFile(joinPath(folder, "camera1.mp4"), "movie");
            return std::nullopt;
        }
        void stopRecording(StopCompletion done) override {
            MovieResult movie;
            movie.file = "camera1.mp4";
            postToMain([done, movie] { done({std::nullopt, {movie}, {}}); });
        }
    };
    auto cameras = std::make_shared<Cameras>();  // held weakly by the session
    QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    SessionManager session("./root/");
    QDir::setCurrent(previous);
    session.setCameraManager(cameras);
    session.startSession("run_7", "user");
    session.stopSession();  // in the lead-in: stops as soon as it records
    ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isBusy(); }, 20000));
    const std::string video = session.lastSessionVideoURL().value_or("");
    ASSERT_EQ(video.rfind(dir.file("root/run_7_"), 0), 0u) << video;
    const std::string folder = video.substr(0, video.rfind('/'));
    const std::string sidecar = folder + "/camera1.talvex", gyro = folder + "/gyro.csv";

    const std::string entry = dir.file("lumetra.desktop"), garbage = dir.file("garbage.desktop");
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=Lumetra\nExec=" + stub + "\n");
    writeFile(garbage, "garbage\n");
    writeFile(dir.file("Lumetra.txt"), "not a program");
    const std::string notConfigured = "Lumetra path not configured. Use 'Locate Lumetra…' first.";
    const std::string failed = "Failed to launch Lumetra: ";
    const std::tuple<std::optional<std::string>, std::size_t, std::string> cases[] = {
        {std::nullopt, 61, notConfigured},
        {"", 61, notConfigured},
        {dir.file("moved-away"), 61, notConfigured},
        {dir.file("Lumetra.txt"), 61, failed},
        {garbage, 52, failed},
        {entry, 60, ""},
        {stub, 61, ""}};
    for (const auto& [app, gyroSize, expected] : cases) {
        SCOPED_TRACE(app.value_or("none stored"));
        writeFile(gyro, std::string(gyroSize, 'x'));
        std::filesystem::remove(launched);
        app ? setLumetraAppPath(*app) : paths::settings()->remove("lumetraAppPath");
        EXPECT_EQ(isLumetraConfigured(), expected != notConfigured);
        std::optional<std::optional<std::string>> outcome;
        openInLumetra(video, session.lastSessionGyroURL(),
                      [&](const std::optional<std::string>& error) { outcome = error; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 20000));
        const std::string error = outcome->value_or("");
        EXPECT_EQ(error.substr(0, expected == failed ? failed.size() : std::string::npos),
                  expected);
        EXPECT_TRUE(expected != failed || error.size() > failed.size() + 3) << "a description";
        // The stub runs detached; give it its moment.
        if (expected.empty()) test::waitUntil([&] { return fileExists(launched); });
        EXPECT_EQ(readText(launched), expected.empty() ? "0|" : "")
            << "launched, with no arguments";
        if (expected == notConfigured) {
            EXPECT_FALSE(fileExists(sidecar) || fileExists(pending));
            continue;
        }
        EXPECT_EQ(readText(sidecar).find('\n'), std::string::npos) << "compact JSON";
        json files = {{"video", video}};
        if (gyroSize >= 61) files["gyro"] = gyro;
        EXPECT_EQ(json::parse(readText(sidecar)), files);
        files["subject_id"] = "run_7";
        EXPECT_EQ(json::parse(readText(pending)), files);
    }
}

// The subject is the name before the session identifier's date and time.
TEST_F(Handoff, SubjectIdFromSessionRecord) {
    const auto subjectOf = [&](const std::string& record) {
        std::filesystem::remove(dir.file("session.json"));
        if (!record.empty()) writeFile(dir.file("session.json"), record);
        writePendingSession(dir.file("camera1.mp4"), std::nullopt);
        return json::parse(readText(pending)).value("subject_id", json());
    };
    const auto id = [](const char* text) {
        return R"({"session_id":")" + std::string(text) + "\"}";
    };
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

    // A record from an earlier hand-off must not survive a failed write, or
    // Lumetra would open the wrong session.
    for (bool blockWrite : {false, true}) {
        SCOPED_TRACE(blockWrite ? "file cannot be written" : "path is not UTF-8");
        writePendingSession(dir.file("camera1.mp4"), std::nullopt);
        ASSERT_TRUE(fileExists(pending));
        testing::internal::CaptureStdout();
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit none{0, saved.rlim_max};  // no descriptor left for the record's file
        if (blockWrite) ::setrlimit(RLIMIT_NOFILE, &none);
        writePendingSession(dir.file(blockWrite ? "camera1.mp4" : "bad\xff.mp4"), std::nullopt);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fileExists(pending));
        EXPECT_EQ(test::countOf(log, "Talvex: failed to write pending session: "), blockWrite)
            << log;
    }
}
