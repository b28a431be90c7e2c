#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/InterruptedSessions.h"
#include "core/NumberFormat.h"
#include "core/SessionFiles.h"
#include "core/TakeReport.h"
#include "support/TestSupport.h"

using namespace talvex;

// Shortest round trip, with a point or a two-digit exponent; a German desktop
// writes numbers with a decimal comma, gyro.csv never does.
TEST(NumberFormat, ShortestRoundTripInAnyLocale) {
    for (std::string text :
         {"0.0", "-0.0", "2.0", "1.0", "0.0123", "12.5", "-0.004", "0.52", "1e-05", "0.0001",
          "-3.25e-07", "0.30000000000000004", "1e-300", "123456789.0"})
        EXPECT_EQ(formatNumber(std::stod(text)), text);
    std::locale::global(std::locale("de_DE.UTF-8"));  // made by scripts/setup.sh
    EXPECT_EQ(gyroCsvLine(0.52, 0.0123, -0.004, 1e-05), "0.52,0.0123,-0.004,1e-05\n");
    std::locale::global(std::locale::classic());
    for (auto [seconds, text] :
         {std::pair{0, "00:00:00"}, {3725, "01:02:05"}, {360000, "100:00:00"}})
        EXPECT_EQ(formatElapsed(seconds), text);
}

TEST(SessionFolderName, SanitisesNineCharactersAndNul) {
    std::tm local{};
    local.tm_year = 125, local.tm_mon = 2, local.tm_mday = 14, local.tm_hour = 9, local.tm_min = 26,
    local.tm_sec = 53, local.tm_isdst = -1;
    std::time_t when = std::mktime(&local);
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"Run 3/4: left?", "Run 3_4_ left_"},
        {"a//b", "a__b"},
        {"\\:*?\"<>|", "________"},
        {"   ", "   "},
        {"", "session"},
        {std::nullopt, "session"},
        {std::string("x\0y", 3), "x_y"},
        {"..", ".."}};
    for (const auto& [name, prefix] : cases) {
        std::string folder = sessionFolderName(name, when);
        EXPECT_EQ(folder, prefix + "_20250314_092653");
        EXPECT_TRUE(isUsableFolderName(folder));
    }
    EXPECT_FALSE(isUsableFolderName(sessionFolderName(std::string(300, 'a'), when)));
}

TEST(SessionMetadata, SortedKeysUtcDatesOptionalEndAndVideoStart) {
    SessionMetadata m{
        "session_20250314_092653", "Lumetra Program", {}, 1741944413.7, {}, cameraLabels(2), true};
    std::string open = encodeSessionMetadata(m);
    EXPECT_EQ(open.find("recording_end"), std::string::npos);
    for (const char* key : {"video_start_seconds", "gyro_samples", "duration_seconds"})
        EXPECT_EQ(open.find(key), std::string::npos) << key;
    m.recordingEnd = 1741944420.2;
    m.videoStartSeconds = 0.0425;
    m.animationsRun = {"jump", "jump"};
    m.gyroSamples = 2601, m.gyroLongestGapSeconds = 0.75, m.durationSeconds = 6.5125;
    EXPECT_EQ(encodeSessionMetadata(m),
              "{\n"
              "  \"animations_run\": [\n    \"jump\",\n    \"jump\"\n  ],\n"
              "  \"cameras\": [\n    \"camera1\",\n    \"camera2\"\n  ],\n"
              "  \"duration_seconds\": 6.5125,\n"
              "  \"gyro_longest_gap_seconds\": 0.75,\n"
              "  \"gyro_samples\": 2601,\n"
              "  \"gyroscope\": true,\n"
              "  \"initiated_by\": \"Lumetra Program\",\n"
              "  \"recording_end\": \"2025-03-14T09:27:00Z\",\n"
              "  \"recording_start\": \"2025-03-14T09:26:53Z\",\n"
              "  \"session_id\": \"session_20250314_092653\",\n"
              "  \"video_start_seconds\": 0.0425\n"
              "}");
    m.animationsRun = {std::string("bad\xff")};
    EXPECT_NO_THROW(nlohmann::json::parse(encodeSessionMetadata(m)));
}

// An MP4 box: 32-bit size, type, content.
std::string box(const char* type, const std::string& content, long size = -1) {
    if (size < 0) size = static_cast<long>(8 + content.size());
    std::string bytes{char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
    return bytes + type + content;
}

// Frameless only when every box reads from an "ftyp" on and no media data
// box holds a byte.
TEST(InterruptedSessions, MovieWithoutAFrame) {
    test::TempDir dir;
    const std::string head = box("ftyp", "isom") + box("moov", std::string(60, 'm'));
    const std::string largeMdat = std::string("\0\0\0\1mdat\0\0\0\0\0\0\0\x11", 16) + "x";
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {head, true},
        {head + box("moof", "12345678") + box("mdat", ""), true},
        {head + box("moof", "12345678") + box("mdat", "x"), false},
        {head + box("mdat", "abc", 1000), false},  // cut short, yet it holds bytes
        {head + "\0\0\x01", true},                 // a torn last header
        {head + box("mdat", "", 0), true},         // size 0: to the end of the file
        {head + box("mdat", "xy", 0), false},
        {head + largeMdat, false},
        {head + box("mdat", "", 4), false},  // a size smaller than its header
        {box("free", "") + head, false},     // not a movie of ours
        {"abc", false}};
    for (const auto& [bytes, frameless] : cases) {
        writeFile(dir.file("m.mp4"), bytes);
        EXPECT_EQ(movieHoldsNoFrame(dir.file("m.mp4")), frameless) << bytes.size();
    }
    EXPECT_FALSE(movieHoldsNoFrame(dir.file("missing.mp4")));
    ASSERT_EQ(::mkfifo(dir.file("fifo.mp4").c_str(), 0600), 0);
    EXPECT_FALSE(movieHoldsNoFrame(dir.file("fifo.mp4")));
}

// Folders whose record has no end, or that have no record but the reserve
// or a session file; neither a FIFO nor an endless device stalls the scan.
// The report removes frameless movies and every reserve.
TEST(InterruptedSessions, RecordsWithoutAnEndAndFoldersWithoutARecord) {
    test::TempDir root;
    const std::pair<const char*, const char*> cases[] = {
        {"a", R"({"session_id":"a","recording_start":"2025-01-01T00:00:00Z"})"},
        {"b", R"({"session_id":"b","recording_end":"2025-01-01T00:00:09Z"})"},
        {"c", "{not json"},
        {"d", nullptr},  // no session.json, no session file
        {"e", R"({"session_id":"e"})"},
        {"f", nullptr},
        {"g", nullptr},
        {"h", nullptr}};
    auto folder = [&](const char* name) {
        return root.file(name + std::string("_20250101_000000"));
    };
    for (const auto& [name, json] : cases) {
        makeDirectories(folder(name));
        if (json) writeFile(folder(name) + "/session.json", json);
        writeFile(folder(name) + "/.talvex-reserve", "");
    }
    std::filesystem::remove(folder("d") + "/.talvex-reserve");
    ASSERT_EQ(::mkfifo((folder("f") + "/session.json").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (folder("g") + "/session.json").c_str()), 0);
    const std::string frameless = box("ftyp", "isom") + box("moov", "");
    writeFile(folder("a") + "/recording.mp4", frameless);
    writeFile(folder("e") + "/camera1.mp4", frameless + box("mdat", "x"));
    writeFile(folder("h") + "/camera1.mp4", frameless);
    EXPECT_EQ(findInterruptedSessions(root.path()),
              (std::vector<InterruptedSession>{{folder("a"), true, {"recording.mp4"}},
                                               {folder("e"), true, {}},
                                               {folder("h"), false, {"camera1.mp4"}}}));
    EXPECT_TRUE(findInterruptedSessions(root.file("missing")).empty());

    for (const char* skipped : {"f", "g"}) std::filesystem::remove_all(folder(skipped));
    test::LogCapture log;
    reportInterruptedSessions(root.path());
    EXPECT_EQ(log.take(), "Talvex: session was interrupted, its files hold what was saved: " +
                              folder("a") + "\nTalvex: session has no video: " + folder("a") +
                              "/recording.mp4 held no frame and was removed\n"
                              "Talvex: session was interrupted, its files hold what was saved: " +
                              folder("e") +
                              "\nTalvex: session was interrupted before its record was written: " +
                              folder("h") + "\nTalvex: session has no video: " + folder("h") +
                              "/camera1.mp4 held no frame and was removed\n");
    EXPECT_EQ(test::listDir(folder("a")), std::vector<std::string>{"session.json"});
    EXPECT_EQ(test::listDir(folder("e")),
              (std::vector<std::string>{"camera1.mp4", "session.json"}));
    EXPECT_TRUE(test::listDir(folder("h")).empty());
}

// A take without a warning reads as one line; otherwise each figure and each
// warning has its own line, the warnings last.
TEST(TakeReport, FiguresAndWarnings) {
    using Lines = std::vector<TakeLine>;
    using Result = MovieResult::Code;
    TakeFigures calm{100,  12.7, {{}, {}}, {{"recording.mp4", Result::finished, "", {}, 0}},
                     4800, 0.5};
    calm.cameras[0].framesWritten = 361;
    calm.cameras[1].framesWritten = 358, calm.cameras[1].framesLost = 2;
    EXPECT_EQ(describeTake(calm),
              Lines{{"Take 0:12 · 361 + 358 (2 lost) frames · 4800 gyro samples, gap 0.50 s"}});

    TakeFigures rough{100, 3725.2, {{}, {}}, {}, 50, 2.126};
    rough.cameras[0].name = "Left rig", rough.cameras[0].lostAt = 165.9;
    rough.cameras[0].framesWritten = rough.cameras[1].framesWritten = 90;
    rough.cameras[1].framesDamaged = 3, rough.cameras[1].measuredFps = 14.24;
    rough.movies = {{"camera1.mp4", Result::finished, "", {}, 0},
                    {"recording.mp4", Result::failed, "disk full", {}, 0}};
    EXPECT_EQ(describeTake(rough), (Lines{{"Take 1:02:05"},
                                          {"Cam 1: 90 frames, 0 lost"},
                                          {"Cam 2: 90 frames, 0 lost, 3 damaged"},
                                          {"Gyro: 50 samples, longest gap 2.13 s"},
                                          {"Camera 'Left rig' lost at 1:05", true},
                                          {"Camera 'Cam 2' ran at 14.2 fps, below its rate", true},
                                          {"recording.mp4 could not be finished: disk full", true},
                                          {"Gyroscope gap of 2.13 s", true}}));

    TakeFigures empty{0, 59.99, {{}}, {{"camera1.mp4", Result::cancelled, "", {}, 0}}, 0, 0};
    EXPECT_EQ(takeWarnings(empty),
              (std::vector<std::string>{"camera1.mp4 took no frame and was removed",
                                        "No gyroscope samples"}));
    EXPECT_EQ(describeTake(empty).front().text, "Take 0:59");

    const std::pair<std::vector<std::string>, std::string> reasons[] = {
        {{}, "no camera is open"},
        {{"A"}, "camera 'A' is missing"},
        {{"A", "B"}, "cameras 'A' and 'B' are missing"},
        {{"A", "B", "C"}, "cameras 'A', 'B' and 'C' are missing"}};
    for (const auto& [missing, reason] : reasons) EXPECT_EQ(noCameraReason(missing), reason);
}
