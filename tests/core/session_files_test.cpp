#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/InterruptedSessions.h"
#include "core/NumberFormat.h"
#include "core/SessionFiles.h"
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
    EXPECT_EQ(open.find("video_start_seconds"), std::string::npos);
    m.recordingEnd = 1741944420.2;
    m.videoStartSeconds = 0.0425;
    m.animationsRun = {"jump", "jump"};
    EXPECT_EQ(encodeSessionMetadata(m),
              "{\n"
              "  \"animations_run\": [\n    \"jump\",\n    \"jump\"\n  ],\n"
              "  \"cameras\": [\n    \"camera1\",\n    \"camera2\"\n  ],\n"
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

// Only folders whose record has no end; neither a FIFO nor an endless device
// stalls the scan.
TEST(InterruptedSessions, OnlyRecordsWithoutAnEnd) {
    test::TempDir root;
    const std::pair<const char*, const char*> cases[] = {
        {"a", R"({"session_id":"a","recording_start":"2025-01-01T00:00:00Z"})"},
        {"b", R"({"session_id":"b","recording_end":"2025-01-01T00:00:09Z"})"},
        {"c", "{not json"},
        {"d", nullptr},  // no session.json
        {"e", R"({"session_id":"e"})"},
        {"f", nullptr},
        {"g", nullptr}};
    for (const auto& [name, json] : cases) {
        makeDirectories(root.file(name + std::string("_20250101_000000")));
        if (json) writeFile(root.file(name + std::string("_20250101_000000/session.json")), json);
    }
    ASSERT_EQ(::mkfifo(root.file("f_20250101_000000/session.json").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", root.file("g_20250101_000000/session.json").c_str()), 0);
    EXPECT_EQ(
        findInterruptedSessions(root.path()),
        (std::vector<std::string>{root.file("a_20250101_000000"), root.file("e_20250101_000000")}));
    EXPECT_TRUE(findInterruptedSessions(root.file("missing")).empty());
}
