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

// An MP4 box: 32-bit size (by default its length), type, content.
std::string box(const char* type, const std::string& content = "", long size = -1) {
    size = size < 0 ? static_cast<long>(8 + content.size()) : size;
    return std::string{char(size >> 24), char(size >> 16), char(size >> 8), char(size)} + type +
           content;
}

// Frameless only when every box reads from an "ftyp" on (the last header may
// be torn) and no media data box holds a byte, whatever its size says.
TEST(InterruptedSessions, MovieWithoutAFrame) {
    test::TempDir dir;
    const std::string head = box("ftyp", "isom") + box("moov", "m");
    const std::string large("\0\0\0\1mdat\0\0\0\0\0\0\0\x11x", 17);  // a 64-bit size
    auto frameless = [&](const std::string& bytes) {
        writeFile(dir.file("m.mp4"), bytes);
        return movieHoldsNoFrame(dir.file("m.mp4"));
    };
    for (const std::string& bytes : {std::string(), head, head + box("moof") + box("mdat"),
                                     head + std::string(3, '\0'), head + box("mdat", "", 0)})
        EXPECT_TRUE(frameless(bytes)) << bytes.size();
    for (const std::string& bytes :
         {head + box("mdat", "x"), head + box("mdat", "abc", 1000), head + box("mdat", "xy", 0),
          head + large, head + box("mdat", "", 4), box("free") + head, std::string("abc")})
        EXPECT_FALSE(frameless(bytes)) << bytes.size();
    EXPECT_FALSE(movieHoldsNoFrame(dir.file("missing.mp4")));
}

// Folders whose record has no end (a, e), or that have no record but the
// reserve or a session file (h, not d); neither a FIFO nor an endless device
// (f, g) stalls the scan. The report removes frameless movies and reserves.
TEST(InterruptedSessions, RecordsWithoutAnEndAndFoldersWithoutARecord) {
    test::TempDir root;
    auto folder = [&](char name) { return root.file(std::string(1, name) + "_20250101_000000"); };
    for (char name : std::string("abcdefgh")) {
        makeDirectories(folder(name));
        if (name != 'd') writeFile(folder(name) + "/.talvex-reserve", "");
    }
    const std::pair<char, const char*> records[] = {
        {'a', R"({"session_id":"a"})"},
        {'b', R"({"session_id":"b","recording_end":"x"})"},
        {'c', "{not json"},
        {'e', R"({"session_id":"e"})"}};
    for (const auto& [name, json] : records) writeFile(folder(name) + "/session.json", json);
    ASSERT_EQ(::mkfifo((folder('f') + "/session.json").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (folder('g') + "/session.json").c_str()), 0);
    const std::string frameless = box("ftyp", "isom") + box("moov");
    writeFile(folder('a') + "/recording.mp4", frameless);
    writeFile(folder('e') + "/camera1.mp4", frameless + box("mdat", "x"));
    writeFile(folder('h') + "/camera1.mp4", frameless);
    EXPECT_EQ(findInterruptedSessions(root.path()),
              (std::vector<InterruptedSession>{{folder('a'), true, {"recording.mp4"}},
                                               {folder('e'), true, {}},
                                               {folder('h'), false, {"camera1.mp4"}}}));
    EXPECT_TRUE(findInterruptedSessions(root.file("missing")).empty());

    for (char skipped : {'f', 'g'}) std::filesystem::remove_all(folder(skipped));
    test::LogCapture log;
    reportInterruptedSessions(root.path());
    const std::string saved = "Talvex: session was interrupted, its files hold what was saved: ",
                      noVideo = "Talvex: session has no video: ",
                      removed = " held no frame and was removed\n";
    EXPECT_EQ(log.take(), saved + folder('a') + "\n" + noVideo + folder('a') + "/recording.mp4" +
                              removed + saved + folder('e') +
                              "\nTalvex: session was interrupted before its record was written: " +
                              folder('h') + "\n" + noVideo + folder('h') + "/camera1.mp4" +
                              removed);
    EXPECT_EQ(test::listDir(folder('a')), std::vector<std::string>{"session.json"});
    EXPECT_EQ(test::listDir(folder('e')),
              (std::vector<std::string>{"camera1.mp4", "session.json"}));
    EXPECT_TRUE(test::listDir(folder('h')).empty());
}

// The figures in one plain line, then each warning in order; a start
// without a camera names the missing ones.
TEST(TakeReport, FiguresAndWarnings) {
    using Lines = std::vector<TakeLine>;
    using Result = MovieResult::Code;
    TakeFigures rough{100, 3725.2, {{}, {}}, {}, 50, 2.126};
    rough.cameras[0].name = "Left rig", rough.cameras[0].lostAt = 165.9;
    rough.cameras[0].framesLost = 2, rough.cameras[1].framesDamaged = 3;
    rough.cameras[1].measuredFps = 14.24;
    rough.movies = {{"camera1.mp4", Result::cancelled, "", {}, 0},
                    {"recording.mp4", Result::failed, "disk full", {}, 0}};
    EXPECT_EQ(describeTake(rough), (Lines{{"Take 1:02:05 · 0 (2 lost) + 0 (3 damaged) frames · 50 "
                                           "gyro samples, gap 2.13 s"},
                                          {"Camera 'Left rig' lost at 1:05", true},
                                          {"Camera 'Cam 2' ran at 14.2 fps, below its rate", true},
                                          {"camera1.mp4 took no frame and was removed", true},
                                          {"recording.mp4 could not be finished: disk full", true},
                                          {"Gyroscope gap of 2.13 s", true}}));
    rough.gyroSamples = 0;
    EXPECT_EQ(describeTake(rough).back().text, "No gyroscope samples");
    EXPECT_EQ(describeTake({0, 1, {}, {}, 20, 0.5}),  // a gap of 0.5 s is no warning yet
              Lines{{"Take 0:01 · no frames, none lost · 20 gyro samples, gap 0.50 s"}});

    EXPECT_EQ(noCameraReason({"A", "B", "C"}), "cameras 'A', 'B' and 'C' are missing");
}
